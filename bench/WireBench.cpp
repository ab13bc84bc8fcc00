// The console on a simulated serial line at 115,200 baud (the simulator's
// --baud, over loopback TCP, and for drive also its pseudo-terminal), each
// figure against what the line allows: readings per second against a raw
// client on the same line, the stop's latency against the stop frame's own
// wire time, the gaps between drive's velocity requests against the 50 ms
// they may be apart, drive's stop when the base no longer answers and the
// bumper pulses it misses, and `config` against the wire time of its
// frames. Then the checksum's blind spot on a noisy line: the corrupted
// answers that pass it, against the simulator's own count of the answers it
// damaged.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "net/Framer.h"
#include "net/Link.h"

namespace bench {
namespace {

constexpr int64_t BAUD = 115200;
constexpr int LIMIT_MS = 15000;
constexpr int SETMOTOR = 0x40;
constexpr int SETVELOCITY = 0x41;
constexpr int GETMOTORDATA = 0x31;
constexpr int GETBUMPERDATA = 0x33;

// Milliseconds `bytes` take on the line (8N1: 10 bits a byte).
double wireMs(size_t bytes) { return static_cast<double>(bytes) * 10.0 * 1000.0 / BAUD; }

std::string simulator() { return binDir() + "/orbitane_base_sim"; }
std::string consoleProgram() { return binDir() + "/orbitane_console"; }

std::vector<std::string> consoleArgs(const SimProcess& sim, const std::vector<std::string>& command) {
    std::vector<std::string> args = {"base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port())};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

const std::vector<std::string> LINE = {"--baud", std::to_string(BAUD)};

void fail(benchmark::State& state, const std::string& key, const std::string& error) {
    recordFigureError(key, error);
    state.SkipWithError(error.c_str());
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// A blocking loopback connection with no-delay; reads give up after 5 s, so
// that a simulator gone silent ends the measurement instead of hanging it.
int connectLoopback(int port, std::string& error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = std::string("connect to 127.0.0.1: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// ---------------------------------------------------------------------------
// monitor status against a raw client on the same line

// Status exchanges per second of a raw ping-pong client over `seconds`.
double rawStatusRate(int port, double seconds, std::string& error) {
    const int fd = connectLoopback(port, error);
    if (fd < 0) return -1;
    uint8_t answer[sizeof STATUS_ANSWER_FRAME];
    auto exchange = [&] {
        if (!writeAll(fd, STATUS_REQUEST_FRAME, sizeof STATUS_REQUEST_FRAME) || !readExact(fd, answer, sizeof answer)) {
            error = std::string("the raw client lost its connection: ") + std::strerror(errno);
            return false;
        }
        if (std::memcmp(answer, STATUS_ANSWER_FRAME, sizeof answer) != 0) {
            char text[64];
            std::snprintf(text, sizeof text, "the raw client read %02X %02X %02X %02X %02X %02X", answer[0], answer[1],
                          answer[2], answer[3], answer[4], answer[5]);
            error = text;
            return false;
        }
        return true;
    };
    double rate = -1;
    bool ok = true;
    for (int i = 0; i < 5 && ok; ++i) ok = exchange();  // warm-up
    uint64_t done = 0;
    const Clock::time_point t0 = Clock::now();
    while (ok && secondsBetween(t0, Clock::now()) < seconds) {
        ok = exchange();
        done += ok;
    }
    if (ok) rate = static_cast<double>(done) / secondsBetween(t0, Clock::now());
    ::close(fd);
    return rate;
}

void BM_WireMonitorStatus(benchmark::State& state) {
    constexpr double WINDOW_S = 2.0;
    constexpr int ROUNDS = 5;
    std::string error;
    SimProcess sim;
    if (!sim.start(simulator(), LIMIT_MS, error, false, LINE)) return fail(state, "wire_monitor", error);
    std::vector<double> console, raw;
    for (auto _ : state) {
        for (int round = 0; round < ROUNDS; ++round) {
            const double c = linesPerSecond(consoleProgram(), consoleArgs(sim, {"monitor", "status"}), "Battery:",
                                            WINDOW_S, error);
            const double r = c > 0 ? rawStatusRate(sim.port(), WINDOW_S, error) : -1;
            if (c <= 0 || r <= 0) return fail(state, "wire_monitor", error);
            console.push_back(c);
            raw.push_back(r);
        }
        state.SetIterationTime(WINDOW_S * 2 * ROUNDS);
    }
    // A status exchange is 5 + 6 bytes on the line.
    const double limit = static_cast<double>(BAUD) / (10.0 * (sizeof STATUS_REQUEST_FRAME + sizeof STATUS_ANSWER_FRAME));
    const double c = median(console), r = median(raw);
    state.counters["console_per_s"] = c;
    state.counters["raw_per_s"] = r;
    recordFigure("wire_monitor", c, r,
                 "median of " + std::to_string(console.size()) + " windows of 2 s each, taken in turns on one "
                 "simulator at --baud 115200; " + fixed(100.0 * c / limit, 1) + " % of the line's " +
                 fixed(limit, 1) + " exchanges/s");
    recordFigure("wire_raw", r, limit, "raw blocking ping-pong of the 5-byte request and 6-byte answer");
}

// ---------------------------------------------------------------------------
// Stop latency

// Timing lines from index `from` on.
std::vector<RequestTime> since(const SimProcess& sim, size_t from) {
    std::vector<RequestTime> all = sim.requestTimes();
    return std::vector<RequestTime>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
}

// Runs `run` until `ready` holds for its requests, interrupts it and
// returns the time from SIGINT to the stop request's last byte at the base
// (ms), with the stop frame's size; -1 with `error` set on failure.
double stopLatencyOnce(SimProcess& sim, const std::function<bool(const std::vector<RequestTime>&)>& ready,
                       size_t& stopBytes, std::string& error) {
    const size_t from = sim.requestTimes().size();
    const int pid = startChild(consoleProgram(), consoleArgs(sim, {"run", "100", "100", "60"}), error);
    if (pid < 0) return -1;
    const bool started = sim.waitForTimes(
        [&](const std::vector<RequestTime>& all) {
            return all.size() > from && ready(std::vector<RequestTime>(all.begin() + static_cast<std::ptrdiff_t>(from),
                                                                       all.end()));
        },
        LIMIT_MS);
    const int64_t signalledNs = nowNs();
    ::kill(pid, SIGINT);
    double latency = -1;
    if (!started) {
        error = "run did not get under way on the simulator";
    } else if (!sim.waitForTimes(
                   [&](const std::vector<RequestTime>& all) {
                       for (size_t i = from; i < all.size(); ++i)
                           if (all[i].code == SETMOTOR && all[i].atNs >= signalledNs) return true;
                       return false;
                   },
                   5000)) {
        error = "no stop request reached the simulator within 5 s of SIGINT";
    } else {
        for (const RequestTime& t : since(sim, from)) {
            if (t.code == SETMOTOR && t.atNs >= signalledNs) {
                latency = static_cast<double>(t.atNs - signalledNs) / 1e6;
                stopBytes = t.bytes;
                break;
            }
        }
    }
    const int status = reapChild(pid, 5000);
    if (latency >= 0 && status != 130) {
        error = "run ended with status " + std::to_string(status) + " after SIGINT, not 130";
        latency = -1;
    }
    return latency;
}

void measureStops(benchmark::State& state, const std::string& key, const std::vector<std::string>& extra,
                  const std::function<bool(const std::vector<RequestTime>&, int round)>& ready) {
    constexpr int ROUNDS = 8;
    std::string error;
    SimProcess sim;
    std::vector<std::string> options = LINE;
    options.insert(options.end(), extra.begin(), extra.end());
    options.push_back("--request-times");
    if (!sim.start(simulator(), LIMIT_MS, error, false, options, true)) return fail(state, key, error);
    std::vector<double> latencies;
    size_t stopBytes = 0;
    for (auto _ : state) {
        for (int round = 0; round < ROUNDS; ++round) {
            const double ms = stopLatencyOnce(
                sim, [&](const std::vector<RequestTime>& run) { return ready(run, round); }, stopBytes, error);
            if (ms < 0) return fail(state, key, error);
            latencies.push_back(ms);
        }
        state.SetIterationTime(1.0);
    }
    state.counters["max_ms"] = maximum(latencies);
    state.counters["median_ms"] = median(latencies);
    recordFigure(key, maximum(latencies), wireMs(stopBytes),
                 "slowest of " + std::to_string(latencies.size()) + " runs interrupted by SIGINT (median " +
                     fixed(median(latencies), 2) + " ms), to the last byte of the " + std::to_string(stopBytes) +
                     "-byte stop frame at the simulator");
}

// Requests of `code` in `run`.
size_t countOf(const std::vector<RequestTime>& run, int code) {
    return static_cast<size_t>(std::count_if(run.begin(), run.end(), [code](const RequestTime& t) { return t.code == code; }));
}

void BM_WireStopRun(benchmark::State& state) {
    // Each round interrupts after a different number of readings, so the
    // signal lands at different points of an exchange.
    measureStops(state, "wire_stop_run", {}, [](const std::vector<RequestTime>& run, int round) {
        return countOf(run, SETMOTOR) >= 1 && countOf(run, GETMOTORDATA) >= static_cast<size_t>(20 + round * 3);
    });
}

// Writes a scenario to a temporary file; its path, "" with `error` set.
std::string scenarioFile(const std::string& text, std::string& error) {
    char path[] = "/tmp/orbitane-bench-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || !writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        error = "cannot write the scenario file";
        if (fd >= 0) ::close(fd);
        return "";
    }
    ::close(fd);
    return path;
}

// A scenario that makes every motor reading after the 20th answer 2 KB long,
// as long as a configuration: the signal lands while one streams in.
std::string longAnswerScenario(std::string& error) {
    return scenarioFile(
        "{\"faults\": [{\"request\": \"0x31\", \"kind\": \"long\", \"extra\": 2000, \"after\": 20}]}\n", error);
}

void BM_WireStopDuringTransfer(benchmark::State& state) {
    std::string error;
    const std::string scenario = longAnswerScenario(error);
    if (scenario.empty()) return fail(state, "wire_stop_transfer", error);
    measureStops(state, "wire_stop_transfer", {"--scenario", scenario},
                 [](const std::vector<RequestTime>& run, int) {
                     return std::any_of(run.begin(), run.end(), [](const RequestTime& t) {
                         return t.code == GETMOTORDATA && t.answerBytes > 1000;
                     });
                 });
    ::unlink(scenario.c_str());
}

// ---------------------------------------------------------------------------
// drive in a pseudo-terminal, an arrow key held

// Reads what the console drew, so that its terminal never fills, for at
// most `ms`; false once the terminal closed (the console ended).
bool drainFor(int master, int ms) {
    pollfd p{master, POLLIN, 0};
    char buf[65536];
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
        if (left <= 0) return true;
        const int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return true;
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
    }
}

// The console's drive in a pseudo-terminal (forkpty, 100x40, TERM=xterm)
// against a simulator of its own on a 115,200-baud line, reached through
// the simulator's pseudo-terminal or over loopback TCP.
class DriveConsole {
public:
    ~DriveConsole() { quit(0); }

    // Starts both and waits until drive reads the bumpers, which it does
    // once its view runs. `scenario`: a scenario file, "" for the built-in
    // one; `logRequests`: each request's decoded line comes with its time.
    bool start(bool tcp, int latencyMs, const std::string& scenario, bool logRequests, std::string& error) {
        std::vector<std::string> options = LINE;
        options.insert(options.end(), {"--latency", std::to_string(latencyMs), "--request-times"});
        if (!scenario.empty()) options.insert(options.end(), {"--scenario", scenario});
        if (!sim.start(simulator(), LIMIT_MS, error, !tcp, options, true, logRequests)) return false;
        const std::vector<std::string> args =
            tcp ? consoleArgs(sim, {"drive"})
                : std::vector<std::string>{"base", "-c", "serial", "-p", sim.path(), "drive"};
        const std::string program = consoleProgram();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        winsize size{40, 100, 0, 0};
        pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0) {
            error = std::string("forkpty: ") + std::strerror(errno);
            return false;
        }
        if (pid_ == 0) {
            ::setenv("TERM", "xterm", 1);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        if (!drainUntil([](const std::vector<RequestTime>& all) { return countOf(all, GETBUMPERDATA) > 0; },
                        LIMIT_MS)) {
            error = "drive did not start polling the simulator";
            return false;
        }
        return true;
    }

    // Holds ↑ for `seconds`: the key every 30 ms, as a terminal's
    // auto-repeat sends it, and as xterm sends it in the keypad mode the
    // view turns on. The time the last key was written (nowNs).
    int64_t holdUp(double seconds) {
        const int64_t fromNs = nowNs();
        int64_t lastNs = fromNs;
        while (static_cast<double>(nowNs() - fromNs) / 1e9 < seconds) {
            if (::write(master_, "\x1bOA", 3) != 3) break;
            lastNs = nowNs();
            if (!drainFor(master_, 30)) break;
        }
        return lastNs;
    }

    // Keeps the terminal drained until `done` holds for the requests that
    // reached the base, at most limitMs; whether it came to hold.
    bool drainUntil(const std::function<bool(const std::vector<RequestTime>&)>& done, int limitMs) {
        const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(limitMs);
        bool open = true;
        while (!done(sim.requestTimes())) {
            if (!open || Clock::now() >= giveUp) return false;
            open = drainFor(master_, 20);
        }
        return true;
    }

    // Types q, waits at most limitMs for the console to end (its terminal
    // closes as it does) and reaps it: its exit status, -1 when it had to
    // be killed.
    int quit(int limitMs) {
        if (pid_ <= 0) return status_;
        if (::write(master_, "q", 1) == 1) {
            const Clock::time_point endBy = Clock::now() + std::chrono::milliseconds(limitMs);
            while (Clock::now() < endBy && drainFor(master_, 50)) {
            }
        }
        status_ = reapChild(pid_, 2000);
        pid_ = -1;
        ::close(master_);
        master_ = -1;
        return status_;
    }

    SimProcess sim;

private:
    int master_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
};

std::string linkName(bool tcp) { return tcp ? "TCP" : "the pty"; }

std::string endedWith(int status) {
    return status < 0 ? "drive did not end when q was typed" : "drive ended with status " + std::to_string(status);
}

struct DriveGaps {
    double smallestMs = 0;
    double p90Ms = 0;
    double largestMs = 0;
    double meanMs = 0;
    size_t requests = 0;
};

constexpr double GAPS_HOLD_S = 13.0;

bool driveGaps(bool tcp, int latencyMs, DriveGaps& out, std::string& error) {
    DriveConsole drive;
    if (!drive.start(tcp, latencyMs, "", false, error)) return false;
    const int64_t holdFromNs = nowNs();
    drive.holdUp(GAPS_HOLD_S);
    const int64_t holdToNs = nowNs();
    const int status = drive.quit(5000);
    if (status != 0) {
        error = endedWith(status);
        return false;
    }
    std::vector<int64_t> at;
    for (const RequestTime& t : drive.sim.requestTimes())
        if (t.code == SETVELOCITY && t.atNs >= holdFromNs && t.atNs <= holdToNs) at.push_back(t.atNs);
    if (at.size() < 10) {
        error = "only " + std::to_string(at.size()) + " velocity requests reached the simulator while the key was held";
        return false;
    }
    std::vector<double> gaps;
    for (size_t i = 1; i < at.size(); ++i) gaps.push_back(static_cast<double>(at[i] - at[i - 1]) / 1e6);
    out.largestMs = maximum(gaps);
    out.smallestMs = minimum(gaps);
    out.p90Ms = percentile(gaps, 0.9);
    out.meanMs = static_cast<double>(at.back() - at.front()) / 1e6 / static_cast<double>(gaps.size());
    out.requests = at.size();
    return true;
}

void measureDrive(benchmark::State& state, int latencyMs, bool tcp) {
    const std::string key = "wire_drive_" + std::to_string(latencyMs) + (tcp ? "_tcp" : "");
    std::string error;
    DriveGaps gaps;
    for (auto _ : state) {
        if (!driveGaps(tcp, latencyMs, gaps, error)) return fail(state, key, error);
        state.SetIterationTime(GAPS_HOLD_S);
    }
    state.counters["largest_gap_ms"] = gaps.largestMs;
    state.counters["mean_gap_ms"] = gaps.meanMs;
    state.counters["p90_gap_ms"] = gaps.p90Ms;
    state.counters["smallest_gap_ms"] = gaps.smallestMs;
    const std::string how = std::to_string(gaps.requests) + " velocity requests at the simulator over " +
                            linkName(tcp) + " while up was held " + fixed(GAPS_HOLD_S, 0) + " s; gaps from " +
                            fixed(gaps.smallestMs, 1) + " ms, 90 % within " + fixed(gaps.p90Ms, 1) + " ms";
    recordFigure(key, gaps.largestMs, 50.0, how);
    recordFigure(key + "_mean", gaps.meanMs, 50.0, how);
}

void BM_WireDriveLatency1(benchmark::State& state) { measureDrive(state, 1, false); }
void BM_WireDriveLatency16(benchmark::State& state) { measureDrive(state, 16, false); }
void BM_WireDriveLatency1Tcp(benchmark::State& state) { measureDrive(state, 1, true); }
void BM_WireDriveLatency16Tcp(benchmark::State& state) { measureDrive(state, 16, true); }

// The requests of `code` whose line the simulator's log did not give.
size_t unlogged(const std::vector<RequestTime>& all, int code) {
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [code](const RequestTime& t) { return t.code == code && t.text.empty(); }));
}

bool moving(const RequestTime& t) { return t.number("vx=") != 0.0 || t.number("omega=") != 0.0; }

// From the last key, when the first zero velocity after the last moving one
// reached the base, and when that moving one did (ms); false while no zero
// followed it.
bool stopAfter(const std::vector<RequestTime>& all, int64_t lastKeyNs, double& zeroMs, double& lastMoveMs) {
    bool moved = false, seen = false;
    for (const RequestTime& t : all) {
        if (t.code != SETVELOCITY) continue;
        const double ms = static_cast<double>(t.atNs - lastKeyNs) / 1e6;
        if (moving(t)) {
            moved = true;
            seen = false;
            lastMoveMs = ms;
        } else if (moved && !seen) {
            seen = true;
            zeroMs = ms;
        }
    }
    return seen;
}

// Velocity requests go unanswered after the 60th (`kind`: "silent", or
// "lose_answer": taken, the answer lost), a few periods before the key is
// let go after 3 s: the release's zero goes out while answers are owed.
// The figure is the time from the last key to the first zero after the
// last moving velocity at the base; the baseline the 0.5 s in which drive
// brings the zero when the base answers (0.4 s of dead man, 0.1 s of
// brake ramp).
void measureStop(benchmark::State& state, const std::string& key, const std::string& kind) {
    constexpr double HOLD_S = 3.0;
    constexpr int AFTER = 60;
    std::string error;
    const std::string scenario = scenarioFile("{\"faults\":[{\"request\":\"setVelocity\",\"kind\":\"" + kind +
                                                  "\",\"after\":" + std::to_string(AFTER) + "}]}\n",
                                              error);
    if (scenario.empty()) return fail(state, key, error);
    double zeroMs = 0, lastMoveMs = 0;
    size_t beforeRelease = 0;
    int status = 0;
    for (auto _ : state) {
        DriveConsole drive;
        bool ok = drive.start(false, 16, scenario, true, error);
        if (ok) {
            const int64_t lastKeyNs = drive.holdUp(HOLD_S);
            ok = drive.drainUntil(
                [&](const std::vector<RequestTime>& all) { return stopAfter(all, lastKeyNs, zeroMs, lastMoveMs); },
                5000);
            status = drive.quit(10000);
            // Once more over everything the base got, up to the console's end.
            const std::vector<RequestTime> all = drive.sim.requestTimes();
            if (!ok) {
                error = "no zero velocity after the last moving one reached the simulator within 5 s of the last key";
            } else if (const size_t missing = unlogged(all, SETVELOCITY)) {
                error = std::to_string(missing) + " velocity requests are missing from the simulator's log";
                ok = false;
            } else {
                stopAfter(all, lastKeyNs, zeroMs, lastMoveMs);
                for (const RequestTime& t : all) beforeRelease += t.code == SETVELOCITY && t.atNs <= lastKeyNs;
            }
        }
        if (!ok) {
            ::unlink(scenario.c_str());
            return fail(state, key, error);
        }
        state.SetIterationTime(HOLD_S);
    }
    ::unlink(scenario.c_str());
    state.counters["stop_ms"] = zeroMs;
    recordFigure(key, zeroMs, 500.0,
                 "up held " + fixed(HOLD_S, 0) + " s over the pty at latency 16 ms, velocity requests after the " +
                     std::to_string(AFTER) + "th unanswered (" + kind + "), " + std::to_string(beforeRelease) +
                     " of them before the last key; the last moving velocity reached the base " +
                     fixed(lastMoveMs, 0) + " ms after the last key; after q " + endedWith(status));
}

void BM_WireDriveStopSilent(benchmark::State& state) { measureStop(state, "wire_drive_stop_silent", "silent"); }
void BM_WireDriveStopLost(benchmark::State& state) { measureStop(state, "wire_drive_stop_lost", "lose_answer"); }

// Bumper pulses of 150 ms every 250 ms on the simulator's timeline while up
// is held 15 s at latency 16 ms, over the pty. A pulse that began and ended
// while the base was driven (between the first and the last moving
// velocity) is caught when a bumper answer during it carried its bit; the
// figure is the pulses missed, the baseline the pulses counted.
void BM_WireDriveBumper(benchmark::State& state) {
    constexpr double HOLD_S = 15.0, FROM_S = 1.0, LENGTH_S = 0.15, EVERY_S = 0.25;
    const std::string key = "wire_drive_bumper";
    std::string error;
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"timeline\":[{\"reading\":\"bumper_bits\",\"value\":1,\"from_s\":%g,\"to_s\":%g,\"every_s\":%g}]}\n",
                  FROM_S, FROM_S + LENGTH_S, EVERY_S);
    const std::string scenario = scenarioFile(text, error);
    if (scenario.empty()) return fail(state, key, error);
    int pulses = 0, missed = 0;
    size_t reads = 0;
    double longestGapS = 0;
    for (auto _ : state) {
        DriveConsole drive;
        bool ok = drive.start(false, 16, scenario, true, error);
        if (ok) {
            drive.holdUp(HOLD_S);
            const int status = drive.quit(5000);
            const std::vector<RequestTime> all = drive.sim.requestTimes();
            const size_t missing = unlogged(all, SETVELOCITY) + unlogged(all, GETBUMPERDATA);
            if (status != 0) {
                error = endedWith(status);
                ok = false;
            } else if (missing > 0) {
                error = std::to_string(missing) + " velocity and bumper requests are missing from the simulator's log";
                ok = false;
            }
            double first = -1, last = -1, previous = -1;
            std::vector<bool> caught;
            for (const RequestTime& t : all) {
                if (t.code == SETVELOCITY && t.number("vx=") > 0) {
                    if (first < 0) first = t.seconds;
                    last = t.seconds;
                }
                if (t.code != GETBUMPERDATA) continue;
                ++reads;
                if (previous >= 0) longestGapS = std::max(longestGapS, t.seconds - previous);
                previous = t.seconds;
                if (t.seconds < FROM_S || t.text.find("bumper bits 0x00000001") == std::string::npos) continue;
                const size_t pulse = static_cast<size_t>((t.seconds - FROM_S) / EVERY_S);
                if (caught.size() <= pulse) caught.resize(pulse + 1, false);
                caught[pulse] = true;
            }
            for (size_t k = 0; FROM_S + static_cast<double>(k) * EVERY_S + LENGTH_S <= last; ++k) {
                if (FROM_S + static_cast<double>(k) * EVERY_S < first) continue;
                ++pulses;
                if (k >= caught.size() || !caught[k]) ++missed;
            }
        }
        if (!ok) {
            ::unlink(scenario.c_str());
            return fail(state, key, error);
        }
        state.SetIterationTime(HOLD_S);
    }
    ::unlink(scenario.c_str());
    state.counters["pulses"] = pulses;
    state.counters["missed"] = missed;
    recordFigure(key, missed, pulses,
                 std::to_string(missed) + " of " + std::to_string(pulses) +
                     " bumper pulses of 150 ms missed while up was held 15 s over the pty at latency 16 ms (at "
                     "least 50 pulses needed); " + std::to_string(reads) + " bumper reads, at most " +
                     fixed(longestGapS * 1000.0, 0) + " ms apart");
}

// ---------------------------------------------------------------------------
// config on the line

void BM_WireConfig(benchmark::State& state) {
    constexpr int ROUNDS = 5;
    // The link's pauses after its two synchronisation frames.
    const double SYNC_MS = std::chrono::duration<double, std::milli>(zorn::net::Link::SYNC_PAUSE_FIRST +
                                                                      zorn::net::Link::SYNC_PAUSE_SECOND)
                               .count();
    std::string error;
    SimProcess sim;
    std::vector<std::string> options = LINE;
    options.push_back("--request-times");
    if (!sim.start(simulator(), LIMIT_MS, error, false, options, true)) return fail(state, "wire_config", error);
    std::vector<double> beyond;
    size_t bytes = 0;
    for (auto _ : state) {
        for (int round = 0; round < ROUNDS; ++round) {
            const size_t from = sim.requestTimes().size();
            ChildRun run = runChild(consoleProgram(), consoleArgs(sim, {"config"}), LIMIT_MS);
            if (!run.ok || run.status != 0)
                return fail(state, "wire_config", run.error.empty() ? "config exited " + std::to_string(run.status)
                                                                    : run.error);
            // Status requests of our own after it: once one of their lines
            // is in, every line of the run is.
            auto rawLineIn = [&](const std::vector<RequestTime>& all) {
                return all.size() > from && all.back().code == 0x30 && all.back().link != all[from].link;
            };
            if (rawStatusRate(sim.port(), 0.0, error) < 0 || !sim.waitForTimes(rawLineIn, LIMIT_MS))
                return fail(state, "wire_config", "the simulator did not log the run's requests: " + error);
            const std::vector<RequestTime> requests = since(sim, from);
            bytes = 0;
            for (const RequestTime& t : requests)
                if (t.link == requests.front().link) bytes += t.bytes + t.answerBytes;
            beyond.push_back(run.wallMs - SYNC_MS);
        }
        state.SetIterationTime(1.0);
    }
    state.counters["median_beyond_sync_ms"] = median(beyond);
    recordFigure("wire_config", median(beyond), wireMs(bytes),
                 "median of " + std::to_string(beyond.size()) + " runs from start to exit less the 700 ms "
                 "synchronisation pause; " + std::to_string(bytes) + " bytes of request and answer frames");
}

// ---------------------------------------------------------------------------
// The checksum's blind spot

// Counts what the console's own framer makes of the answers.
class AnswerSorter : private zorn::net::FramerSink {
public:
    void feed(const uint8_t* data, size_t size) { framer_.push(data, size, zorn::net::Arrival{}, *this); }
    // A new connection: a frame left half-way is dropped.
    void reset() { framer_.reset(); }
    uint64_t frames() const { return clean + passed + otherRequest + rejected; }

