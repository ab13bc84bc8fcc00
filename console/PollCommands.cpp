// The poll and event commands, and the host identity sent to the base.
#include <cstdlib>
#include <cstring>

#include "app/ExitStatus.h"
#include "console/DriveArguments.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "drv/HostInfo.h"
#include "app/Reading.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace zorn::drv;

CommandResult OrbitaneBaseConsoleApplication::pollCommand(const std::vector<std::string>&) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const auto polled = driver_->pollCommand();
    if (!polled) {
        logFatal(source, "Poll base cmd fail.");
        return polled.failure();
    }
    const uint8_t pending = *polled;
    logInfo(source, "Base cmd pending: %x ", pending);
    // The log line above is the text form; the reading adds only its JSON.
    Reading reading("poll");
    reading["pending_command"] = pending;
    reading["get_info_requested"] = pending == BASE_CMD_GET_INFO;
    if (pending != BASE_CMD_GET_INFO) {
        emitReading(source, reading);
        return 0;
    }
    const base_get_info_answer_t answer = hostInfoAnswer();
    const Done answered = driver_->answerGetInfo(answer);
    if (!answered) {
        logFatal(source, "Ans poll get info cmd failed.");
        return answered.failure();
    }
    Json::Value sent(Json::objectValue);
    sent["model"] = std::string(answer.model, strnlen(answer.model, sizeof answer.model));
    sent["device_name"] = std::string(answer.device_name, strnlen(answer.device_name, sizeof answer.device_name));
    sent["host_address"] = std::string(answer.host_address, strnlen(answer.host_address, sizeof answer.host_address));
    reading["answered_get_info"] = sent;
    emitReading(source, reading);
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::eventCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 2) {
        logFatal(source, "Missing parameters.");
        return STATUS_COMMAND_USAGE;
    }
    // A whole decimal number; its low 8 bits are the event (300 sends 44).
    int32_t code = 0;
    if (!parseDecimalInt32(args[1], code)) {
        logFatal(source, "Failed to parse parameter code");
        return STATUS_COMMAND_USAGE;
    }
    const uint8_t event = static_cast<uint8_t>(code & 0xFF);
    const Done sent = driver_->sendEvent(event);
    if (!sent) {
        logFatal(source, "Cannot send event.");
        return sent.failure();
    }
    // No line in the text form: only the JSON says what was sent.
    Reading reading("event");
    reading["event_sent"] = event;
    emitReading(source, reading);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
