#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tests {
namespace support {

std::vector<std::string> ChildResult::lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

long memoryKiB(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

std::string builtProgram(const std::string& name) {
    const char* dir = std::getenv("ORBITANE_BIN_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

RunningChild::RunningChild(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argvText;
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (const auto& assignment : extraEnv) {
            putenv(const_cast<char*>(assignment.c_str()));
        }
        std::vector<char*> argv;
        for (auto& word : argvText) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
}

RunningChild::~RunningChild() {
    if (!finished_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
}

void RunningChild::signal(int sig) {
    if (!finished_ && pid_ > 0) {
        kill(pid_, sig);
    }
}

// Reads whatever is available on either pipe; false once both are closed.
bool RunningChild::pump(int timeoutMs) {
    struct pollfd fds[2];
    int count = 0;
    if (outFd_ >= 0) fds[count++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0) fds[count++] = {errFd_, POLLIN, 0};
    if (count == 0) {
        return false;
    }
    if (poll(fds, count, timeoutMs) <= 0) {
        return true;
    }
    char buffer[4096];
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        bool isOut = fds[i].fd == outFd_;
        if (got > 0) {
            (isOut ? out_ : err_).append(buffer, static_cast<size_t>(got));
        } else {
            close(fds[i].fd);
            (isOut ? outFd_ : errFd_) = -1;
        }
    }
    return true;
}

bool RunningChild::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (out_.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(static_cast<int>(std::min<long>(left.count(), 100)))) {
            return out_.find(text) != std::string::npos;
        }
    }
    return true;
}

ChildResult RunningChild::wait(std::chrono::milliseconds limit) {
    if (finished_) {
        return result_;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool killed = false;
    while (outFd_ >= 0 || errFd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid_, SIGKILL);
            killed = true;
            break;
        }
        pump(static_cast<int>(std::min<long>(left.count(), 100)));
    }
    int raw = 0;
    waitpid(pid_, &raw, 0);
    if (killed) {
        while (pump(0) && (outFd_ >= 0 || errFd_ >= 0)) {
        }
    }
    finished_ = true;
    result_.timedOut = killed;
    result_.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result_.out = out_;
    result_.err = err_;
    return result_;
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit, const std::string& argv0,
                     const std::vector<std::string>& extraEnv) {
    if (argv0.empty()) {
        RunningChild child(program, args, extraEnv);
        return child.wait(limit);
    }
    // Start the program under another name through a symlink beside it.
    char dirTemplate[] = "/tmp/orbitane-argv0-XXXXXX";
    char* dir = mkdtemp(dirTemplate);
    if (dir == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    std::string link = std::string(dir) + "/" + argv0;
    if (symlink(program.c_str(), link.c_str()) != 0) {
        throw std::runtime_error("symlink failed");
    }
    ChildResult result;
    {
        RunningChild child(link, args, extraEnv);
        result = child.wait(limit);
    }
    unlink(link.c_str());
    rmdir(dir);
    return result;
}

}  // namespace support
}  // namespace tests
