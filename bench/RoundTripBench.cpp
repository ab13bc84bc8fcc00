// Request round trips through the console's channel stack (endpoint,
// caller writing and the receive thread decoding) against raw blocking ping-pong of
// the same frames, over loopback TCP and over a pseudo-terminal; and the time
// that stopping a running, idle channel takes.

#include <benchmark/benchmark.h>

#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "net/ControlEndpoint.h"
#include "net/InterchipProtocol.h"
#include "net/SerialChannel.h"
#include "net/Socket.h"
#include "net/TCPChannel.h"

using namespace zorn::net;

namespace bench {
namespace {

constexpr uint8_t STATUS_COMMAND = 0xF8;
constexpr uint8_t STATUS_REQUEST = 0x30;

// The console's side of the control bus on one medium: protocol, channel and
// endpoint, with an AnsweringPeer playing the base at the far end.
class ChannelRig {
public:
    virtual ~ChannelRig() {}

    Channel* channel() { return channel_.get(); }

    // One status request through the endpoint, checked byte for byte.
    bool roundTrip(std::string& error) {
        MessagePtr answer;
        int32_t r = endpoint_.request(answer, STATUS_COMMAND, &STATUS_REQUEST, 1, ControlEndpoint::REQUEST_TIMEOUT_MS);
        if (r != RESULT_OK) {
            error = "request failed with result " + std::to_string(r);
            return false;
        }
        if (!answer || answer->cmd != ANS_OK || answer->payload.size() != 2 ||
            answer->payload[0] != STATUS_ANSWER_FRAME[3] || answer->payload[1] != STATUS_ANSWER_FRAME[4]) {
            error = "request returned a different answer";
            return false;
        }
        return true;
    }

    // Starts the threads again after a stop, as an owner does.
    bool restart() {
        channel_->clearStopped();
        channel_->start();
        return channel_->isRunning();
    }

    bool peerFaulted() const { return peer_.faulted(); }

protected:
    void bindEndpoint() { endpoint_.bindChannel(channel_.get()); }
    void closeStack() {
        endpoint_.unbindChannel();
        channel_.reset();
    }

    InterchipProtocol protocol_;
    std::unique_ptr<Channel> channel_;
    ControlEndpoint endpoint_;
    AnsweringPeer peer_;
};

// Connected the way the TCP provider connects: a StreamSocket with no-delay
// and keep-alive, bound to a TCPChannel (which starts and syncs it).
class TcpRig : public ChannelRig {
public:
    ~TcpRig() override {
        closeStack();
        if (socket_) socket_->dispose();
        peer_.stop();
        if (peerFd_ >= 0) ::close(peerFd_);
    }

    bool open(std::string& error) {
        int port = 0;
        int listener = openLoopbackListener(port, error);
        if (listener < 0) return false;
        socket_ = StreamSocket::createSocket();
        if (!socket_) {
            ::close(listener);
            error = "no socket";
            return false;
        }
        socket_->setNoDelay(true);
        socket_->setKeepAlive(true);
        SocketAddress address("127.0.0.1", static_cast<uint16_t>(port));
        if (socket_->connect(address) != RESULT_OK) {
            ::close(listener);
            error = "cannot connect to the in-process base";
            return false;
        }
        peerFd_ = acceptOne(listener, error);
        ::close(listener);
        if (peerFd_ < 0 || !peer_.start(peerFd_)) {
            if (error.empty()) error = "cannot start the in-process base";
            return false;
        }
        TCPChannel* tcp = new TCPChannel(&protocol_);
        channel_.reset(tcp);
        if (tcp->bind(socket_) != RESULT_OK) {
            error = "cannot bind the channel";
            return false;
        }
        bindEndpoint();
        return true;
    }

private:
    StreamSocket* socket_ = nullptr;
    int peerFd_ = -1;
};

// Opened the way the serial provider opens it: configure, open, start, sync.
class SerialRig : public ChannelRig {
public:
    ~SerialRig() override {
        closeStack();
        peer_.stop();
    }

