// `monitor status` against the simulator, in requests per second, beside the
// plain Python loop a user would write (bench/status_loop.py: send the
// status request, read the answer, again), on the same simulator build and
// transport, taken in turns in the same run.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

namespace bench {
namespace {

constexpr double WINDOW_S = 2.0;
constexpr int ROUNDS = 3;
constexpr int LIMIT_MS = 15000;

std::string pythonLoop() { return std::string(ORBITANE_BENCH_SOURCE_DIR) + "/status_loop.py"; }

// One reading of each, on a fresh simulator each; false with `error` set.
bool measureOnce(bool pty, double& consoleRate, double& pythonRate, std::string& error) {
    const std::string simulator = binDir() + "/orbitane_base_sim";
    {
        SimProcess sim;
        if (!sim.start(simulator, LIMIT_MS, error, pty)) return false;
        std::vector<std::string> args = {"base"};
        if (pty) {
            args.insert(args.end(), {"-c", "serial", "-p", sim.path()});
        } else {
            args.insert(args.end(), {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port())});
        }
        args.insert(args.end(), {"monitor", "status"});
        consoleRate = linesPerSecond(binDir() + "/orbitane_console", args, "Battery:", WINDOW_S, error);
        if (consoleRate <= 0) return false;
    }
    SimProcess sim;
    if (!sim.start(simulator, LIMIT_MS, error, pty)) return false;
    const std::vector<std::string> args = {
        pythonLoop(), pty ? "--pty" : "--tcp", pty ? sim.path() : "127.0.0.1:" + std::to_string(sim.port()),
        "--seconds", std::to_string(WINDOW_S)};
    const std::string line = firstLineOf("/usr/bin/python3", args, LIMIT_MS, error);
    pythonRate = std::atof(line.c_str());
    if (pythonRate <= 0) {
        if (error.empty()) error = "the Python loop printed \"" + line + "\"";
        return false;
    }
    return true;
}

void measure(benchmark::State& state, bool pty, const std::string& key) {
    std::vector<double> console, python;
    std::string error;
    for (auto _ : state) {
        for (int round = 0; round < ROUNDS; ++round) {
            double c = 0, p = 0;
            if (!measureOnce(pty, c, p, error)) {
                recordFigureError(key, error);
                state.SkipWithError(error.c_str());
                return;
            }
            console.push_back(c);
            python.push_back(p);
        }
        state.SetIterationTime(WINDOW_S * 2 * ROUNDS);
    }
    const double c = median(console), p = median(python);
    state.counters["console_per_s"] = c;
    state.counters["python_per_s"] = p;
    recordFigure(key, c, p,
                 "median of " + std::to_string(console.size()) + " windows of " + std::to_string(WINDOW_S) +
                     " s, each on a fresh simulator, taken in turns with the Python loop");
}

void BM_MonitorStatusTcp(benchmark::State& state) { measure(state, false, "monitor_tcp"); }
void BM_MonitorStatusPty(benchmark::State& state) { measure(state, true, "monitor_pty"); }

BENCHMARK(BM_MonitorStatusTcp)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_MonitorStatusPty)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace bench
