#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/OrbitaneConsoleApplication.h"
#include "console/ApiClient.h"
#include "console/ConfigCommands.h"

namespace zorn {
namespace drv {
class CaptureWriter;
}

namespace orbitane {
namespace test {

struct DriveSettings;

// The console for the robot base ("Control Bus Device"): its command table,
// the identity lines printed once connected, and every command.
class OrbitaneBaseConsoleApplication : public OrbitaneConsoleApplication {
public:
    // `makeBase` gives the Base the commands make their requests through.
    explicit OrbitaneBaseConsoleApplication(BaseMaker makeBase);
    ~OrbitaneBaseConsoleApplication() override;

    bool onConnected() override;
    void beforeUnlink() override;
    std::shared_ptr<utils::IChannelProvider> createSerialProvider(const std::string& portName) override;
    std::shared_ptr<utils::IChannelProvider> createTcpProvider(const std::string& host, int port) override;
    std::unique_ptr<zorn::net::LinkObserver> createTrace() override;

    // Command handlers; each takes the positional words, command name first.
    CommandResult statusCommand(const std::vector<std::string>& args);
    CommandResult motorCommand(const std::vector<std::string>& args);
    CommandResult beaconCommand(const std::vector<std::string>& args);
    CommandResult monitorCommand(const std::vector<std::string>& args);
    CommandResult runCommand(const std::vector<std::string>& args);
    CommandResult vrunCommand(const std::vector<std::string>& args);
    CommandResult pollCommand(const std::vector<std::string>& args);
    CommandResult eventCommand(const std::vector<std::string>& args);
    CommandResult testCommand(const std::vector<std::string>& args);
    CommandResult configCommand(const std::vector<std::string>& args);
    CommandResult sensorCommand(const std::vector<std::string>& args);
    CommandResult bumperCommand(const std::vector<std::string>& args);
    CommandResult identityCommand(const std::vector<std::string>& args);
    CommandResult sessionCommand(const std::vector<std::string>& args);
    CommandResult driveCommand(const std::vector<std::string>& args);
    CommandResult doctorCommand(const std::vector<std::string>& args);

    // doctor opens the channel itself, so that it can say why it fails.
    bool handlesConnection(const std::string& command) const override;
    int checkBeforeConnect(const std::vector<std::string>& args) override;
    // --csv writes readings only: a reading command, or monitor of them.
    std::string csvRefusal(const std::vector<std::string>& args) const override;
    void reportLinkHealth() override;
    bool closeRecordings(std::chrono::milliseconds bound) override;

    // The base the commands read and move through; valid once connected.
    api::Base& base() { return *base_; }

private:
    void registerCommands();
    // drive's options and terminal, checked; 0, or 2 after saying why.
    int readDriveSettings(DriveSettings& settings);

    BaseMaker makeBase_;
    std::optional<api::Base> base_;
    api::Identity identity_;  // the base's answer to the connect request
    bool inSession_ = false;
    std::string identityLine_;  // model, firmware and serial number, for the drive view
    std::shared_ptr<zorn::drv::CaptureWriter> capture_;  // --capture, shared with the trace
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
