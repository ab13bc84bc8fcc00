#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>


extern char** environ;

namespace bench {

// ---------------------------------------------------------------------------
// Figures

namespace {

std::mutex& boardMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, Figure>& board() {
    static std::map<std::string, Figure> b;
    return b;
}

}  // namespace

void recordFigure(const std::string& key, double value, double baseline, const std::string& note) {
    std::lock_guard<std::mutex> g(boardMutex());
    Figure& f = board()[key];
    f.measured = true;
    f.value = value;
    f.baseline = baseline;
    f.note = note;
    f.error.clear();
}

void recordFigureError(const std::string& key, const std::string& error) {
    std::lock_guard<std::mutex> g(boardMutex());
    Figure& f = board()[key];
    f.measured = false;
    f.error = error;
}

void recordRounds(const std::string& key, const std::vector<double>& values, const std::vector<double>& baselines,
                  const std::string& note) {
    std::vector<double> ratios;
    for (size_t i = 0; i < values.size() && i < baselines.size(); ++i) {
        if (baselines[i] > 0.0) ratios.push_back(values[i] / baselines[i]);
    }
    std::lock_guard<std::mutex> g(boardMutex());
    Figure& f = board()[key];
    f.measured = true;
    f.value = median(values);
    f.baseline = median(baselines);
    f.rounds = ratios.size();
    f.valueLow = minimum(values);
    f.valueHigh = maximum(values);
    f.baselineLow = minimum(baselines);
    f.baselineHigh = maximum(baselines);
    f.ratioLow = minimum(ratios);
    f.ratioMedian = median(ratios);
    f.ratioHigh = maximum(ratios);
    f.note = note;
    f.error.clear();
}

Figure figure(const std::string& key) {
    std::lock_guard<std::mutex> g(boardMutex());
    auto it = board().find(key);
    return it == board().end() ? Figure() : it->second;
}

// ---------------------------------------------------------------------------
// Statistics

double median(std::vector<double> samples) {
    if (samples.empty()) return 0.0;
    size_t mid = samples.size() / 2;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(mid), samples.end());
    double upper = samples[mid];
    if (samples.size() % 2) return upper;
    double lower = *std::max_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2.0;
}

double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0.0;
    if (q < 0.0) q = 0.0;
    if (q > 1.0) q = 1.0;
    size_t at = static_cast<size_t>(q * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
    return samples[at];
}

double maximum(const std::vector<double>& samples) {
    return samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end());
}

double minimum(const std::vector<double>& samples) {
    return samples.empty() ? 0.0 : *std::min_element(samples.begin(), samples.end());
}

// ---------------------------------------------------------------------------
// Descriptors

bool writeAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readExact(int fd, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

TcpPair::~TcpPair() {
    closeFd(client);
    closeFd(server);
}

int openLoopbackListener(int& port, std::string& error) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        error = errnoText("socket");
        return -1;
    }
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = errnoText("listen on 127.0.0.1");
        ::close(listener);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return listener;
}

int acceptOne(int listener, std::string& error) {
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errnoText("accept");
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool TcpPair::open(std::string& error) {
    int port = 0;
    int listener = openLoopbackListener(port, error);
    if (listener < 0) return false;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = errnoText("connect to 127.0.0.1");
        ::close(listener);
        return false;
    }
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    server = acceptOne(listener, error);
    ::close(listener);
    return server >= 0;
}

PtyPair::~PtyPair() {
    closeFd(master);
    closeFd(slave);
}

