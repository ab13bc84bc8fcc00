// Request round trips through the link (Link::transact on the caller's
// thread, over the transport the console uses) against a raw blocking
// ping-pong of the same frames, over loopback TCP and over a
// pseudo-terminal; and how long a stop request takes to cut a request's
// wait short.

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/AnsweringPeer.h"
#include "bench/BenchSupport.h"
#include "net/Link.h"
#include "net/Socket.h"
#include "net/Transports.h"

using namespace zorn::net;

namespace bench {
namespace {

constexpr uint8_t STATUS_COMMAND = 0xF8;
constexpr uint8_t STATUS_CODE = 0x30;
// A control-bus code the in-process base leaves unanswered.
constexpr uint8_t SILENT_CODE = 0x7F;
// How the driver asks for the status: a reading with a 2-byte answer.
const RequestKind STATUS_KIND{AnswerShape::of(2), Motion::None, REQUEST_TIMEOUT};
// The unanswered request expects another size, so that its owed answer
// never holds up a status request.
const RequestKind SILENT_KIND{AnswerShape::of(7), Motion::None, REQUEST_TIMEOUT};

// The console's side of the control bus on one medium: the transport and a
// link over it, with an AnsweringPeer playing the base at the far end.
class LinkRig {
public:
    virtual ~LinkRig() = default;

    Link& link() { return *link_; }

    // One status request through the link, checked byte for byte.
    bool roundTrip(std::string& error) {
        const Outcome<AnswerView> answer = link_->transact(STATUS_COMMAND, &STATUS_CODE, 1, STATUS_KIND);
        if (!answer) {
            error = "the request failed: " + describeFailure(answer.failure());
            return false;
        }
        if (answer->cmd != ANS_OK || answer->size != 2 || answer->payload[0] != STATUS_ANSWER_FRAME[3] ||
            answer->payload[1] != STATUS_ANSWER_FRAME[4]) {
            error = "the request returned a different answer";
            return false;
        }
        return true;
    }

    // A link of its own over the same transport, synchronised as the
    // console does it (without the pauses, which only a real base needs).
    void renewLink() {
        link_.reset();
        link_ = std::make_unique<Link>(*transport_);
        link_->setSyncPauses(Duration(0), Duration(0));
        link_->sync();
    }

    bool peerFaulted() const { return peer_.faulted(); }
    uint64_t unanswered() const { return peer_.unanswered(); }

protected:
    // Declared first: the link, which uses the transport, goes first.
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<Link> link_;
    AnsweringPeer peer_;
};

// Connected the way the TCP provider connects: a StreamSocket with no-delay
// and keep-alive, read and written by a SocketTransport.
class TcpRig : public LinkRig {
public:
    ~TcpRig() override {
        link_.reset();
        transport_.reset();
        if (socket_ != nullptr) socket_->dispose();
        peer_.stop();
        if (peerFd_ >= 0) ::close(peerFd_);
    }

    bool open(std::string& error) {
        int port = 0;
        const int listener = openLoopbackListener(port, error);
        if (listener < 0) return false;
        socket_ = StreamSocket::createSocket();
        if (socket_ == nullptr) {
            ::close(listener);
            error = "no socket";
            return false;
        }
        socket_->setNoDelay(true);
        socket_->setKeepAlive(true);
        const SocketAddress address("127.0.0.1", static_cast<uint16_t>(port));
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
        transport_ = std::make_unique<SocketTransport>(socket_->handle());
        renewLink();
        return true;
    }

private:
    StreamSocket* socket_ = nullptr;
    int peerFd_ = -1;
};

// Opened the way the serial provider opens it: a raw_serial port at
// 115,200 baud, read and written by a SerialTransport.
class SerialRig : public LinkRig {
public:
    ~SerialRig() override {
        link_.reset();
        transport_.reset();
        port_.close();
        peer_.stop();
    }

