// The poll and event commands, and the host identity sent to the base.
#include <cstdlib>
#include <cstring>

#include "app/ExitStatus.h"
#include "console/DriveArguments.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "app/Reading.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

CommandResult OrbitaneBaseConsoleApplication::pollCommand(const std::vector<std::string>&) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    api::PollReading polled;
    try {
        polled = base().poll(false);
    } catch (const api::Error& error) {
        logFatal(source, "Poll base cmd fail.");
        return resultOf(error);
    }
    logInfo(source, "Base cmd pending: %x ", static_cast<unsigned>(polled.pending_command));
    // The log line above is the text form; the reading adds only its JSON.
    Reading reading("poll");
    reading["pending_command"] = polled.pending_command;
    reading["get_info_requested"] = polled.get_info_requested;
    if (!polled.get_info_requested) {
        emitReading(source, reading);
        return 0;
    }
    api::HostInfo sent;
    try {
        sent = base().answerGetInfo();
    } catch (const api::Error& error) {
        logFatal(source, "Ans poll get info cmd failed.");
        return resultOf(error);
    }
    Json::Value object(Json::objectValue);
    object["model"] = sent.model;
    object["device_name"] = sent.device_name;
    object["host_address"] = sent.host_address;
    reading["answered_get_info"] = object;
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
    const int event = code & 0xFF;
    try {
        base().event(event);
    } catch (const api::Error& error) {
        logFatal(source, "Cannot send event.");
        return resultOf(error);
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
