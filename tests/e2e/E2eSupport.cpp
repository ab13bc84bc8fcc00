#include "tests/e2e/E2eSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "tests/support/ChildProcess.h"

extern char** environ;

namespace tests {
namespace e2e {

namespace sim = zorn::orbitane::sim;

const char* const FRAME = "[zorn.orbitane.test.OrbitaneConsoleApplication] ";
const char* const BASE = "[zorn.orbitane.test.OrbitaneBaseConsoleApplication] ";
const char* const SELFTEST = "[zorn.orbitane.test] ";
const char* const FACTORY = "[zorn.orbitane.utils.ChannelFactory] ";
const char* const TRACE = "[zorn.orbitane.test.InterceptProtocol] ";

std::vector<std::string> ConsoleOutcome::splitLines(const std::string& text) {
    return support::ChildResult::lines(text);
}

std::vector<std::string> ConsoleOutcome::outLinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const auto& line : outLines()) {
        if (line.compare(0, prefix.size(), prefix) == 0) result.push_back(line);
    }
    return result;
}

ConsoleProcess::ConsoleProcess(const std::vector<std::string>& args)
    : ConsoleProcess(support::builtProgram("orbitane_console"), args) {}

ConsoleProcess::ConsoleProcess(const std::string& program, const std::vector<std::string>& args) {
    spawn(program, args, nullptr);
}

ConsoleProcess::ConsoleProcess(const std::vector<std::string>& args, const std::string& input) {
    spawn(support::builtProgram("orbitane_console"), args, &input);
}

void ConsoleProcess::spawn(const std::string& program, const std::vector<std::string>& args,
                           const std::string* input) {
    // The whole input goes into the pipe before the child starts, so the
    // test never blocks on (or is signalled by) a child that stops reading.
    int inPipe[2] = {-1, -1};
    if (input != nullptr) {
        if (input->size() >= 65536 || ::pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("input pipe failed");
        if (::write(inPipe[1], input->data(), input->size()) != static_cast<ssize_t>(input->size())) {
            throw std::runtime_error("input pipe write failed");
        }
        ::close(inPipe[1]);
    }
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    // posix_spawn: safe in a process whose other threads (the simulator)
    // hold locks. The child starts with default handling of the stop
    // signals and nothing blocked, whatever the test runner set up.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input != nullptr) posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGQUIT);
    sigaddset(&defaults, SIGTSTP);
    sigaddset(&defaults, SIGUSR1);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    started_ = std::chrono::steady_clock::now();
    int rc = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (input != nullptr) ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        pid_ = -1;
        throw std::runtime_error(std::string("cannot start ") + program + ": " + std::strerror(rc));
    }
    reader_ = std::thread(&ConsoleProcess::readStreams, this, outPipe[0], errPipe[0]);
}

ConsoleProcess::~ConsoleProcess() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!exited_ && pid_ > 0) ::kill(pid_, SIGKILL);
    }
    if (reader_.joinable()) reader_.join();
}

void ConsoleProcess::readStreams(int outFd, int errFd) {
    int fds[2] = {outFd, errFd};
    char buffer[16384];
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        }
        if (::poll(p, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < n; ++k) {
            if (p[k].revents == 0) continue;
            int i = which[k];
            ssize_t got = ::read(fds[i], buffer, sizeof buffer);
            if (got > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
        changed_.notify_all();
    }
    for (int fd : fds) {
        if (fd >= 0) ::close(fd);
    }
    // Both streams are closed: the child is ending (or killed); reap it.
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rawStatus_ = raw;
        exited_ = true;
        seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }
    changed_.notify_all();
}

void ConsoleProcess::signal(int sig) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exited_ && pid_ > 0) ::kill(pid_, sig);
}

bool ConsoleProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return out_.find(text) != std::string::npos || exited_; }) &&
           out_.find(text) != std::string::npos;
}