    uint64_t clean = 0;         // the status answer as sent
    uint64_t passed = 0;        // passed the checksum, yet not what was sent
    uint64_t otherRequest = 0;  // a sound answer to a request damaged on the way in
    uint64_t rejected = 0;      // failed the checksum

private:
    void onFramerEvent(const zorn::net::FramerEvent& event) override {
        switch (event.kind) {
            case zorn::net::FramerEvent::Kind::Skipped: return;
            case zorn::net::FramerEvent::Kind::Rejected: ++rejected; return;
            case zorn::net::FramerEvent::Kind::Frame: break;
        }
        const uint8_t* p = event.payload;
        const size_t size = event.payloadSize;
        if (event.hasCommand && event.cmd == STATUS_ANSWER_FRAME[2] && size == 2 && p[0] == STATUS_ANSWER_FRAME[3] &&
            p[1] == STATUS_ANSWER_FRAME[4]) {
            ++clean;
        } else if (event.hasCommand &&
                   ((event.cmd == 0x02 && size != 2) ||
                    (event.cmd == 0x03 && size == 2 && ((p[0] == 0x01 && p[1] == 0) || (p[0] == 0 && p[1] == 0x80))))) {
            // The answer of another request, or the refusal of a request
            // the base could not take: the request was damaged into it.
            ++otherRequest;
        } else {
            ++passed;
        }
    }