bool PtyPair::open(std::string& error) {
    char name[256] = {0};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = errnoText("openpty");
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios tio;
    if (::tcgetattr(slave, &tio) != 0) {
        error = errnoText("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) {
        error = errnoText("tcsetattr");
        return false;
    }
    path = name;
    return true;
}

// ---------------------------------------------------------------------------
// Status frames

const uint8_t STATUS_REQUEST_FRAME[5] = {0x10, 0x02, 0xF8, 0x30, 0xDA};
const uint8_t STATUS_ANSWER_FRAME[6] = {0x10, 0x03, 0x02, 0x50, 0x03, 0x42};

// ---------------------------------------------------------------------------
// Child processes

std::string binDir() {
    const char* dir = std::getenv("ORBITANE_BIN_DIR");
    if (dir && *dir) return dir;
    return ORBITANE_DEFAULT_BIN_DIR;
}

namespace {

double microseconds(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); }

// Waits at most limitMs for the child to end; true when it ended (or when
// the kernel offers no process descriptor, in which case the caller's wait4
// blocks).
bool waitForExit(int pid, int limitMs) {
#ifdef SYS_pidfd_open
    int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pfd < 0) return true;
    pollfd p;
    p.fd = pfd;
    p.events = POLLIN;
    p.revents = 0;
    int r;
    do {
        r = ::poll(&p, 1, limitMs);
    } while (r < 0 && errno == EINTR);
    ::close(pfd);
    return r > 0;
#else
    (void)pid;
    (void)limitMs;
    return true;
#endif
}

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int statusOf(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

// Waits up to limitMs for the child started at t0 (killing it after that),
// reaps it and returns what it cost.
ChildRun reaped(pid_t pid, Clock::time_point t0, int limitMs, const std::string& what) {
    ChildRun run;
    const bool ended = waitForExit(pid, limitMs);
    if (!ended) ::kill(pid, SIGKILL);
    int st = 0;
    rusage usage;
    std::memset(&usage, 0, sizeof usage);
    while (::wait4(pid, &st, 0, &usage) < 0 && errno == EINTR) {
    }
    run.wallMs = secondsBetween(t0, Clock::now()) * 1000.0;
    run.maxRssKb = usage.ru_maxrss;
    run.userUs = microseconds(usage.ru_utime);
    run.cpuUs = run.userUs + microseconds(usage.ru_stime);
    run.status = statusOf(st);
    run.ok = ended;
    if (!ended) run.error = what + " ran past " + std::to_string(limitMs) + " ms and was killed";
    return run;
}

}  // namespace

ChildRun runChild(const std::string& program, const std::vector<std::string>& args, int limitMs) {
    ChildRun run;
    std::vector<char*> argv = argvOf(program, args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    Clock::time_point t0 = Clock::now();
    pid_t pid = -1;
    int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        run.error = "cannot start " + program + ": " + std::strerror(err);
        return run;
    }
    return reaped(pid, t0, limitMs, program);
}

ChildRun runForked(const std::function<int()>& body, int limitMs) {
    ChildRun run;
    Clock::time_point t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        run.error = errnoText("fork");
        return run;
    }
    if (pid == 0) ::_exit(body());
    return reaped(pid, t0, limitMs, "the forked child");
}

namespace {

// Spawns program with its standard output on a pipe (returned in outFd) and
// its standard error discarded.
pid_t spawnWithOutput(const std::string& program, const std::vector<std::string>& args, int& outFd,
                      std::string& error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = errnoText("pipe");
        return -1;
    }
    std::vector<char*> argv = argvOf(program, args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (err != 0) {
        ::close(pipeFds[0]);
        error = "cannot start " + program + ": " + std::strerror(err);
        return -1;
    }
    outFd = pipeFds[0];
    return pid;
}

// Reads what is there within `ms`; false at the end of the stream.
bool readSome(int fd, std::string& into, int ms) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    if (r <= 0) return true;
    char chunk[65536];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return n < 0 && errno == EINTR;
    into.append(chunk, static_cast<size_t>(n));
    return true;
}

