#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tests {
namespace support {

// Outcome of a child process run to completion.
struct ChildResult {
    int status = -1;        // exit status (0..255), or 128 + signal when killed
    bool timedOut = false;  // killed because it ran past its bound
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
    // Lines of a stream, without their line feeds.
    static std::vector<std::string> lines(const std::string& text);
};

// A memory figure of a process in KiB ("VmRSS", "VmHWM"), -1 when it
// cannot be read (the process is gone).
long memoryKiB(int pid, const std::string& field = "VmRSS");

// Path of a program built next to the tests (ORBITANE_BIN_DIR, set by ctest).
std::string builtProgram(const std::string& name);

// Runs `program` with argv[0] = `argv0` (defaults to program) and `args`,
// capturing both streams; kills it after `limit`.
ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(20000),
                     const std::string& argv0 = "", const std::vector<std::string>& extraEnv = {});

// A child process that keeps running while the test talks to it.
class RunningChild {
public:
    RunningChild(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv = {});
    ~RunningChild();
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;

    int pid() const { return pid_; }
    void signal(int sig);
    // Waits for the child to exit and collects its output.
    ChildResult wait(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
    // Waits until standard output contains `text` (bounded); returns whether it did.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    const std::string& outputSoFar() const { return out_; }

private:
    bool pump(int timeoutMs);

    int pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    bool finished_ = false;
    ChildResult result_;
};

}  // namespace support
}  // namespace tests