    zorn::net::Framer framer_;
};

// Share of damaged 6-byte frames whose every bit column holds an even number
// of flips, which the XOR checksum cannot see (framing effects left aside).
double parityBlindShare(double p) {
    const double columnEven = (1.0 + std::pow(1.0 - 2.0 * p, 6)) / 2.0;
    const double clean = std::pow(1.0 - p, 48);
    return (std::pow(columnEven, 8) - clean) / (1.0 - clean);
}

void measureBlindSpot(benchmark::State& state, const std::string& key, const char* rate, uint64_t exchanges) {
    constexpr size_t BATCH = 64;
    std::string error;
    SimProcess sim;
    if (!sim.start(simulator(), LIMIT_MS, error, false, {"--bit-errors", rate, "--seed", "7", "--state-every", "0.05"},
                   true))
        return fail(state, key, error);
    AnswerSorter sorter;
    uint64_t sent = 0;
    std::vector<uint8_t> batch;
    for (size_t i = 0; i < BATCH; ++i) batch.insert(batch.end(), STATUS_REQUEST_FRAME, STATUS_REQUEST_FRAME + 5);
    uint8_t buf[65536];
    for (auto _ : state) {
        // A connection per batch: a damaged length on either side makes its
        // receiver take what follows into one long frame, which on a single
        // connection would swallow most of the run.
        while (sent < exchanges) {
            const int fd = connectLoopback(sim.port(), error);
            if (fd < 0) return fail(state, key, error);
            sorter.reset();
            if (!writeAll(fd, batch.data(), batch.size())) {
                ::close(fd);
                return fail(state, key, "the simulator closed the connection");
            }
            sent += BATCH;
            // The answers come back at once; 2 ms without a byte means the
            // rest were lost (a damaged request goes unanswered) or
            // swallowed.
            const uint64_t expected = sorter.frames() + BATCH;
            pollfd p{fd, POLLIN, 0};
            while (sorter.frames() < expected && ::poll(&p, 1, 2) > 0) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) break;
                sorter.feed(buf, static_cast<size_t>(n));
            }
            ::close(fd);
        }
        state.SetIterationTime(1.0);
    }
    // Two state lines after the connection closed carry every count.
    const std::string marker = "answers sent";
    if (!sim.waitForLinesWith(marker, sim.countLinesWith(marker) + 2, 5000)) return fail(state, key, "the simulator logged no line counts");
    const std::string line = sim.lastLineWith(marker);
    const size_t at = line.find("line errors: ");
    unsigned long long bits = 0, hit = 0;
    if (at == std::string::npos ||
        std::sscanf(line.c_str() + at, "line errors: %llu bits in %llu answers sent", &bits, &hit) != 2 || hit == 0)
        return fail(state, key, "cannot read the simulator's counts in: " + line);
    const double perThousand = 1000.0 * static_cast<double>(sorter.passed) / static_cast<double>(hit);
    const double estimate = 1000.0 * parityBlindShare(std::atof(rate));
    state.counters["corrupted_sent"] = static_cast<double>(hit);
    state.counters["passed_checksum"] = static_cast<double>(sorter.passed);
    state.counters["rejected"] = static_cast<double>(sorter.rejected);
    const long long lost = static_cast<long long>(hit) - static_cast<long long>(sorter.rejected + sorter.passed);
    recordFigure(key, perThousand, estimate,
                 std::to_string(sent) + " status requests; the simulator damaged " + std::to_string(hit) +
                     " answers; the console's framer rejected " + std::to_string(sorter.rejected) + " frames and passed " +
                     std::to_string(sorter.passed) + " damaged ones (" + std::to_string(sorter.clean) +
                     " clean status answers, " + std::to_string(sorter.otherRequest) +
                     " sound answers to requests damaged on the way in); " + std::to_string(lost) +
                     " damaged answers formed no frame of their own (flags or length hit)");
}

void BM_ChecksumBlindSpot1e4(benchmark::State& state) { measureBlindSpot(state, "checksum_1e-4", "1e-4", 400000); }
void BM_ChecksumBlindSpot1e3(benchmark::State& state) { measureBlindSpot(state, "checksum_1e-3", "1e-3", 400000); }

BENCHMARK(BM_WireMonitorStatus)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireStopRun)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireStopDuringTransfer)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveLatency1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveLatency16)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveLatency1Tcp)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveLatency16Tcp)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveStopSilent)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveStopLost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireDriveBumper)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_WireConfig)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ChecksumBlindSpot1e4)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ChecksumBlindSpot1e3)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace bench
