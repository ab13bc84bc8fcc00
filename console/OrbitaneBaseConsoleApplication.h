#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/OrbitaneConsoleApplication.h"
#include "console/ConfigCommands.h"
#include "drv/ControlBus.h"
#include "net/ControlEndpoint.h"
#include "net/InterchipProtocol.h"

namespace zorn {
namespace drv {
class QuindleBaseDrv;
}

namespace orbitane {
namespace test {

struct DriveSettings;

class InterceptProtocol;

// The console for the robot base ("Control Bus Device"): its command table,
// the identity lines printed once connected, and every command.
class OrbitaneBaseConsoleApplication : public OrbitaneConsoleApplication {
public:
    OrbitaneBaseConsoleApplication();
    ~OrbitaneBaseConsoleApplication() override;

    bool onConnected() override;
    zorn::net::Protocol* getProtocol() override { return &protocol_; }
    std::shared_ptr<utils::IChannelProvider> createSerialProvider(const std::string& portName) override;
    std::shared_ptr<utils::IChannelProvider> createTcpProvider(const std::string& host, int port) override;
    std::unique_ptr<zorn::net::Protocol> createTraceProtocol(zorn::net::Protocol* inner) override;

    // Command handlers; each takes the positional words, command name first.
    int statusCommand(const std::vector<std::string>& args);
    int motorCommand(const std::vector<std::string>& args);
    int beaconCommand(const std::vector<std::string>& args);
    int monitorCommand(const std::vector<std::string>& args);
    int runCommand(const std::vector<std::string>& args);
    int vrunCommand(const std::vector<std::string>& args);
    int pollCommand(const std::vector<std::string>& args);
    int eventCommand(const std::vector<std::string>& args);
    int testCommand(const std::vector<std::string>& args);
    int configCommand(const std::vector<std::string>& args);
    int sensorCommand(const std::vector<std::string>& args);
    int bumperCommand(const std::vector<std::string>& args);
    int identityCommand(const std::vector<std::string>& args);
    int sessionCommand(const std::vector<std::string>& args);
    int driveCommand(const std::vector<std::string>& args);
    int doctorCommand(const std::vector<std::string>& args);

    // doctor opens the channel itself, so that it can say why it fails.
    bool handlesConnection(const std::string& command) const override;
    int checkBeforeConnect(const std::vector<std::string>& args) override;
    void reportLinkHealth() override;

    // The endpoint every request goes through (tests reach its hooks).
    zorn::net::ControlEndpoint& endpoint() { return endpoint_; }

    // Text of the charging flags (the legacy value 1 is handled by status).
    static const char* chargingStatusText(uint8_t flags);

private:
    void registerCommands();
    // drive's options and terminal, checked; 0, or 2 after saying why.
    int readDriveSettings(DriveSettings& settings);

    zorn::net::InterchipProtocol protocol_;
    zorn::net::ControlEndpoint endpoint_;
    std::unique_ptr<zorn::drv::QuindleBaseDrv> driver_;
    // The base's configuration, fetched by the first reading that needs it.
    ConnectionConfig connectionConfig_;
    zorn::drv::base_connect_response_t identity_{};  // the base's answer to the connect request
    bool inSession_ = false;
    std::string identityLine_;  // model, firmware and serial number, for the drive view
    InterceptProtocol* tap_ = nullptr;  // the trace wrapper, owned by the frame (null without one)
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