    bool open(std::string& error) {
        if (!pty_.open(error)) return false;
        if (!peer_.start(pty_.master)) {
            error = "cannot start the in-process base";
            return false;
        }
        if (!port_.configure(pty_.path.c_str(), raw_serial::DEFAULT_BAUD, 0) || !port_.open()) {
            error = "cannot open " + pty_.path + ": " + std::strerror(port_.lastError());
            return false;
        }
        transport_ = std::make_unique<SerialTransport>(port_);
        renewLink();
        return true;
    }

private:
    PtyPair pty_;
    raw_serial port_;
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
// link's path and the raw ping-pong pay only for their own system calls
// and thread switches.
class OneCpu {
public:
    OneCpu() {
        saved_ = ::sched_getaffinity(0, sizeof before_, &before_) == 0;
        const int cpu = ::sched_getcpu();
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
void measureRoundTrips(benchmark::State& state, LinkRig& rig, int rawFd, const std::string& key) {
    std::string error;
    for (int i = 0; i < 100; ++i) {  // warm-up: caches, first allocations
        if (!rig.roundTrip(error) || !rawRoundTrip(rawFd, error)) return fail(state, key, error);
    }
    std::vector<double> linkUs;
    std::vector<double> rawUs;
    linkUs.reserve(static_cast<size_t>(state.max_iterations));
    rawUs.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        bool ok = rig.roundTrip(error);
        const Clock::time_point t1 = Clock::now();
        ok = ok && rawRoundTrip(rawFd, error);
        const Clock::time_point t2 = Clock::now();
        if (!ok) return fail(state, key, error);
        state.SetIterationTime(secondsBetween(t0, t1));
        linkUs.push_back(secondsBetween(t0, t1) * 1e6);
        rawUs.push_back(secondsBetween(t1, t2) * 1e6);
    }
    if (rig.peerFaulted()) return fail(state, key, "the in-process base saw a malformed frame");
    const LinkStats stats = rig.link().stats();
    if (stats.timeouts != 0 || stats.lateAnswers != 0 || stats.unasked != 0)
        return fail(state, key, "the link saw time-outs or answers it did not ask for");
    const double link = median(linkUs);
    const double raw = median(rawUs);
    state.counters["median_us"] = link;
    state.counters["raw_median_us"] = raw;
    state.counters["ratio"] = link / raw;
    state.counters["p10_us"] = percentile(linkUs, 0.10);
    state.counters["raw_p10_us"] = percentile(rawUs, 0.10);
    recordFigure(key, link, raw,
                 "median of " + std::to_string(linkUs.size()) + " interleaved pairs through Link::transact");
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

// The least a cut can cost: a thread waiting in poll on an eventfd, woken
// by a write to it and joined.
double pollWakeMs(std::string& error) {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return -1;
    }
    std::thread waiter([fd] {
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 5000) < 0 && errno == EINTR) {
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // into its wait
    const Clock::time_point t0 = Clock::now();
    const uint64_t one = 1;
    const bool written = ::write(fd, &one, sizeof one) == sizeof one;
    waiter.join();
    const double ms = secondsBetween(t0, Clock::now()) * 1000.0;
    ::close(fd);
    if (!written) error = "cannot write the eventfd";
    return written ? ms : -1;
}

// Each iteration takes a fresh link (the cut request's answer stays owed on
// the old one), proves it with a status request, starts a request the base
// never answers on another thread and, once the base has it, asks for the
// stop: the figure is the time from the stop request to the thread having
// its failure, slowest of all.
void measureCuts(benchmark::State& state, LinkRig& rig, const std::string& key) {
    std::string error;
    std::vector<double> cutMs;
    std::vector<double> baseMs;
    for (auto _ : state) {
        rig.renewLink();
        if (!rig.roundTrip(error)) return fail(state, key, error);
        const uint64_t before = rig.unanswered();
        Outcome<AnswerView> outcome{Failure::of(Cause::InvalidAnswer)};
        Link& link = rig.link();
        std::thread waiter([&link, &outcome] { outcome = link.transact(STATUS_COMMAND, &SILENT_CODE, 1, SILENT_KIND); });
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(5);
        while (rig.unanswered() == before && Clock::now() < giveUp) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // into its wait
        const Clock::time_point t0 = Clock::now();
        link.cancelToken().requestStop();
        waiter.join();
        const Clock::time_point t1 = Clock::now();
        if (rig.unanswered() == before) return fail(state, key, "the request never reached the in-process base");
        if (outcome.ok() || outcome.failure().cause != Cause::Interrupted)
            return fail(state, key,
                        "the cut request ended with " +
                            (outcome.ok() ? std::string("an answer") : describeFailure(outcome.failure())));
        state.SetIterationTime(secondsBetween(t0, t1));
        cutMs.push_back(secondsBetween(t0, t1) * 1000.0);
        const double base = pollWakeMs(error);
        if (base < 0) return fail(state, key, error);
        baseMs.push_back(base);
    }
    state.counters["max_ms"] = maximum(cutMs);
    state.counters["median_ms"] = median(cutMs);
    state.counters["poll_wake_max_ms"] = maximum(baseMs);
    recordFigure(key, maximum(cutMs), maximum(baseMs),
                 "slowest of " + std::to_string(cutMs.size()) + " requests cut by CancelToken::requestStop (median " +
                     std::to_string(static_cast<int>(median(cutMs) * 1000.0 + 0.5)) + " us), each on a fresh link");
}

void BM_StopCutTcp(benchmark::State& state) {
    std::string error;
    TcpRig rig;
    if (!rig.open(error)) return fail(state, "stop_tcp", error);
    measureCuts(state, rig, "stop_tcp");
}

void BM_StopCutSerial(benchmark::State& state) {
    std::string error;
    SerialRig rig;
    if (!rig.open(error)) return fail(state, "stop_serial", error);
    measureCuts(state, rig, "stop_serial");
}

BENCHMARK(BM_RoundTripTcp)->Iterations(4000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripTcpAnyCpu)->Iterations(4000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripPty)->Iterations(4000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StopCutTcp)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopCutSerial)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
