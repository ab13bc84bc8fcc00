#include "console/OrbitaneBaseConsoleApplication.h"

#include "app/CsvOutput.h"
#include "app/JsonOutput.h"

#include "app/Interrupt.h"
#include "console/BumperPolarityOption.h"
#include "console/ChannelFactory.h"
#include "console/KeepGoingOption.h"
#include "console/drive/DriveOptions.h"
#include "console/TrafficTrace.h"

#include <cstring>

#include "log/Log.h"
#include "net/Link.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace zorn::drv;
using std::placeholders::_1;

OrbitaneBaseConsoleApplication::OrbitaneBaseConsoleApplication(BaseMaker makeBase) : makeBase_(std::move(makeBase)) {
    registerCommands();
}

OrbitaneBaseConsoleApplication::~OrbitaneBaseConsoleApplication() {
    // No signal may reach the link's token once the link is gone; the base
    // goes before the link it uses.
    setInterruptToken(nullptr);
    base_.reset();
    disconnectChannel();
}

void OrbitaneBaseConsoleApplication::beforeUnlink() {
    // A scope still open stops the base while the link is there to carry it.
    base_.reset();
}

void OrbitaneBaseConsoleApplication::registerCommands() {
    CommandTable& table = commandTable();
    table.addCommand("config", "Read configuration (legacy)", "Read configuration from base",
                     std::bind(&OrbitaneBaseConsoleApplication::configCommand, this, _1));
    table.addCommand("status", "Read base status", "Read base status, such as battery, charging status and etc.",
                     std::bind(&OrbitaneBaseConsoleApplication::statusCommand, this, _1));
    table.addCommand("motor", "Read motor information", "Read motor information, such as wheels' odometry",
                     std::bind(&OrbitaneBaseConsoleApplication::motorCommand, this, _1));
    table.addCommand("sensor", "Read distance sensor data", "Read distance sensors' data, such as ultrasonic data",
                     std::bind(&OrbitaneBaseConsoleApplication::sensorCommand, this, _1));
    table.addCommand("bumper", "Read bumper sensor data", "Read bumper, cliff sensor data",
                     std::bind(&OrbitaneBaseConsoleApplication::bumperCommand, this, _1), false,
                     {bumperActiveLowOption()});
    table.addCommand("beacon", "Read auto home IR beacon data", "Read auto home IR beacon data",
                     std::bind(&OrbitaneBaseConsoleApplication::beaconCommand, this, _1));
    table.addCommand("monitor", "Continiously read sensor data", "Repeat read all above data and output to the console",
                     std::bind(&OrbitaneBaseConsoleApplication::monitorCommand, this, _1));
    table.addCommand("test", "Test all control bus protocol", "Test base control bus protocol",
                     std::bind(&OrbitaneBaseConsoleApplication::testCommand, this, _1));
    table.addCommand("run", "run", "Make motor run", std::bind(&OrbitaneBaseConsoleApplication::runCommand, this, _1));
    table.addCommand("vrun", "vrun", "Vector run. vrun <vx> <vy> <omega> <time>. Units: m/s m/s rad/s s",
                     std::bind(&OrbitaneBaseConsoleApplication::vrunCommand, this, _1));
    table.addCommand("poll", "poll", "Poll Base Cmd", std::bind(&OrbitaneBaseConsoleApplication::pollCommand, this, _1));
    table.addCommand("event", "event", "Send Event Cmd",
                     std::bind(&OrbitaneBaseConsoleApplication::eventCommand, this, _1));
    table.addCommand("identity", "Read base identity", "Print the model, versions and serial number of the base",
                     std::bind(&OrbitaneBaseConsoleApplication::identityCommand, this, _1), true);
    table.addCommand("session", "Run commands from standard input",
                     "Run one command per line of standard input over one connection (help, quit on a terminal)",
                     std::bind(&OrbitaneBaseConsoleApplication::sessionCommand, this, _1), true, {keepGoingOption()});
    table.addCommand("drive", "Drive with the keyboard",
                     "Live view of every reading; arrows/WASD drive, space stops, q quits",
                     std::bind(&OrbitaneBaseConsoleApplication::driveCommand, this, _1), true, driveOptions());
    table.addCommand("doctor", "Check the link to the base",
                     "Check device, access, connection, frames and round trips; say what to do at the first failure",
                     std::bind(&OrbitaneBaseConsoleApplication::doctorCommand, this, _1), true);
}

