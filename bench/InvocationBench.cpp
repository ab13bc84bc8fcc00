// One whole console invocation: `orbitane_console base -c tcp --host
// 127.0.0.1 -p PORT status` against the simulator, from spawn to reaped, and
// its peak resident set; against the same command line with --version, which
// ends before it connects.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "net/Link.h"

namespace bench {
namespace {

// The two synchronisation frames the link sends when it opens are followed
// by pauses of 200 ms and 500 ms.
const double REQUIRED_SLEEP_MS =
    std::chrono::duration<double, std::milli>(zorn::net::Link::SYNC_PAUSE_FIRST + zorn::net::Link::SYNC_PAUSE_SECOND)
        .count();
constexpr int CHILD_LIMIT_MS = 10000;

void fail(benchmark::State& state, const std::string& error) {
    recordFigureError("invocation", error);
    recordFigureError("rss", error);
    state.SkipWithError(error.c_str());
}

void BM_ConsoleInvocation(benchmark::State& state) {
    const std::string console = binDir() + "/orbitane_console";
    const std::string simulator = binDir() + "/orbitane_base_sim";
    SimProcess sim;
    std::string error;
    if (!sim.start(simulator, CHILD_LIMIT_MS, error)) return fail(state, error);

    const std::vector<std::string> status = {
        "base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port()), "status"};
    // The same command line with the version option: parsed and validated
    // the same way, but it prints the version and ends without connecting.
    std::vector<std::string> version = status;
    version.back() = "--version";

    // One run first: loads the executables into the page cache.
    ChildRun warm = runChild(console, status, CHILD_LIMIT_MS);
    if (!warm.ok || warm.status != 0)
        return fail(state, warm.error.empty() ? "status exited with " + std::to_string(warm.status) : warm.error);

    std::vector<double> overheadMs;
    std::vector<double> versionMs;
    double rssKb = 0.0;
    double versionRssKb = 0.0;
    for (auto _ : state) {
        ChildRun run = runChild(console, status, CHILD_LIMIT_MS);
        if (!run.ok || run.status != 0)
            return fail(state, run.error.empty() ? "status exited with " + std::to_string(run.status) : run.error);
        ChildRun base = runChild(console, version, CHILD_LIMIT_MS);
        if (!base.ok || base.status != 0)
            return fail(state,
                        base.error.empty() ? "--version exited with " + std::to_string(base.status) : base.error);
        state.SetIterationTime(run.wallMs / 1000.0);
        overheadMs.push_back(run.wallMs - REQUIRED_SLEEP_MS);
        versionMs.push_back(base.wallMs);
        if (run.maxRssKb > rssKb) rssKb = static_cast<double>(run.maxRssKb);
        if (base.maxRssKb > versionRssKb) versionRssKb = static_cast<double>(base.maxRssKb);
    }
    const double overhead = median(overheadMs);
    state.counters["overhead_ms"] = overhead;
    state.counters["version_ms"] = median(versionMs);
    state.counters["max_rss_MB"] = rssKb / 1024.0;
    recordFigure("invocation", overhead, median(versionMs),
                 "median of " + std::to_string(overheadMs.size()) + " runs, wall time minus 700 ms");
    recordFigure("rss", rssKb / 1024.0, versionRssKb / 1024.0,
                 "largest ru_maxrss of " + std::to_string(overheadMs.size()) + " runs");
}

BENCHMARK(BM_ConsoleInvocation)->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
