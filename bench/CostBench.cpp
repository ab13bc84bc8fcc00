// The CPU a status reading costs the console, beside the floor: a plain
// blocking client (write the request, poll, read what is there, until the
// answer is complete) against the same simulator build and transport; and,
// for information, beside the Python loop a user would write
// (status_loop.py). Each figure is the user + system CPU time of the process
// (from wait4) over READINGS readings minus that over one reading, so
// starting, connecting and the console's identity queries cancel out; the
// console's output goes to /dev/null. The clients take their rounds in
// turns (console, plain client, Python loop, console, ...), and the medians
// of their rounds are compared, so that a process loading the machine for a
// while weighs on every client alike and a round it hit hard drops out.

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
#include "bench/Rounds.h"

namespace bench {
namespace {

// Fixed work per round: every client makes the same number of readings,
// however busy the machine is.
constexpr int READINGS = 20001;
constexpr int ROUNDS = 9;
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

// What a run cost: user + system, and user alone, in microseconds.
struct Cost {
    double cpuUs = -1;
    double userUs = -1;
};

// One run of `count` readings against a fresh simulator; cpuUs negative
// with `error` set.
Cost costOfRun(bool pty, Client client, int count, std::string& error) {
    SimProcess sim;
    if (!sim.start(binDir() + "/orbitane_base_sim", LIMIT_MS, error, pty)) return Cost();
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
        return Cost();
    }
    Cost cost;
    cost.cpuUs = run.cpuUs;
    cost.userUs = run.userUs;
    return cost;
}

// ROUNDS rounds; each runs the console, the plain client and the Python
// loop for READINGS readings, back to back, then each for one reading. The
// console's rounds against each of the other two's, round by round.
void measure(benchmark::State& state, bool pty, const std::string& key) {
    const Client clients[] = {Client::Console, Client::Plain, Client::Python};
    std::vector<Side> sides;
    std::vector<double> user[2][3];  // [one reading?][client], per round
    for (int count : {READINGS, 1}) {
        for (int c = 0; c < 3; ++c) {
            sides.push_back([pty, count, c, &clients, &user](std::string& e) {
                const Cost cost = costOfRun(pty, clients[c], count, e);
                if (cost.cpuUs >= 0) user[count == 1][c].push_back(cost.userUs);
                return cost.cpuUs;
            });
        }
    }
    std::vector<std::vector<double>> runs;
    std::string error;
    for (auto _ : state) {
        if (!takeInTurns(ROUNDS, sides, runs, error)) {
            recordFigureError(key, error);
            recordFigureError(key + "_python", error);
            state.SkipWithError(error.c_str());
            return;
        }
    }
    // Per client and round: what the readings beyond the first cost, each.
    auto perReading = [](const std::vector<double>& many, const std::vector<double>& one) {
        return perUnitBeyondFirst(many, one, READINGS);
    };
    const std::vector<double> console = perReading(runs[0], runs[3]);
    const std::vector<double> plain = perReading(runs[1], runs[4]);
    const std::vector<double> python = perReading(runs[2], runs[5]);
    const std::vector<double> consoleUser = perReading(user[0][0], user[1][0]);
    const std::vector<double> plainUser = perReading(user[0][1], user[1][1]);
    const std::vector<double> pythonUser = perReading(user[0][2], user[1][2]);
    state.counters["console_us"] = median(console);
    state.counters["plain_us"] = median(plain);
    state.counters["python_us"] = median(python);
    state.counters["console_user_us"] = median(consoleUser);
    state.counters["plain_user_us"] = median(plainUser);
    const std::string how = std::to_string(ROUNDS) + " rounds; user+sys CPU of " + std::to_string(READINGS) +
                            " readings minus a 1-reading run, each on a fresh simulator, console, plain client and "
                            "Python loop in turns; user time a reading (sampled by the scheduler's tick): console " +
                            medianAndRange(consoleUser, 2, "us") + ", plain client " +
                            medianAndRange(plainUser, 2, "us") + ", Python loop " +
                            medianAndRange(pythonUser, 2, "us");
    recordRounds(key, console, plain, how);
    recordRounds(key + "_python", console, python, how);
}

void BM_CostPerReadingTcp(benchmark::State& state) { measure(state, false, "cost_tcp"); }
void BM_CostPerReadingPty(benchmark::State& state) { measure(state, true, "cost_pty"); }

BENCHMARK(BM_CostPerReadingTcp)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_CostPerReadingPty)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace bench
