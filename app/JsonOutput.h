#pragma once

// JSON Lines output of the console: with --json every reading a command
// makes is one JSON object on one line of standard output, and the log
// lines go to standard error. Every object leaves through emitJson, the one
// place that writes to standard output in this mode.

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "app/FailureKind.h"

namespace zorn {
namespace orbitane {
namespace test {

// Turns JSON Lines output on or off (off by default).
void setJsonOutput(bool enabled);
bool jsonOutput();

// Labels every object with "tag" (--tag TEXT: a robot's name), and with
// "time", the wall-clock time it was written (--wall-clock).
void setJsonTag(bool enabled, const std::string& tag);
void setJsonWallClock(bool enabled);
// ISO 8601 UTC with milliseconds: "2026-12-08T16:04:05.123Z".
std::string isoUtcTime(std::chrono::system_clock::time_point when);

// Marks the start of a command run from the command line or a session: the
// origin of the "t" member of the objects it emits. Commands that run other
// commands (monitor) keep the outer command's origin.
void startCommandClock();
// Seconds since the command started, on the steady clock.
double commandSeconds();

// The outcome of the stop of a command that moved the base: "stop_confirmed"
// (true/false) and "stop_result" (the stop's result code, signed); nothing
// when no stop was sent.
void addStopReport(Json::Value& object, const StopReport& stop);

// A new object with "command" and "t" set.
Json::Value jsonReading(const std::string& command);

// Writes `object` as one line of compact JSON to standard output, through
// the process's output queue (in order with the log lines), so a reader of a
// pipe sees each reading when it is made and a slow one never delays a stop.
// The line is valid UTF-8: a byte of a string that is not is written as the
// text \xHH.
void emitJson(const Json::Value& object);

// The failure object of a command: "command", "t", "error" (the text),
// "kind" (see FailureKind.h), "result" (the code as a signed number) with
// "result_hex" (8 hex digits), "base_error" when the base sent an error
// answer with a code, "option" when an option was refused, and the stop's
// outcome when the command moved the base.
void emitJsonError(const std::string& command, const std::string& error, int32_t result, const FailureCause& cause,
                   const std::string& option = std::string(), const StopReport& stop = StopReport());
// Adds "result", "result_hex", "kind" and "base_error" (when there is one)
// to `object`.
void addResult(Json::Value& object, int32_t result, const FailureCause& cause);

// Text of a result code ("timeout", "not supported", ...).
const char* resultText(int32_t result);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
