// The CPU a status reading costs the console, beside the floor: a plain
// blocking client (write the request, poll, read what is there, until the
// answer is complete) against the same simulator build and transport; and,
// for information, beside the Python loop a user would write
// (status_loop.py). Each figure is the user + system CPU time of the process
// (from wait4) over READINGS readings minus that over one reading, so
// starting, connecting and the console's identity queries cancel out; the
// console's output goes to /dev/null.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

namespace bench {
namespace {

constexpr int READINGS = 40001;
constexpr int ROUNDS = 5;
constexpr int LIMIT_MS = 60000;

// The plain client's link, set up in the child.
int openTcp(const sockaddr_in& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
}

int openPty(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) return -1;
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return -1;
    return fd;
}

// `count` exchanges on fd; the child's exit status (0: all answered).
int plainLoop(int fd, int count) {
    if (fd < 0) return 2;
    uint8_t buffer[4096];
    size_t pending = 0;  // bytes read beyond the answers taken so far
    for (int i = 0; i < count; ++i) {
        if (::write(fd, STATUS_REQUEST_FRAME, sizeof STATUS_REQUEST_FRAME) != sizeof STATUS_REQUEST_FRAME) return 3;
        while (pending < sizeof STATUS_ANSWER_FRAME) {
            pollfd p;
            p.fd = fd;
            p.events = POLLIN;
            p.revents = 0;
            if (::poll(&p, 1, -1) < 0) return 4;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return 5;
            pending += static_cast<size_t>(n);
        }
        pending -= sizeof STATUS_ANSWER_FRAME;
    }
    return 0;
}

enum class Client { Console, Plain, Python };

const char* clientName(Client client) {
    switch (client) {
        case Client::Console: return "the console";
        case Client::Plain: return "the plain client";
        default: return "the Python loop";
    }
}

// CPU microseconds of one run of `count` readings against a fresh simulator;
// negative with `error` set.
double cpuOfRun(bool pty, Client client, int count, std::string& error) {
    SimProcess sim;
    if (!sim.start(binDir() + "/orbitane_base_sim", LIMIT_MS, error, pty)) return -1;
    ChildRun run;
    if (client == Client::Python) {
        run = runChild("/usr/bin/python3",
                       {std::string(ORBITANE_BENCH_SOURCE_DIR) + "/status_loop.py", pty ? "--pty" : "--tcp",
                        pty ? sim.path() : "127.0.0.1:" + std::to_string(sim.port()), "--count",
                        std::to_string(count)},
                       LIMIT_MS);
    } else if (client == Client::Console) {
        std::vector<std::string> args = {"base"};
        if (pty) {
            args.insert(args.end(), {"-c", "serial", "-p", sim.path()});
        } else {
            args.insert(args.end(), {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port())});
        }
        args.insert(args.end(), {"--count", std::to_string(count), "monitor", "status"});
        run = runChild(binDir() + "/orbitane_console", args, LIMIT_MS);
    } else {
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(sim.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string path = sim.path();
        run = runForked([&] { return plainLoop(pty ? openPty(path.c_str()) : openTcp(address), count); }, LIMIT_MS);
    }
    if (!run.ok || run.status != 0) {
        error = run.error.empty() ? std::string(clientName(client)) + " exited with " + std::to_string(run.status)
                                  : run.error;
        return -1;
    }
    return run.cpuUs;
}

// CPU microseconds per reading: READINGS readings minus one.
double cpuPerReading(bool pty, Client client, std::string& error) {
    const double many = cpuOfRun(pty, client, READINGS, error);
    if (many < 0) return -1;
    const double one = cpuOfRun(pty, client, 1, error);
    if (one < 0) return -1;
    return (many - one) / (READINGS - 1);
}

// The console, the plain client and the Python loop in turns, ROUNDS times;
// the console's median against each of the other two.
void measure(benchmark::State& state, bool pty, const std::string& key) {
    std::vector<double> console, plain, python;
    std::string error;
    for (auto _ : state) {
        for (int round = 0; round < ROUNDS; ++round) {
            const double c = cpuPerReading(pty, Client::Console, error);
            const double p = c < 0 ? -1 : cpuPerReading(pty, Client::Plain, error);
            const double y = p < 0 ? -1 : cpuPerReading(pty, Client::Python, error);
            if (c < 0 || p < 0 || y < 0) {
                recordFigureError(key, error);
                recordFigureError(key + "_python", error);
                state.SkipWithError(error.c_str());
                return;
            }
            console.push_back(c);
            plain.push_back(p);
            python.push_back(y);
        }
    }
    const double c = median(console), p = median(plain), y = median(python);
    state.counters["console_us"] = c;
    state.counters["plain_us"] = p;
    state.counters["python_us"] = y;
    const std::string how = "median of " + std::to_string(console.size()) + " rounds; user+sys CPU of " +
                            std::to_string(READINGS) + " readings minus a 1-reading run, each on a fresh simulator, "
                            "console, plain client and Python loop in turns";
    recordFigure(key, c, p, how);
    recordFigure(key + "_python", c, y, how);
}

void BM_CostPerReadingTcp(benchmark::State& state) { measure(state, false, "cost_tcp"); }
void BM_CostPerReadingPty(benchmark::State& state) { measure(state, true, "cost_pty"); }

BENCHMARK(BM_CostPerReadingTcp)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_CostPerReadingPty)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace bench
