#include "app/JsonOutput.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>

#include "log/StandardOutput.h"
#include "log/TextEscape.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

std::atomic<bool> g_enabled{false};
std::atomic<int64_t> g_commandStartNs{0};
std::mutex g_writeMutex;
// The labels of every object; set before the first object is written.
bool g_tagged = false;
std::string g_tag;
std::atomic<bool> g_wallClock{false};

int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One writer for every line: compact, no trailing newline of its own, and
// numbers to six decimals (micrometres, microseconds, micro-degrees).
Json::StreamWriter& lineWriter() {
    static std::unique_ptr<Json::StreamWriter> writer([] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["precision"] = 6;
        builder["precisionType"] = "decimal";
        builder["emitUTF8"] = true;
        return builder.newStreamWriter();
    }());
    return *writer;
}

// Whether every string (and member name) in `value` is UTF-8.
bool allUtf8(const Json::Value& value) {
    using nivo::system::util::isValidUtf8;
    if (value.isString()) return isValidUtf8(value.asString());
    if (value.isArray()) {
        for (const Json::Value& item : value) {
            if (!allUtf8(item)) return false;
        }
    } else if (value.isObject()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!isValidUtf8(it.name()) || !allUtf8(*it)) return false;
        }
    }
    return true;
}

std::string escapeInvalid(const std::string& text) {
    using namespace nivo::system::util;
    // The writer escapes control characters itself; only bytes that are not
    // UTF-8 are written as the text "\xHH".
    if (isValidUtf8(text)) return text;
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8SequenceLength(text, at);
        if (length == 0) {
            out += escapeControlAndInvalid(text.substr(at, 1), KeepLayout::No);
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

// `value` with every string made UTF-8.
Json::Value utf8Copy(const Json::Value& value) {
    if (value.isString()) return Json::Value(escapeInvalid(value.asString()));
    if (value.isArray()) {
        Json::Value out(Json::arrayValue);
        for (const Json::Value& item : value) out.append(utf8Copy(item));
        return out;
    }
    if (value.isObject()) {
        Json::Value out(Json::objectValue);
        for (auto it = value.begin(); it != value.end(); ++it) out[escapeInvalid(it.name())] = utf8Copy(*it);
        return out;
    }
    return value;
}

}  // namespace

void setJsonOutput(bool enabled) { g_enabled = enabled; }

bool jsonOutput() { return g_enabled; }

void setJsonTag(bool enabled, const std::string& tag) {
    std::lock_guard<std::mutex> lock(g_writeMutex);
    g_tagged = enabled;
    g_tag = tag;
}

void setJsonWallClock(bool enabled) { g_wallClock = enabled; }

std::string isoUtcTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    // Floor division, so a time before 1970 still has 0..999 milliseconds.
    const int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms - seconds * 1000));
    return text;
}

void startCommandClock() {
    g_commandStartNs = steadyNanoseconds();
}

void addStopReport(Json::Value& object, const StopReport& stop) {
    if (!stop.sent) return;
    object["stop_confirmed"] = stop.confirmed;
    object["stop_result"] = stop.result;
}

double commandSeconds() { return static_cast<double>(steadyNanoseconds() - g_commandStartNs.load()) / 1e9; }

Json::Value jsonReading(const std::string& command) {
    Json::Value object(Json::objectValue);
    object["command"] = command;
    // Microsecond resolution is plenty for a host-side time stamp.
    object["t"] = static_cast<double>(static_cast<int64_t>(commandSeconds() * 1e6)) / 1e6;
    return object;
}

void emitJson(const Json::Value& object) {
    std::lock_guard<std::mutex> lock(g_writeMutex);
    std::ostringstream line;
    const bool labelled = g_tagged || g_wallClock;
    Json::Value copy;
    if (labelled) {
        copy = object;
        if (g_tagged) copy["tag"] = g_tag;
        if (g_wallClock) copy["time"] = isoUtcTime(std::chrono::system_clock::now());
    }
    const Json::Value& written = labelled ? copy : object;
    // Standard output stays valid UTF-8 whatever a string holds (a session
    // line, a name the base sent, a tag).
    if (allUtf8(written)) {
        lineWriter().write(written, &line);
    } else {
        lineWriter().write(utf8Copy(written), &line);
    }
    line << '\n';
    const std::string text = line.str();
    // The process's standard output is written by a thread of its own, so a
    // slow reader never delays a command that drives the base.
    nivo::system::util::StandardOutput::instance().write(1, text);
}

const char* resultText(int32_t result) {
    switch (result) {
        case zorn::net::RESULT_INVALID_DATA: return "invalid data";
        case zorn::net::RESULT_OPERATION_FAIL: return "operation failed";
        case zorn::net::RESULT_OPERATION_TIMEOUT: return "timeout";
        case zorn::net::RESULT_OPERATION_NOT_SUPPORT: return "not supported";
        case zorn::net::RESULT_BUFFER_TOO_SMALL: return "buffer too small";
        default: return "command failed";
    }
}

void addResult(Json::Value& object, int32_t result, const FailureCause& cause) {
    object["result"] = result;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(result));
    object["result_hex"] = hex;
    object["kind"] = cause.kind;
    if (cause.baseError != NO_BASE_ERROR) object["base_error"] = cause.baseError;
}

void emitJsonError(const std::string& command, const std::string& error, int32_t result, const FailureCause& cause,
                   const std::string& option, const StopReport& stop) {
    Json::Value object = jsonReading(command);
    object["error"] = error;
    addResult(object, result, cause);
    if (!option.empty()) object["option"] = option;
    addStopReport(object, stop);
    emitJson(object);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