    bool open(std::string& error) {
        if (!pty_.open(error)) return false;
        if (!peer_.start(pty_.master)) {
            error = "cannot start the in-process base";
            return false;
        }
        SerialChannel* serial = new SerialChannel(&protocol_);
        channel_.reset(serial);
        serial->getSerial()->configure(pty_.path.c_str(), 115200, 0);
        if (!serial->getSerial()->open()) {
            error = "cannot open " + pty_.path + ": " + std::strerror(serial->getSerial()->lastError());
            return false;
        }
        serial->clearStopped();
        serial->start();
        serial->sync();
        bindEndpoint();
        return true;
    }

private:
    PtyPair pty_;
};

// One raw ping-pong: the request frame out, the answer frame back.
bool rawRoundTrip(int fd, std::string& error) {
    uint8_t answer[sizeof STATUS_ANSWER_FRAME];
    if (!writeAll(fd, STATUS_REQUEST_FRAME, sizeof STATUS_REQUEST_FRAME) || !readExact(fd, answer, sizeof answer)) {
        error = "raw ping-pong lost its connection";
        return false;
    }
    if (std::memcmp(answer, STATUS_ANSWER_FRAME, sizeof answer) != 0) {
        error = "raw ping-pong read a different answer";
        return false;
    }
    return true;
}

// Keeps this thread, and every thread it starts, on the processor it runs
// on, for as long as the object lives. On a virtual machine a wake-up across
// processors may cost tens of microseconds and comes and goes with the
// placement the scheduler happens to choose; on one processor both the
// console's path and the raw ping-pong pay only for their own system calls
// and thread switches.
class OneCpu {
public:
    OneCpu() {
        saved_ = ::sched_getaffinity(0, sizeof before_, &before_) == 0;
        int cpu = ::sched_getcpu();
        if (!saved_ || cpu < 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        ::sched_setaffinity(0, sizeof one, &one);
    }
    ~OneCpu() {
        if (saved_) ::sched_setaffinity(0, sizeof before_, &before_);
    }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

private:
    cpu_set_t before_;
    bool saved_ = false;
};

void fail(benchmark::State& state, const std::string& key, const std::string& error) {
    recordFigureError(key, error);
    state.SkipWithError(error.c_str());
}

// Alternates one request through the rig and one raw ping-pong per
// iteration, so that both see the same machine load.
void measureRoundTrips(benchmark::State& state, ChannelRig& rig, int rawFd, const std::string& key) {
    std::string error;
    for (int i = 0; i < 100; ++i) {  // warm-up: caches, first allocations
        if (!rig.roundTrip(error) || !rawRoundTrip(rawFd, error)) return fail(state, key, error);
    }
    std::vector<double> stackUs;
    std::vector<double> rawUs;
    stackUs.reserve(static_cast<size_t>(state.max_iterations));
    rawUs.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        bool ok = rig.roundTrip(error);
        Clock::time_point t1 = Clock::now();
        ok = ok && rawRoundTrip(rawFd, error);
        Clock::time_point t2 = Clock::now();
        if (!ok) return fail(state, key, error);
        state.SetIterationTime(secondsBetween(t0, t1));
        stackUs.push_back(secondsBetween(t0, t1) * 1e6);
        rawUs.push_back(secondsBetween(t1, t2) * 1e6);
    }
    if (rig.peerFaulted()) return fail(state, key, "the in-process base saw a malformed frame");
    const double stack = median(stackUs);
    const double raw = median(rawUs);
    state.counters["median_us"] = stack;
    state.counters["raw_median_us"] = raw;
    state.counters["ratio"] = stack / raw;
    state.counters["p10_us"] = percentile(stackUs, 0.10);
    state.counters["raw_p10_us"] = percentile(rawUs, 0.10);
    recordFigure(key, stack, raw, "median of " + std::to_string(stackUs.size()) + " interleaved pairs");
}

void roundTripsOverTcp(benchmark::State& state, const std::string& key) {
    std::string error;
    TcpRig rig;
    if (!rig.open(error)) return fail(state, key, error);
    TcpPair raw;
    AnsweringPeer rawPeer;
    if (!raw.open(error) || !rawPeer.start(raw.server)) return fail(state, key, error);
    measureRoundTrips(state, rig, raw.client, key);
}

void BM_RoundTripTcp(benchmark::State& state) {
    OneCpu pin;
    roundTripsOverTcp(state, "rt_tcp");
}

// The same with the threads free to run on any processor, for comparison.
void BM_RoundTripTcpAnyCpu(benchmark::State& state) { roundTripsOverTcp(state, "rt_tcp_any"); }

void BM_RoundTripPty(benchmark::State& state) {
    OneCpu pin;
    std::string error;
    SerialRig rig;
    if (!rig.open(error)) return fail(state, "rt_pty", error);
    PtyPair raw;
    AnsweringPeer rawPeer;
    if (!raw.open(error) || !rawPeer.start(raw.master)) return fail(state, "rt_pty", error);
    measureRoundTrips(state, rig, raw.slave, "rt_pty");
}

// The least a stop can cost: two threads idle in a wait, woken directly
// and joined.
double idleThreadsStopMs() {
    std::mutex m;
    std::condition_variable wake;
    std::condition_variable ready;
    bool stopping = false;
    int waiting = 0;
    auto body = [&] {
        std::unique_lock<std::mutex> g(m);
        ++waiting;
        ready.notify_one();
        wake.wait(g, [&] { return stopping; });
    };
    // The channel runs two threads: the transmit and the receive thread.
    std::thread a(body), b(body);
    {
        std::unique_lock<std::mutex> g(m);
        ready.wait_for(g, std::chrono::seconds(5), [&] { return waiting == 2; });
    }
    Clock::time_point t0 = Clock::now();
    {
        std::lock_guard<std::mutex> g(m);
        stopping = true;
    }
    wake.notify_all();
    a.join();
    b.join();
    return secondsBetween(t0, Clock::now()) * 1000.0;
}

// Each iteration starts the channel, proves both threads run with one
// request, then times stop(). The figure is the slowest stop.
void measureStops(benchmark::State& state, ChannelRig& rig, const std::string& key) {
    std::string error;
    std::vector<double> stopMs;
    std::vector<double> baseMs;
    for (auto _ : state) {
        if (!rig.restart()) return fail(state, key, "the channel did not start again");
        if (!rig.roundTrip(error)) return fail(state, key, error);
        Clock::time_point t0 = Clock::now();
        rig.channel()->stop();
        Clock::time_point t1 = Clock::now();
        if (rig.channel()->isRunning()) return fail(state, key, "the channel still runs after stop");
        state.SetIterationTime(secondsBetween(t0, t1));
        stopMs.push_back(secondsBetween(t0, t1) * 1000.0);
        baseMs.push_back(idleThreadsStopMs());
    }
    const uint32_t stopped = Channel::RX_STOPPED | Channel::TX_STOPPED;
    if ((rig.channel()->getStatusBits() & stopped) != stopped)
        return fail(state, key, "stop returned before the threads ended");
    state.counters["max_ms"] = maximum(stopMs);
    state.counters["median_ms"] = median(stopMs);
    state.counters["idle_threads_max_ms"] = maximum(baseMs);
    recordFigure(
        key, maximum(stopMs), maximum(baseMs),
        "slowest of " + std::to_string(stopMs.size()) + " stops (median " + std::to_string(median(stopMs)) + " ms)");
}

void BM_ChannelStopTcp(benchmark::State& state) {
    std::string error;
    TcpRig rig;
    if (!rig.open(error)) return fail(state, "stop_tcp", error);
    measureStops(state, rig, "stop_tcp");
}

void BM_ChannelStopSerial(benchmark::State& state) {
    std::string error;
    SerialRig rig;
    if (!rig.open(error)) return fail(state, "stop_serial", error);
    measureStops(state, rig, "stop_serial");
}

BENCHMARK(BM_RoundTripTcp)->Iterations(4000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripTcpAnyCpu)->Iterations(4000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripPty)->Iterations(4000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChannelStopTcp)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelStopSerial)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