ConsoleOutcome ConsoleProcess::wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, limit, [&] { return exited_; })) {
        killed_ = true;
        ::kill(pid_, SIGKILL);
        // A killed child closes its streams at once.
        changed_.wait(lock, [&] { return exited_; });
    }
    ConsoleOutcome r;
    r.killed = killed_;
    r.status = WIFEXITED(rawStatus_) ? WEXITSTATUS(rawStatus_) : 128 + WTERMSIG(rawStatus_);
    r.signal = WIFSIGNALED(rawStatus_) ? WTERMSIG(rawStatus_) : 0;
    r.out = out_;
    r.err = err_;
    r.seconds = seconds_;
    return r;
}

long ConsoleProcess::residentKiB() const { return support::memoryKiB(pid_); }

int ConsoleProcess::openDescriptors() const {
    std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

const char* transportName(Transport t) { return t == Transport::Tcp ? "Tcp" : "Serial"; }

SimRig::SimRig(const sim::Scenario& scenario, Transport transport)
    : transport_(transport), sim_(new sim::SimServer(scenario)) {
    std::string error;
    bool started = transport == Transport::Tcp ? sim_->startTcp("127.0.0.1", 0, &error) : sim_->startPty("", &error);
    if (!started) throw std::runtime_error("simulator did not start: " + error);
}

std::string SimRig::channelDescription() const {
    if (transport_ == Transport::Tcp) return "tcp:127.0.0.1:" + std::to_string(sim_->port());
    return "serial:" + (serialDevice_.empty() ? sim_->ptyPath() : serialDevice_);
}

std::vector<std::string> SimRig::argsFor(const std::vector<std::string>& command, bool trace) const {
    std::vector<std::string> args{"base"};
    if (transport_ == Transport::Tcp) {
        args.insert(args.end(), {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim_->port())});
    } else {
        serialDevice_ = sim_->ptyPath();
        args.insert(args.end(), {"-c", "serial", "-p", serialDevice_});
    }
    if (trace) args.push_back("-t");
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

ConsoleOutcome SimRig::console(const std::vector<std::string>& command, std::chrono::milliseconds limit, bool trace) {
    ConsoleProcess child(argsFor(command, trace));
    return child.wait(limit);
}

ConsoleOutcome SimRig::consoleWithInput(const std::vector<std::string>& command, const std::string& input,
                                        std::chrono::milliseconds limit) {
    ConsoleProcess child(argsFor(command), input);
    return child.wait(limit);
}

std::unique_ptr<ConsoleProcess> SimRig::start(const std::vector<std::string>& command) const {
    return std::unique_ptr<ConsoleProcess>(new ConsoleProcess(argsFor(command)));
}

std::vector<std::string> SimRig::connectLines() const {
    const std::string where = channelDescription();
    return {std::string(FRAME) + "[INFO] Orbitane Console 2.0.0_dev",
            std::string(FACTORY) + "[INFO] Connecting to " + where + "...",
            std::string(BASE) + "[INFO] Connected to Control Bus Device at " + where,
            std::string(BASE) + "[INFO] Model: ORB-BASE",
            std::string(BASE) + "[INFO] Firmware Version: 1.2",
            std::string(BASE) + "[INFO] Hardware version: 3.0",
            std::string(BASE) + "[INFO] Serial Number: 4F52426954414E4500000001"};
}

std::string info(const char* source, const std::string& text) { return std::string(source) + "[INFO] " + text; }
std::string warn(const char* source, const std::string& text) { return std::string(source) + "[WARN] " + text; }
std::string error(const char* source, const std::string& text) { return std::string(source) + "[ERRO] " + text; }
std::string fatal(const char* source, const std::string& text) { return std::string(source) + "[FATL] " + text; }

const std::string SUCCESS = info(FRAME, "Successfully executed command");

std::vector<std::string> failureLines(const std::string& failure, std::vector<std::string> before,
                                      const std::vector<std::string>& after) {
    // The code and the words the console gives each failure.
    const std::map<std::string, std::pair<std::string, std::string>> meaning = {
        {"80008000", {"80008000", "invalid data: the base's answer was malformed or did not match the request"}},
        {"corrupted", {"80008000", "invalid data: the answer failed its checksum (a noisy line?)"}},
        {"link closed", {"80008001", "operation failed: the base closed the connection"}},
        {"link failed", {"80008001", "operation failed: the link to the base broke"}},
        {"refused 7", {"80008001", "operation failed: the base refused the request (error code 7)"}},
        {"80008002", {"80008002", "time-out: the base did not answer within 1000 ms"}},
        {"80008004", {"80008004", "the base does not support this request"}}};
    const auto& [code, words] = meaning.at(failure);
    before.push_back(error(FRAME, "Execute command failed: " + code));
    before.push_back(error(FRAME, code + ": " + words));
    before.insert(before.end(), after.begin(), after.end());
    return before;
}

std::string dumpLine(const std::string& bytes) { return "\t" + bytes; }

std::string dumpLine(const std::string& bytes, const std::string& text) {
    return "\t" + bytes + std::string(52 - bytes.size(), ' ') + "|" + text + "|";
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // poll interval of a bounded wait
    }
    return true;
}

