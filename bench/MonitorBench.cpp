// `monitor status` against the simulator, in requests per second, beside the
// plain Python loop a user would write (bench/status_loop.py: send the
// status request, read the answer, again), on the same simulator build and
// transport. Each round is a fixed number of readings, not a fixed time, on
// a fresh simulator; the console's rounds and the loop's alternate, and the
// medians are compared.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Rounds.h"

namespace bench {
namespace {

constexpr int READINGS = 20000;
constexpr int ROUNDS = 7;
constexpr int LIMIT_MS = 30000;

std::string simulator() { return binDir() + "/orbitane_base_sim"; }
std::string pythonLoop() { return std::string(ORBITANE_BENCH_SOURCE_DIR) + "/status_loop.py"; }

// The console's readings per second over READINGS readings, counted on its
// standard output from the first block it wrote to the last.
double consoleRate(bool pty, std::string& error) {
    SimProcess sim;
    if (!sim.start(simulator(), LIMIT_MS, error, pty)) return -1;
    std::vector<std::string> args = {"base"};
    if (pty) {
        args.insert(args.end(), {"-c", "serial", "-p", sim.path()});
    } else {
        args.insert(args.end(), {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port())});
    }
    args.insert(args.end(), {"--count", std::to_string(READINGS), "monitor", "status"});
    uint64_t lines = 0;
    return lineRateOfRun(binDir() + "/orbitane_console", args, "Battery:", LIMIT_MS, lines, error);
}

// The Python loop's exchanges per second over READINGS exchanges after its
// warm-up, as it measured them itself.
double pythonRate(bool pty, std::string& error) {
    SimProcess sim;
    if (!sim.start(simulator(), LIMIT_MS, error, pty)) return -1;
    const std::vector<std::string> args = {pythonLoop(), pty ? "--pty" : "--tcp",
                                           pty ? sim.path() : "127.0.0.1:" + std::to_string(sim.port()), "--timed",
                                           std::to_string(READINGS)};
    const std::string line = firstLineOf("/usr/bin/python3", args, LIMIT_MS, error);
    const double rate = std::atof(line.c_str());
    if (rate <= 0) {
        if (error.empty()) error = "the Python loop printed \"" + line + "\"";
        return -1;
    }
    return rate;
}

void measure(benchmark::State& state, bool pty, const std::string& key) {
    std::vector<std::vector<double>> rounds;
    std::string error;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        const bool ok = takeInTurns(ROUNDS,
                                    {[pty](std::string& e) { return consoleRate(pty, e); },
                                     [pty](std::string& e) { return pythonRate(pty, e); }},
                                    rounds, error);
        if (!ok) {
            recordFigureError(key, error);
            state.SkipWithError(error.c_str());
            return;
        }
        state.SetIterationTime(secondsBetween(t0, Clock::now()));
    }
    const std::vector<double>& console = rounds[0];
    const std::vector<double>& python = rounds[1];
    state.counters["console_per_s"] = median(console);
    state.counters["python_per_s"] = median(python);
    recordRounds(key, console, python,
                 std::to_string(ROUNDS) + " rounds of " + std::to_string(READINGS) +
                     " readings each, console and Python loop in turns, each on a fresh simulator");
}

void BM_MonitorStatusTcp(benchmark::State& state) { measure(state, false, "monitor_tcp"); }
void BM_MonitorStatusPty(benchmark::State& state) { measure(state, true, "monitor_pty"); }

BENCHMARK(BM_MonitorStatusTcp)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_MonitorStatusPty)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace bench
