#pragma once

// Running the real console program against an in-process simulated base.
//
//     SimRig rig(scenario, Transport::Tcp);
//     ConsoleOutcome r = rig.console({"status"});
//     EXPECT_EQ(r.status, 0);
//     rig.sim().device().requests();   // what reached the base

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/Scenario.h"
#include "sim/SimServer.h"

// Sanitizer builds run the console several times slower and with shadow
// memory: time bounds are widened and memory figures are not meaningful.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORBITANE_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORBITANE_SLOW_BUILD 1
#endif
#endif

namespace tests {
namespace e2e {

#ifdef ORBITANE_SLOW_BUILD
constexpr double kTimeScale = 2.0;
#else
constexpr double kTimeScale = 1.0;
#endif

// Log line prefixes of the console's log sources.
extern const char* const FRAME;      // the application frame
extern const char* const BASE;       // the base console commands
extern const char* const SELFTEST;   // the test framework
extern const char* const FACTORY;    // the channel factory
extern const char* const TRACE;      // the traffic trace

// Exit statuses of the failure codes, as the shell sees them.
constexpr int STATUS_TIMEOUT = 0x02;        // 0x80008002
constexpr int STATUS_NOT_SUPPORTED = 0x04;  // 0x80008004
constexpr int STATUS_FAILED = 0x01;         // 0x80008001
constexpr int STATUS_INVALID_DATA = 0x01;   // 0x80008000: low byte 0, reported as 1

// Outcome of one console run.
struct ConsoleOutcome {
    int status = -1;        // exit status, or 128 + signal
    bool killed = false;    // ran past its bound and was killed
    std::string out;
    std::string err;
    double seconds = 0.0;   // from start to exit
    int signal = 0;         // the signal that ended it, 0 when it exited

    std::vector<std::string> outLines() const { return splitLines(out); }
    std::vector<std::string> errLines() const { return splitLines(err); }
    // Lines of standard output that start with `prefix`.
    std::vector<std::string> outLinesStartingWith(const std::string& prefix) const;
    static std::vector<std::string> splitLines(const std::string& text);
};

// The console as a child process. Its two output streams are read on a
// thread of their own, so the child never blocks on a full pipe and the
// test can wait for a line while the child runs.
class ConsoleProcess {
public:
    explicit ConsoleProcess(const std::vector<std::string>& args);
    // Another program (a shell running a pipeline with the console, say).
    ConsoleProcess(const std::string& program, const std::vector<std::string>& args);
    // The console with `input` (under 64 KiB) as the whole of standard input.
    ConsoleProcess(const std::vector<std::string>& args, const std::string& input);
    ~ConsoleProcess();
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);

    // Waits until standard output holds `text`; false when the child ended
    // or `limit` passed first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Waits for the child to end; kills it when it runs past `limit`.
    ConsoleOutcome wait(std::chrono::milliseconds limit);

    // Resident memory in KiB and open descriptors of the running child;
    // -1 once it is gone.
    long residentKiB() const;
    int openDescriptors() const;

private:
    void spawn(const std::string& program, const std::vector<std::string>& args, const std::string* input);
    void readStreams(int outFd, int errFd);

    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point started_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool exited_ = false;
    int rawStatus_ = 0;
    double seconds_ = 0.0;
    bool killed_ = false;
    std::thread reader_;
};

enum class Transport { Tcp, Serial };
const char* transportName(Transport t);

// A simulated base on one link, and the console pointed at it.
class SimRig {
public:
    explicit SimRig(const zorn::orbitane::sim::Scenario& scenario = zorn::orbitane::sim::defaultScenario(),
                    Transport transport = Transport::Tcp);

    zorn::orbitane::sim::SimServer& sim() { return *sim_; }
    zorn::orbitane::sim::BaseDevice& device() { return sim_->device(); }
    Transport transport() const { return transport_; }

    // "tcp:127.0.0.1:PORT" or "serial:/dev/pts/N", as the console names it
    // (for the serial line: the device the console was last started on; the
    // simulator makes a new one after it hangs up).
    std::string channelDescription() const;
    // Console arguments for the channel, then `command`.
    std::vector<std::string> argsFor(const std::vector<std::string>& command, bool trace = false) const;
    // Runs the console to its end (bounded by `limit`).
    ConsoleOutcome console(const std::vector<std::string>& command,
                           std::chrono::milliseconds limit = std::chrono::milliseconds(30000), bool trace = false);
    std::unique_ptr<ConsoleProcess> start(const std::vector<std::string>& command) const;
    // Runs the console with `input` as its standard input (a pipe).
    ConsoleOutcome consoleWithInput(const std::vector<std::string>& command, const std::string& input,
                                    std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

    // The identity lines the console prints once connected to the default
    // scenario's base, from the banner to the serial number.
    std::vector<std::string> connectLines() const;

private:
    Transport transport_;
    std::unique_ptr<zorn::orbitane::sim::SimServer> sim_;
    mutable std::string serialDevice_;
};

// Log lines as the console prints them.
std::string info(const char* source, const std::string& text);
std::string warn(const char* source, const std::string& text);
std::string error(const char* source, const std::string& text);
std::string fatal(const char* source, const std::string& text);
// The frame's last line after a command returned 0.
extern const std::string SUCCESS;
// The frame's two lines after a command failed with a driver result
// ("80008000" to "80008004"): the failure and what it means; `before`
// ahead of them, `after` behind.
// `failure`: "80008000" (invalid), "corrupted", "link closed", "link failed",
// "refused 7", "80008002" (time-out) or "80008004" (not supported).
std::vector<std::string> failureLines(const std::string& failure, std::vector<std::string> before = {},
                                      const std::vector<std::string>& after = {});

bool has(const std::vector<std::string>& lines, const std::string& line);
// A line of the -t hex dump: a tab, the bytes as "%02x " (one more blank
// after every fourth), then at the column where 16 bytes end their text.
// A line of -t's hex dump; with `text`, as --text-column shows it.
std::string dumpLine(const std::string& bytes);
std::string dumpLine(const std::string& bytes, const std::string& text);
// Polls `condition` until it holds (true) or `limit` passes (false).
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);
// Standard output after the banner and the identity lines: what the
// command itself printed. Fails the test when those lines are not there.
std::vector<std::string> commandLines(const SimRig& rig, const ConsoleOutcome& r);
// Request codes the base received, in order.
std::vector<int> requestCodes(zorn::orbitane::sim::BaseDevice& device);
// The wheel speeds of every motor request the base received, {left, right}.
std::vector<std::vector<int>> wheelSpeeds(zorn::orbitane::sim::BaseDevice& device);
// A motor request of all zeros: the stop.
bool isZeroMotor(const zorn::orbitane::sim::ReceivedRequest& r);

// The default scenario with changes.
zorn::orbitane::sim::Scenario scenarioWith(const std::function<void(zorn::orbitane::sim::Scenario&)>& change);
zorn::orbitane::sim::FaultRule fault(int request, zorn::orbitane::sim::FaultKind kind, int after = 0, int times = -1);

// Values printed in a run/vrun step line.
struct StepLine {
    double d1 = 0, d2 = 0, d3 = 0;          // dl dr (run) or dx dy dtheta (vrun)
    double x = 0, y = 0, theta = 0;        // pose before
    double nx = 0, ny = 0, ntheta = 0;     // pose after
};
bool parseRunStep(const std::string& line, StepLine& out);
bool parseVrunStep(const std::string& line, StepLine& out);

// Source folder of the project (for the scenario files).
std::string sourceRoot();

}  // namespace e2e
}  // namespace tests