std::shared_ptr<utils::IChannelProvider> OrbitaneBaseConsoleApplication::createSerialProvider(
    const std::string& portName) {
    std::shared_ptr<utils::IChannelProvider> provider;
    utils::ChannelFactory::createSerialProvider(provider, portName);
    return provider;
}

std::shared_ptr<utils::IChannelProvider> OrbitaneBaseConsoleApplication::createTcpProvider(const std::string& host,
                                                                                           int port) {
    std::shared_ptr<utils::IChannelProvider> provider;
    utils::ChannelFactory::createTcpProvider(provider, host, port);
    return provider;
}

std::unique_ptr<zorn::net::LinkObserver> OrbitaneBaseConsoleApplication::createTrace() {
    TraceSettings settings;
    settings.hexDump = hexTraceEnabled();
    settings.textColumn = textColumnEnabled();
    settings.decode = decodeEnabled();
    settings.json = jsonEnabled();
    if (captureGiven()) {
        auto writer = std::make_shared<CaptureWriter>();
        std::string error;
        if (!writer->open(captureFile(), error)) {
            logFatal(LOG_SOURCE_BASE_CONSOLE_APP, "Cannot write the capture file %s: %s", captureFile().c_str(),
                     error.c_str());
            return nullptr;
        }
        capture_ = writer;
        settings.capture = std::move(writer);
    }
    return std::make_unique<TrafficTrace>(settings);
}

void OrbitaneBaseConsoleApplication::reportLinkHealth() {
    if (link() == nullptr) return;
    if (link()->broken()) {
        const bool closed = link()->brokenFailure().cause == zorn::net::Cause::LinkClosed;
        logError(LOG_SOURCE_BASE_CONSOLE_APP, "%s",
                 closed ? "The base closed the connection" : "The serial line to the base was lost");
    }
    const unsigned long long corrupted = link()->stats().corrupted;
    if (corrupted > 0) {
        logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "%llu corrupted frame%s dropped", corrupted, corrupted == 1 ? "" : "s");
    }
}

bool OrbitaneBaseConsoleApplication::closeRecordings(std::chrono::milliseconds bound) {
    if (!capture_) return true;
    capture_->close(bound);
    if (!capture_->failed()) return true;
    logError(LOG_SOURCE_BASE_CONSOLE_APP, "The capture file %s is incomplete: %s", captureFile().c_str(),
             capture_->failure().c_str());
    return false;
}

bool OrbitaneBaseConsoleApplication::onConnected() {
    if (link() == nullptr) {
        return false;
    }
    // A signal during a command cuts the request in progress short and holds
    // back every request but the stop, so the stop request goes out at once.
    setInterruptToken(&link()->cancelToken());
    base_.reset();
    const std::string channel = utils::describeProvider(provider());
    try {
        // The decoded configuration is a member of the config reading's
        // object (and row): only the text form shows it in the log.
        base_.emplace(makeBase_(*link(), channel, !jsonOutput() && !csvOutput()));
    } catch (const api::Error&) {
        return false;
    }
    identity_ = base_->identity();
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    logInfo(source, "Connected to Control Bus Device at %s", channel.c_str());
    logInfo(source, "Model: %s", identity_.model.c_str());
    logInfo(source, "Firmware Version: %s", identity_.firmware_version.c_str());
    logInfo(source, "Hardware version: %s", identity_.hardware_version.c_str());
    logInfo(source, "Serial Number: %s", identity_.serial_number.c_str());
    identityLine_ = identity_.model + "  firmware " + identity_.firmware_version + "  serial " + identity_.serial_number;
    return true;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
