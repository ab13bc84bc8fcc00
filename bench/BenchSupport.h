#pragma once

// Shared pieces of the benchmarks: the board that collects every figure for
// the final table, small statistics, blocking descriptor helpers, the status
// frames, child processes and the simulator. The in-process base is in
// AnsweringPeer.h, rounds taken in turns in Rounds.h.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------------------
// Figures

// One measured figure and the baseline measured beside it in this process.
struct Figure {
    bool measured = false;
    double value = 0.0;
    double baseline = 0.0;
    // Figures taken in rounds, the value's and the baseline's in turns: how
    // many pairs, the lowest and highest of each side, and the lowest,
    // median and highest of the ratio within a pair (rounds is 0 for a
    // figure taken otherwise).
    size_t rounds = 0;
    double valueLow = 0.0, valueHigh = 0.0;
    double baselineLow = 0.0, baselineHigh = 0.0;
    double ratioLow = 0.0, ratioMedian = 0.0, ratioHigh = 0.0;
    std::string note;   // how the value was taken (shown in the log)
    std::string error;  // non-empty when the benchmark could not measure
};

// Stores (or replaces) the figure under `key`.
void recordFigure(const std::string& key, double value, double baseline, const std::string& note = "");
// Stores the figure from rounds taken in turns (values[i] right before or
// after baselines[i]): the median of each side, the spread of each side,
// and the median and spread of the ratio within a round, which is the ratio
// the table shows and judges.
void recordRounds(const std::string& key, const std::vector<double>& values, const std::vector<double>& baselines,
                  const std::string& note = "");
// Marks the figure under `key` as failed to measure.
void recordFigureError(const std::string& key, const std::string& error);
// The figure under `key`; measured is false when nothing was recorded.
Figure figure(const std::string& key);

// ---------------------------------------------------------------------------
// Statistics

double median(std::vector<double> samples);
// The value below which the fraction q (0..1) of the samples lie.
double percentile(std::vector<double> samples, double q);
double maximum(const std::vector<double>& samples);
double minimum(const std::vector<double>& samples);

// ---------------------------------------------------------------------------
// Descriptors

// Blocking whole-block write and read; false on error or end of stream.
bool writeAll(int fd, const uint8_t* data, size_t size);
bool readExact(int fd, uint8_t* data, size_t size);

// A listening TCP socket on 127.0.0.1 with a free port; -1 on failure.
int openLoopbackListener(int& port, std::string& error);
// Accepts one connection on the listener (blocking) and turns on
// TCP_NODELAY; -1 on failure.
int acceptOne(int listener, std::string& error);

// A loopback TCP connection: `client` connected to `server`, both with
// TCP_NODELAY, both blocking.
struct TcpPair {
    int client = -1;
    int server = -1;
    ~TcpPair();
    bool open(std::string& error);
};

// A pseudo-terminal in raw mode: `slave` is the serial side, `master` the
// far end of the line.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string path;
    ~PtyPair();
    bool open(std::string& error);
};

// ---------------------------------------------------------------------------
// Status frames

// The status request and its answer as they travel on the wire.
extern const uint8_t STATUS_REQUEST_FRAME[5];  // 10 02 F8 30 DA
extern const uint8_t STATUS_ANSWER_FRAME[6];   // 10 03 02 50 03 42

// ---------------------------------------------------------------------------
// Child processes

// Directory of the console and simulator executables: ORBITANE_BIN_DIR when
// set, else the build tree the benchmark was built in.
std::string binDir();

struct ChildRun {
    bool ok = false;      // started and exited (not killed by the bound)
    int status = -1;      // exit status, or 128 + signal
    double wallMs = 0.0;  // from spawn to reaped
    long maxRssKb = 0;    // peak resident set of the child
    double cpuUs = 0.0;   // the child's user + system CPU time
    double userUs = 0.0;  // ... of which user time
    std::string error;
};

