#pragma once

// Runs the base console application in process, through the real frame and
// a TCP channel on loopback, against a scripted base; collects every log
// line written while it runs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "console/OrbitaneBaseConsoleApplication.h"
#include "log/Log.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedBase.h"
#include "tests/support/ScriptedTcpBase.h"

namespace tests {
namespace console {

using tests::support::BaseReply;
using tests::support::BaseRequest;
using tests::support::Bytes;
using tests::support::LogCollector;
using tests::support::LogLine;
using tests::support::ScriptedBase;
using tests::support::ScriptedTcpBase;
using tests::support::recordBytes;

using Lines = std::vector<std::string>;
using Codes = std::vector<uint8_t>;
// Bound of the waits for a command to get going.
constexpr auto BOUND = std::chrono::seconds(10);

// Sends `sig` to this process from another thread once `ready` returns true
// (`ready` is expected to block with its own bound). Joined on destruction.
class SignalWhen {
public:
    SignalWhen(int sig, std::function<bool()> ready);
    ~SignalWhen();
    SignalWhen(const SignalWhen&) = delete;
    SignalWhen& operator=(const SignalWhen&) = delete;
    bool sent() const { return sent_.load(); }

private:
    std::thread thread_;
    // Set on the signalling thread, read by the test while it still runs.
    std::atomic<bool> sent_{false};
};

class ConsoleRig {
public:
    // A healthy legacy base (see ScriptedBase::scriptHealthyBase) on loopback.
    ConsoleRig();

    // Runs "orbitane_console base -c tcp --host <host> -p <port>" followed
    // by `command`; returns the application's result. The console's own
    // streams are silenced while it runs; the lines are in lines().
    int run(const std::vector<std::string>& command);
    // Same, with `prepare` called on the application before it runs.
    int run(const std::vector<std::string>& command,
            const std::function<void(zorn::orbitane::test::OrbitaneBaseConsoleApplication&)>& prepare);
    // Same, on another port (a listener of the test's own on `host`).
    int run(const std::vector<std::string>& command, uint16_t port,
            const std::function<void(zorn::orbitane::test::OrbitaneBaseConsoleApplication&)>& prepare);

    // Everything logged during the last run.
    std::vector<LogLine> lines() const { return lines_; }
    // Lines of the base console after the identity block, as "[TAG] message",
    // without the summary lines that end run and vrun (see summaryLines()).
    std::vector<std::string> commandLines() const;
    // The "Run finished: ..." and "Vector run finished: ..." lines.
    std::vector<std::string> summaryLines() const;
    // Lines of the frame (banner, result line), as "[TAG] message".
    std::vector<std::string> frameLines() const;
    // Requests of the last run after the connect request.
    std::vector<BaseRequest> commandRequests() const;
    // Codes of commandRequests(), in order.
    std::vector<uint8_t> commandCodes() const;

    // The --host of run(): the scripted base listens on 127.0.0.1.
    std::string host = "127.0.0.1";
    ScriptedBase base;
    ScriptedTcpBase tcp{base};

private:
    std::vector<LogLine> lines_;
};

// Helpers for scripted answers and request arguments.
Bytes motorAnswer(int32_t left, int32_t right);
Bytes velocityAnswer(int32_t dx, int32_t dy, int32_t dtheta);
// A JSON text in the base's binary configuration encoding (the test fails
// when the text does not parse or cannot be encoded).
Bytes binaryConfig(const std::string& jsonText);
// Signed 32-bit little-endian words of a request's arguments.
std::vector<int32_t> argWords(const BaseRequest& request);

// The test process survives a signal sent while no command listens for it.
void ignoreStraySignals();

}  // namespace console
}  // namespace tests