std::vector<std::string> commandLines(const SimRig& rig, const ConsoleOutcome& r) {
    std::vector<std::string> lines = r.outLines();
    const std::vector<std::string> banner = rig.connectLines();
    // Banner and connection lines exactly; the identity values depend on
    // the scenario, so only their labels.
    const char* labels[] = {"Model: ", "Firmware Version: ", "Hardware version: ", "Serial Number: "};
    bool ok = lines.size() >= 7 && std::equal(banner.begin(), banner.begin() + 3, lines.begin());
    for (int i = 0; ok && i < 4; ++i) ok = lines[3 + i].rfind(info(BASE, labels[i]), 0) == 0;
    if (!ok) {
        ADD_FAILURE() << "banner and identity lines missing in:\n" << r.out << "\nstderr:\n" << r.err;
        return lines;
    }
    return std::vector<std::string>(lines.begin() + 7, lines.end());
}

std::vector<int> requestCodes(sim::BaseDevice& device) {
    std::vector<int> codes;
    for (const auto& r : device.requests()) codes.push_back(r.code);
    return codes;
}

std::vector<std::vector<int>> wheelSpeeds(zorn::orbitane::sim::BaseDevice& device) {
    std::vector<std::vector<int>> out;
    for (const auto& m : device.motorCommands()) out.push_back({m.left_speed, m.right_speed});
    return out;
}

bool isZeroMotor(const zorn::orbitane::sim::ReceivedRequest& r) {
    return r.code == zorn::drv::REQ_SET_MOTOR && r.args == std::vector<uint8_t>(16, 0);
}

sim::Scenario scenarioWith(const std::function<void(sim::Scenario&)>& change) {
    sim::Scenario s = sim::defaultScenario();
    change(s);
    return s;
}

sim::FaultRule fault(int request, sim::FaultKind kind, int after, int times) {
    sim::FaultRule r;
    r.request = request;
    r.kind = kind;
    r.after = after;
    r.times = times;
    return r;
}

bool parseRunStep(const std::string& line, StepLine& o) {
    size_t at = line.find("dl=");
    if (at == std::string::npos) return false;
    return std::sscanf(line.c_str() + at, "dl=%lf dr=%lf pose:(%lf, %lf, %lfdeg)->(%lf, %lf, %lfdeg)", &o.d1, &o.d2,
                       &o.x, &o.y, &o.theta, &o.nx, &o.ny, &o.ntheta) == 8;
}

bool parseVrunStep(const std::string& line, StepLine& o) {
    size_t at = line.find("dx=");
    if (at == std::string::npos) return false;
    return std::sscanf(line.c_str() + at, "dx=%lf dy=%lf dtheta=%lfdeg pose:(%lf, %lf, %lfdeg)->(%lf, %lf, %lfdeg)",
                       &o.d1, &o.d2, &o.d3, &o.x, &o.y, &o.theta, &o.nx, &o.ny, &o.ntheta) == 9;
}

std::string sourceRoot() {
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/tests/e2e/"));
}

}  // namespace e2e
}  // namespace tests