// Runs program with args (argv[0] = program), output discarded, and reaps it
// with wait4; kills it when it runs past limitMs.
ChildRun runChild(const std::string& program, const std::vector<std::string>& args, int limitMs);
// Forks and runs body in the child, which exits with body's result; reaped
// like runChild. body must keep to async-signal-safe calls (the benchmark
// may run threads).
ChildRun runForked(const std::function<int()>& body, int limitMs);

// Runs program with args and gives it `seconds` of standard output: the
// lines containing `marker` that it printed from the first one on, per
// second; then it is interrupted (SIGINT) and reaped. -1 on failure.
double linesPerSecond(const std::string& program, const std::vector<std::string>& args, const std::string& marker,
                      double seconds, std::string& error);
// Runs program with args to its end (killed past limitMs): the lines
// containing `marker` per second, from the read of its output that brought
// the first such line to the read that brought the last, so that its start
// and its end do not count; `lines` is how many that rate covers. -1 with
// `error` set when it fails, exits non-zero or prints too few to tell.
double lineRateOfRun(const std::string& program, const std::vector<std::string>& args, const std::string& marker,
                     int limitMs, uint64_t& lines, std::string& error);
// Runs program to its end and returns the first line it printed.
std::string firstLineOf(const std::string& program, const std::vector<std::string>& args, int limitMs,
                        std::string& error);

// Starts program with args, its output discarded; the pid, or -1 with
// `error` set.
int startChild(const std::string& program, const std::vector<std::string>& args, std::string& error);
// Waits at most limitMs for the child to end, then kills it, and reaps it;
// its exit status (128 + signal when killed by one), -1 when it was killed
// for running past the bound.
int reapChild(int pid, int limitMs);

// One timing line of the simulator's --request-times: a request whose last
// byte reached the base at `atNs` (steady clock, as Clock here).
struct RequestTime {
    std::string link;   // "tcp 127.0.0.1:PORT" or "serial /dev/pts/N"
    int code = -1;
    size_t bytes = 0;   // the request's frame
    int64_t atNs = 0;
    size_t answerBytes = 0;
    // When the simulator logs every request: its line for this one, the
    // decoded request and what was answered ("setVelocity (0x41) vx=0.200
    // m/s ... -> ok ..."), and the simulator's seconds since its start when
    // it logged it (the clock of a scenario's timeline); "" and -1 otherwise.
    std::string text;
    double seconds = -1;
    // The number after `name` ("vx=") in text, 0 when it is not there.
    double number(const char* name) const;
};

// The steady clock in the simulator's units.
int64_t nowNs();

// The base simulator serving TCP on a free loopback port.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts it and waits (at most limitMs) for its "listening" line, or
    // with `pty` for the line that names its pseudo-terminal. `extra`
    // options follow --quiet; with `watch` a thread keeps reading its
    // output (the simulator drops lines nobody reads) for the accessors
    // below. With `logRequests` it runs without --quiet, logging every
    // request, and each timing line carries that request's line (text).
    bool start(const std::string& program, int limitMs, std::string& error, bool pty = false,
               const std::vector<std::string>& extra = {}, bool watch = false, bool logRequests = false);
    int port() const { return port_; }
    const std::string& path() const { return path_; }
    void stop();

    // Watching: every timing line so far, and the last line that contains
    // `marker` ("" when none).
    std::vector<RequestTime> requestTimes() const;
    std::string lastLineWith(const std::string& marker) const;
    // Waits at most limitMs until `done` holds for the timing lines so far,
    // re-checking at each new line.
    bool waitForTimes(const std::function<bool(const std::vector<RequestTime>&)>& done, int limitMs) const;
    // Waits at most limitMs until `count` other lines containing `marker`
    // were printed; false when they were not.
    bool waitForLinesWith(const std::string& marker, size_t count, int limitMs) const;
    size_t countLinesWith(const std::string& marker) const;

private:
    void watchOutput(std::string pending);

    int pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string path_;
    std::thread watcher_;
    mutable std::mutex linesMutex_;
    mutable std::condition_variable linesChanged_;
    std::vector<std::string> lines_;
    std::vector<RequestTime> times_;
    bool ended_ = false;
};

}  // namespace bench
