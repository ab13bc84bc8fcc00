// Runs the benchmarks (their own report goes to standard error) and prints
// the performance table on standard output: each figure, the baseline
// measured beside it, their ratio and the target. A figure taken in rounds
// (the two sides in turns) shows the median of each side, the median of the
// ratio within a round, and the lowest and highest of that ratio (spread).
// Exits 1 when a figure misses its target or could not be measured.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

namespace bench {
namespace {

struct Row {
    const char* key;
    const char* title;
    const char* unit;
    int decimals;
    const char* baselineName;
    const char* target;
    // Null for a figure shown for information only.
    std::function<bool(double value, double baseline, double ratio)> meets;
};

std::vector<Row> rows() {
    return {
        {"decode", "frame decode", "MB/s", 1, "XOR pass", ">= 300 MB/s, ratio >= 0.25",
         [](double v, double, double r) { return v >= 300.0 && r >= 0.25; }},
        {"rt_tcp", "request round trip, TCP, one CPU (median)", "us", 1, "raw ping-pong", "ratio <= 1.4",
         [](double, double, double r) { return r <= 1.4; }},
        {"rt_tcp_any", "request round trip, TCP, any CPU (median)", "us", 1, "raw ping-pong", "-", nullptr},
        {"rt_pty", "request round trip, pty, one CPU (median)", "us", 1, "raw ping-pong", "ratio <= 1.4",
         [](double, double, double r) { return r <= 1.4; }},
        {"monitor_tcp", "monitor status, TCP (median)", "req/s", 0, "Python loop", "ratio >= 1.0",
         [](double, double, double r) { return r >= 1.0; }},
        {"monitor_pty", "monitor status, pty (median)", "req/s", 0, "Python loop", "ratio >= 1.0",
         [](double, double, double r) { return r >= 1.0; }},
        {"cost_tcp", "CPU per reading, TCP (median)", "us", 2, "plain C client", "ratio <= 1.1",
         [](double, double, double r) { return r <= 1.1; }},
        {"cost_pty", "CPU per reading, pty (median)", "us", 2, "plain C client", "ratio <= 1.1",
         [](double, double, double r) { return r <= 1.1; }},
        {"cost_tcp_python", "CPU per reading, TCP (median)", "us", 2, "Python loop", "-", nullptr},
        {"cost_pty_python", "CPU per reading, pty (median)", "us", 2, "Python loop", "-", nullptr},
        {"python_cost_tcp", "Python package CPU per reading, TCP (median)", "us", 2, "console", "ratio <= 1.3",
         [](double, double, double r) { return r <= 1.3; }},
        {"python_cost_pty", "Python package CPU per reading, pty (median)", "us", 2, "console", "ratio <= 1.3",
         [](double, double, double r) { return r <= 1.3; }},
        {"python_monitor_tcp", "Python package monitor, TCP (median)", "req/s", 0, "Python loop", "ratio >= 1.0",
         [](double, double, double r) { return r >= 1.0; }},
        {"python_monitor_pty", "Python package monitor, pty (median)", "req/s", 0, "Python loop", "ratio >= 1.0",
         [](double, double, double r) { return r >= 1.0; }},
        {"stop_tcp", "request cut by a stop, TCP (slowest)", "ms", 3, "poll woken", "< 10 ms",
         [](double v, double, double) { return v < 10.0; }},
        {"stop_serial", "request cut by a stop, pty (slowest)", "ms", 3, "poll woken", "< 10 ms",
         [](double v, double, double) { return v < 10.0; }},
        {"config", "config pipeline, 2 KB (median)", "ms", 3, "JSON text parse", "< 1 ms",
         [](double v, double, double) { return v < 1.0; }},
        {"invocation", "status invocation beyond 700 ms", "ms", 1, "--version run", "< 50 ms",
         [](double v, double, double) { return v < 50.0; }},
        {"rss", "status peak RSS", "MB", 2, "--version run", "< 8 MB", [](double v, double, double) { return v < 8.0; }},
        {"wire_raw", "raw status ping-pong, 115200 baud", "ex/s", 0, "line limit", "-", nullptr},
        {"wire_monitor", "monitor status, 115200 baud", "req/s", 0, "raw ping-pong", "ratio >= 0.97",
         [](double, double, double r) { return r >= 0.97; }},
        {"wire_stop_run", "stop latency, run, 115200 baud (slowest)", "ms", 2, "stop frame wire time",
         "<= wire time + 15 ms", [](double v, double b, double) { return v <= b + 15.0; }},
        {"wire_stop_transfer", "stop latency, run, 2 KB answer arriving (slowest)", "ms", 2, "stop frame wire time",
         "<= wire time + 15 ms", [](double v, double b, double) { return v <= b + 15.0; }},
        {"wire_drive_1", "drive velocity gap, pty, latency 1 ms (largest)", "ms", 1, "period", "<= 50 ms",
         [](double v, double, double) { return v <= 50.0; }},
        {"wire_drive_1_mean", "drive velocity gap, pty, latency 1 ms (mean)", "ms", 1, "period", "-", nullptr},
        {"wire_drive_16", "drive velocity gap, pty, latency 16 ms (largest)", "ms", 1, "period", "<= 50 ms",
         [](double v, double, double) { return v <= 50.0; }},
        {"wire_drive_16_mean", "drive velocity gap, pty, latency 16 ms (mean)", "ms", 1, "period", "-", nullptr},
        {"wire_drive_1_tcp", "drive velocity gap, TCP, latency 1 ms (largest)", "ms", 1, "period", "<= 50 ms",
         [](double v, double, double) { return v <= 50.0; }},
        {"wire_drive_1_tcp_mean", "drive velocity gap, TCP, latency 1 ms (mean)", "ms", 1, "period", "-", nullptr},
        {"wire_drive_16_tcp", "drive velocity gap, TCP, latency 16 ms (largest)", "ms", 1, "period", "<= 50 ms",
         [](double v, double, double) { return v <= 50.0; }},
        {"wire_drive_16_tcp_mean", "drive velocity gap, TCP, latency 16 ms (mean)", "ms", 1, "period", "-",
         nullptr},
        {"wire_drive_stop_silent", "drive zero after last key, velocity unanswered", "ms", 0, "dead man + ramp",
         "<= 600 ms", [](double v, double, double) { return v <= 600.0; }},
        {"wire_drive_stop_lost", "drive zero after last key, velocity answer lost", "ms", 0, "dead man + ramp",
         "<= 600 ms", [](double v, double, double) { return v <= 600.0; }},
        // The baseline is the pulses counted: fewer than 50 tell too little.
        {"wire_drive_bumper", "drive bumper pulses of 150 ms missed", "pulses", 0, "driven through", "0 missed",
         [](double v, double b, double) { return v == 0.0 && b >= 50.0; }},
        {"wire_config", "config beyond 700 ms, 115200 baud (median)", "ms", 1, "frames' wire time",
         "< wire time + 50 ms", [](double v, double b, double) { return v < b + 50.0; }},
        {"checksum_1e-4", "damaged answers passing the checksum, 1e-4", "per 1000", 2, "parity estimate", "-",
         nullptr},
        {"checksum_1e-3", "damaged answers passing the checksum, 1e-3", "per 1000", 2, "parity estimate", "-",
         nullptr},
    };
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string pad(const std::string& s, size_t width) {
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::string model = "unknown CPU";
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    return std::to_string(std::thread::hardware_concurrency()) + " cores, " + model;
}

int printTable() {
    constexpr int COLUMNS = 7;
    struct Line {
        std::string cells[COLUMNS];
    };
    std::vector<Line> lines;
    lines.push_back({{"figure", "value", "baseline", "ratio", "spread", "target", "result"}});
    std::vector<std::string> notes;
    int measured = 0;
    bool allMet = true;
    for (const Row& row : rows()) {
        Figure f = figure(row.key);
        if (!f.measured && f.error.empty()) continue;  // not selected by the filter
        Line l;
        l.cells[0] = row.title;
        l.cells[5] = row.target;
        l.cells[4] = "-";
        if (!f.measured) {
            l.cells[1] = "error";
            l.cells[2] = "-";
            l.cells[3] = "-";
            l.cells[6] = "FAIL";
            notes.push_back(std::string(row.title) + ": " + f.error);
            allMet = false;
        } else {
            ++measured;
            // A figure taken in rounds is judged by the median of its
            // rounds' ratios: a round's two sides ran moments apart under
            // the same load, while the two medians may come from rounds
            // that a change of load hit differently.
            const double ratioOfMedians = f.baseline > 0.0 ? f.value / f.baseline : 0.0;
            const double ratio = f.rounds > 0 ? f.ratioMedian : ratioOfMedians;
            l.cells[1] = fixed(f.value, row.decimals) + " " + row.unit;
            l.cells[2] = fixed(f.baseline, row.decimals) + " " + row.unit + " " + row.baselineName;
            l.cells[3] = fixed(ratio, 2);
            if (f.rounds > 0) l.cells[4] = fixed(f.ratioLow, 2) + "-" + fixed(f.ratioHigh, 2);
            if (!row.meets) {
                l.cells[6] = "info";
            } else if (row.meets(f.value, f.baseline, ratio)) {
                l.cells[6] = "pass";
            } else {
                l.cells[6] = "FAIL";
                allMet = false;
            }
            std::string note = f.note;
            if (f.rounds > 0) {
                note += std::string(note.empty() ? "" : "; ") + "medians of " + std::to_string(f.rounds) +
                        " rounds each; over the rounds the value ran " + fixed(f.valueLow, row.decimals) + "-" +
                        fixed(f.valueHigh, row.decimals) + " " + row.unit + ", the baseline " +
                        fixed(f.baselineLow, row.decimals) + "-" + fixed(f.baselineHigh, row.decimals) + " " +
                        row.unit + ", the ratio within a round " + fixed(f.ratioLow, 2) + "-" + fixed(f.ratioHigh, 2) +
                        " (median " + fixed(f.ratioMedian, 2) + "); the ratio of the two medians is " +
                        fixed(ratioOfMedians, 2);
            }
            if (!note.empty()) notes.push_back(std::string(row.title) + ": " + note);
        }
        lines.push_back(l);
    }
    size_t width[COLUMNS] = {0};
    for (const Line& l : lines)
        for (int i = 0; i < COLUMNS; ++i) width[i] = std::max(width[i], l.cells[i].size() + 2);

    std::cout << "Performance on " << machine() << "\n";
    for (const Line& l : lines) {
        std::string text;
        for (int i = 0; i < COLUMNS - 1; ++i) text += pad(l.cells[i], width[i]);
        text += l.cells[COLUMNS - 1];
        std::cout << text << "\n";
    }
    std::cout.flush();
    for (const std::string& n : notes) std::cerr << "  " << n << "\n";
    if (measured == 0 && notes.empty()) {
        std::cerr << "no benchmark was run\n";
        return 1;
    }
    return allMet ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::ConsoleReporter display;
    display.SetOutputStream(&std::cerr);
    display.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&display);
    benchmark::Shutdown();
    return bench::printTable();
}