void endChild(pid_t pid, int signal) {
    ::kill(pid, signal);
    if (!waitForExit(pid, 5000)) ::kill(pid, SIGKILL);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

double linesPerSecond(const std::string& program, const std::vector<std::string>& args, const std::string& marker,
                      double seconds, std::string& error) {
    int out = -1;
    pid_t pid = spawnWithOutput(program, args, out, error);
    if (pid < 0) return -1;
    std::string pending;
    uint64_t lines = 0;
    bool counting = false;
    Clock::time_point first;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
    double rate = -1;
    for (;;) {
        if (!readSome(out, pending, 100)) {
            error = program + " ended early";
            break;
        }
        size_t start = 0;
        for (size_t eol; (eol = pending.find('\n', start)) != std::string::npos; start = eol + 1) {
            if (pending.compare(start, eol - start, marker) == 0 ||
                pending.find(marker, start) < eol) {
                if (!counting) {
                    counting = true;
                    first = Clock::now();
                } else {
                    ++lines;
                }
            }
        }
        pending.erase(0, start);
        const Clock::time_point now = Clock::now();
        if (counting && secondsBetween(first, now) >= seconds) {
            rate = static_cast<double>(lines) / secondsBetween(first, now);
            break;
        }
        if (!counting && now > giveUp) {
            error = program + " printed no \"" + marker + "\" line";
            break;
        }
    }
    endChild(pid, SIGINT);
    ::close(out);
    return rate;
}

double lineRateOfRun(const std::string& program, const std::vector<std::string>& args, const std::string& marker,
                     int limitMs, uint64_t& lines, std::string& error) {
    int out = -1;
    const pid_t pid = spawnWithOutput(program, args, out, error);
    if (pid < 0) return -1;
    std::string pending;
    uint64_t seen = 0, atFirst = 0, atLast = 0;
    Clock::time_point first, last;
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(limitMs);
    bool ended = false;
    while (!ended && Clock::now() < giveUp) {
        const size_t before = pending.size();
        ended = !readSome(out, pending, 100);
        if (pending.size() == before) continue;
        const Clock::time_point now = Clock::now();
        size_t start = 0;
        const uint64_t had = seen;
        for (size_t eol; (eol = pending.find('\n', start)) != std::string::npos; start = eol + 1) {
            const size_t at = pending.find(marker, start);
            if (at != std::string::npos && at < eol) ++seen;
        }
        pending.erase(0, start);
        if (seen == had) continue;
        if (had == 0) {
            first = now;
            atFirst = seen;
        }
        last = now;
        atLast = seen;
    }
    ::close(out);
    const int status = reapChild(pid, ended ? 5000 : 0);
    lines = atLast - atFirst;
    if (!ended) {
        error = program + " ran past " + std::to_string(limitMs) + " ms and was killed";
        return -1;
    }
    if (status != 0) {
        error = program + " exited with " + std::to_string(status);
        return -1;
    }
    if (lines < 100 || !(last > first)) {
        error = program + " printed " + std::to_string(seen) + " \"" + marker + "\" lines, too few in separate reads";
        return -1;
    }
    return static_cast<double>(lines) / secondsBetween(first, last);
}

std::string firstLineOf(const std::string& program, const std::vector<std::string>& args, int limitMs,
                        std::string& error) {
    int out = -1;
    pid_t pid = spawnWithOutput(program, args, out, error);
    if (pid < 0) return "";
    std::string text;
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(limitMs);
    while (text.find('\n') == std::string::npos && Clock::now() < giveUp) {
        if (!readSome(out, text, 100)) break;
    }
    endChild(pid, SIGTERM);
    ::close(out);
    size_t eol = text.find('\n');
    if (eol == std::string::npos) {
        error = program + " printed nothing";
        return "";
    }
    return text.substr(0, eol);
}

int startChild(const std::string& program, const std::vector<std::string>& args, std::string& error) {
    std::vector<char*> argv = argvOf(program, args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        error = "cannot start " + program + ": " + std::strerror(err);
        return -1;
    }
    return pid;
}

int reapChild(int pid, int limitMs) {
    const bool ended = waitForExit(pid, limitMs);
    if (!ended) ::kill(pid, SIGKILL);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return ended ? statusOf(st) : -1;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

namespace {

// "<link>: timing: request 0xCC, N bytes, in at T ns; answer M bytes"
bool parseTiming(const std::string& line, RequestTime& out) {
    const std::string marker = ": timing: request ";
    const size_t at = line.find(marker);
    if (at == std::string::npos) return false;
    // The link follows the log line's "[source] [LEVEL] " prefix.
    const size_t begin = line.rfind("] ", at);
    out.link = begin == std::string::npos ? "" : line.substr(begin + 2, at - begin - 2);
    unsigned code = 0;
    unsigned long bytes = 0, answer = 0;
    long long atNs = 0;
    if (std::sscanf(line.c_str() + at + marker.size(), "0x%x, %lu bytes, in at %lld ns; answer %lu bytes", &code,
                    &bytes, &atNs, &answer) != 4)
        return false;
    out.code = static_cast<int>(code);
    out.bytes = bytes;
    out.atNs = atNs;
    out.answerBytes = answer;
    return true;
}

// Where the first line that begins with `marker` begins in `text`; npos
// when none does (the ready lines are printed bare, log lines begin with
// the simulator's seconds).
size_t lineStarting(const std::string& text, const std::string& marker) {
    for (size_t at = 0; at < text.size(); ++at) {
        if (text.compare(at, marker.size(), marker) == 0) return at;
        at = text.find('\n', at);
        if (at == std::string::npos) break;
    }
    return std::string::npos;
}

}  // namespace

double RequestTime::number(const char* name) const {
    const size_t at = text.find(name);
    return at == std::string::npos ? 0.0 : std::atof(text.c_str() + at + std::strlen(name));
}

SimProcess::~SimProcess() { stop(); }

bool SimProcess::start(const std::string& program, int limitMs, std::string& error, bool pty,
                       const std::vector<std::string>& extra, bool watch, bool logRequests) {
    std::vector<std::string> args = pty ? std::vector<std::string>{"--pty"}
                                        : std::vector<std::string>{"--tcp", "127.0.0.1:0"};
    if (!logRequests) args.push_back("--quiet");
    args.insert(args.end(), extra.begin(), extra.end());
    int out = -1;
    pid_t pid = spawnWithOutput(program, args, out, error);
    if (pid < 0) return false;
    pid_ = pid;
    out_ = out;

    const std::string marker = pty ? "pty " : "listening on tcp ";
    std::string text;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        size_t at = lineStarting(text, marker);
        size_t eol = at == std::string::npos ? std::string::npos : text.find('\n', at);
        if (eol != std::string::npos) {
            std::string line = text.substr(at + marker.size(), eol - at - marker.size());
            if (pty) {
                path_ = line;
            } else {
                size_t colon = line.rfind(':');
                port_ = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
                if (port_ <= 0) {
                    error = "simulator printed an unexpected ready line: " + line;
                    return false;
                }
            }
            if (watch) watcher_ = std::thread(&SimProcess::watchOutput, this, text.substr(eol + 1));
            return true;
        }
        int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) {
            error = "simulator did not report it was listening within " + std::to_string(limitMs) + " ms";
            return false;
        }
        pollfd p;
        p.fd = out_;
        p.events = POLLIN;
        p.revents = 0;
        int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char chunk[512];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            error = "simulator ended before it was listening";
            return false;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}

void SimProcess::watchOutput(std::string pending) {
    char chunk[65536];
    // The simulator logs a request's line right before its timing line.
    std::string previous;
    for (;;) {
        size_t start = 0;
        {
            std::lock_guard<std::mutex> g(linesMutex_);
            for (size_t eol; (eol = pending.find('\n', start)) != std::string::npos; start = eol + 1) {
                std::string line = pending.substr(start, eol - start);
                RequestTime t;
                if (!parseTiming(line, t)) {
                    lines_.push_back(line);
                    previous = std::move(line);
                    continue;
                }
                char code[8];
                std::snprintf(code, sizeof code, "(0x%02X)", static_cast<unsigned>(t.code));
                if (previous.find(t.link + ": ") != std::string::npos && previous.find(code) != std::string::npos) {
                    t.text = std::move(previous);
                    t.seconds = std::atof(t.text.c_str());
                }
                previous.clear();
                times_.push_back(std::move(t));
            }
        }
        linesChanged_.notify_all();
        pending.erase(0, start);
        // Ends with the simulator, whose output closes when it exits.
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(chunk, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> g(linesMutex_);
        ended_ = true;
    }
    linesChanged_.notify_all();
}

std::vector<RequestTime> SimProcess::requestTimes() const {
    std::lock_guard<std::mutex> g(linesMutex_);
    return times_;
}

std::string SimProcess::lastLineWith(const std::string& marker) const {
    std::lock_guard<std::mutex> g(linesMutex_);
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
        if (it->find(marker) != std::string::npos) return *it;
    }
    return "";
}

bool SimProcess::waitForTimes(const std::function<bool(const std::vector<RequestTime>&)>& done, int limitMs) const {
    std::unique_lock<std::mutex> g(linesMutex_);
    return linesChanged_.wait_for(g, std::chrono::milliseconds(limitMs), [&] { return ended_ || done(times_); }) &&
           done(times_);
}

namespace {

size_t linesWith(const std::vector<std::string>& lines, const std::string& marker) {
    size_t n = 0;
    for (const std::string& line : lines) n += line.find(marker) != std::string::npos;
    return n;
}

}  // namespace

size_t SimProcess::countLinesWith(const std::string& marker) const {
    std::lock_guard<std::mutex> g(linesMutex_);
    return linesWith(lines_, marker);
}

bool SimProcess::waitForLinesWith(const std::string& marker, size_t count, int limitMs) const {
    auto enough = [&] { return linesWith(lines_, marker) >= count; };
    std::unique_lock<std::mutex> g(linesMutex_);
    return linesChanged_.wait_for(g, std::chrono::milliseconds(limitMs), [&] { return ended_ || enough(); }) &&
           enough();
}

void SimProcess::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!waitForExit(pid_, 5000)) ::kill(pid_, SIGKILL);
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    if (watcher_.joinable()) watcher_.join();
    closeFd(out_);
}

}  // namespace bench
