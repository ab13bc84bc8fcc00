// The Python package against what a script has without it. CPU per
// reading: base.status() in a loop (bench/python_reading.py --count)
// beside the console's `monitor status`, the user + system CPU time of the
// process over READINGS readings minus that over one, as CostBench.cpp
// takes it. Monitor rate: base.monitor("status") (python_reading.py
// --timed) beside the plain Python loop of bench/status_loop.py, each
// timing its own readings after a warm-up, as MonitorBench.cpp takes it.
// Both in rounds, the sides in turns, each run on a fresh simulator.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Rounds.h"

namespace bench {
namespace {

constexpr int READINGS = 20001;
constexpr int COST_ROUNDS = 9;
constexpr int RATE_READINGS = 20000;
constexpr int RATE_ROUNDS = 7;
constexpr int LIMIT_MS = 60000;

const char* const PYTHON = "/usr/bin/python3";

std::string simulator() { return binDir() + "/orbitane_base_sim"; }
std::string script(const char* name) { return std::string(ORBITANE_BENCH_SOURCE_DIR) + "/" + name; }

std::string uriOf(const SimProcess& sim, bool pty) {
    return pty ? "serial://" + sim.path() : "tcp://127.0.0.1:" + std::to_string(sim.port());
}

// The CPU of one run of `count` readings, through the package or the
// console; negative with `error` set.
double costOfRun(bool pty, bool python, int count, std::string& error) {
    SimProcess sim;
    if (!sim.start(simulator(), LIMIT_MS, error, pty)) return -1;
    ChildRun run;
    if (python) {
        run = runChild(PYTHON,
                       {script("python_reading.py"), "--package", binDir() + "/python", "--uri", uriOf(sim, pty),
                        "--count", std::to_string(count)},
                       LIMIT_MS);
    } else {
        std::vector<std::string> args = {"base"};
        if (pty) {
            args.insert(args.end(), {"-c", "serial", "-p", sim.path()});
        } else {
            args.insert(args.end(), {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port())});
        }
        args.insert(args.end(), {"--count", std::to_string(count), "monitor", "status"});
        run = runChild(binDir() + "/orbitane_console", args, LIMIT_MS);
    }
    if (!run.ok || run.status != 0) {
        error = run.error.empty() ? std::string(python ? "the package's readings" : "the console") + " exited with " +
                                        std::to_string(run.status)
                                  : run.error;
        return -1;
    }
    return run.cpuUs;
}

void measureCost(benchmark::State& state, bool pty, const std::string& key) {
    std::vector<Side> sides;
    for (int count : {READINGS, 1}) {
        for (bool python : {true, false}) {
            sides.push_back([pty, python, count](std::string& e) { return costOfRun(pty, python, count, e); });
        }
    }
    std::vector<std::vector<double>> runs;
    std::string error;
    for (auto _ : state) {
        if (!takeInTurns(COST_ROUNDS, sides, runs, error)) {
            recordFigureError(key, error);
            state.SkipWithError(error.c_str());
            return;
        }
    }
    // Per client and round: what the readings beyond the first cost, each.
    auto perReading = [](const std::vector<double>& many, const std::vector<double>& one) {
        return perUnitBeyondFirst(many, one, READINGS);
    };
    const std::vector<double> python = perReading(runs[0], runs[2]);
    const std::vector<double> console = perReading(runs[1], runs[3]);
    state.counters["python_us"] = median(python);
    state.counters["console_us"] = median(console);
    recordRounds(key, python, console,
                 std::to_string(COST_ROUNDS) + " rounds; user+sys CPU of " + std::to_string(READINGS) +
                     " readings minus a 1-reading run, each on a fresh simulator, the package's base.status() loop "
                     "and the console's monitor status in turns");
}

// Readings a second as the script printed them; negative with `error`.
double rateOfRun(bool pty, bool package, std::string& error) {
    SimProcess sim;
    if (!sim.start(simulator(), LIMIT_MS, error, pty)) return -1;
    std::vector<std::string> args;
    if (package) {
        args = {script("python_reading.py"), "--package", binDir() + "/python", "--uri", uriOf(sim, pty), "--timed",
                std::to_string(RATE_READINGS)};
    } else {
        args = {script("status_loop.py"), pty ? "--pty" : "--tcp",
                pty ? sim.path() : "127.0.0.1:" + std::to_string(sim.port()), "--timed", std::to_string(RATE_READINGS)};
    }
    const std::string line = firstLineOf(PYTHON, args, LIMIT_MS, error);
    const double rate = std::atof(line.c_str());
    if (rate <= 0) {
        if (error.empty()) error = std::string(package ? "the package's monitor" : "the Python loop") + " printed \"" +
                                   line + "\"";
        return -1;
    }
    return rate;
}

void measureRate(benchmark::State& state, bool pty, const std::string& key) {
    std::vector<std::vector<double>> rounds;
    std::string error;
    for (auto _ : state) {
        const bool ok = takeInTurns(RATE_ROUNDS,
                                    {[pty](std::string& e) { return rateOfRun(pty, true, e); },
                                     [pty](std::string& e) { return rateOfRun(pty, false, e); }},
                                    rounds, error);
        if (!ok) {
            recordFigureError(key, error);
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.counters["package_per_s"] = median(rounds[0]);
    state.counters["python_loop_per_s"] = median(rounds[1]);
    recordRounds(key, rounds[0], rounds[1],
                 std::to_string(RATE_ROUNDS) + " rounds of " + std::to_string(RATE_READINGS) +
                     " readings after 100 of warm-up, each on a fresh simulator, base.monitor(\"status\") and "
                     "status_loop.py in turns, each timing its own readings");
}

void BM_PythonCostTcp(benchmark::State& state) { measureCost(state, false, "python_cost_tcp"); }
void BM_PythonCostPty(benchmark::State& state) { measureCost(state, true, "python_cost_pty"); }
void BM_PythonMonitorTcp(benchmark::State& state) { measureRate(state, false, "python_monitor_tcp"); }
void BM_PythonMonitorPty(benchmark::State& state) { measureRate(state, true, "python_monitor_pty"); }

BENCHMARK(BM_PythonCostTcp)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PythonCostPty)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PythonMonitorTcp)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PythonMonitorPty)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace bench
