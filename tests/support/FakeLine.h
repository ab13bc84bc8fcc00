#pragma once

// A transport and a clock that run in fake time, for the rules that depend
// on time: nothing sleeps, reads advance the clock to the next thing that
// happens. Frames the host writes go to a ScriptedBase; its replies arrive
// after a latency, in order (a late reply holds the ones after it back, as
// on a real base). Bytes can be injected at any time, the line can close or
// fail, and actions (a signal's stop request, say) run when the clock
// reaches them.

#include <chrono>
#include <functional>
#include <map>
#include <vector>

#include "net/Clock.h"
#include "net/arch/Transport.h"
#include "tests/support/ScriptedBase.h"

namespace tests {
namespace support {

using zorn::net::TimePoint;
using Millis = std::chrono::milliseconds;

class FakeClock : public zorn::net::Clock {
public:
    TimePoint now() const override { return now_; }
    void advanceTo(TimePoint t) {
        if (t > now_) now_ = t;
    }
    // Time since the clock was made.
    Millis elapsed() const { return std::chrono::duration_cast<Millis>(now_ - start_); }
    TimePoint at(Millis sinceStart) const { return start_ + sinceStart; }

private:
    TimePoint start_ = TimePoint() + std::chrono::hours(1);
    TimePoint now_ = start_;
};

class FakeLine : public zorn::net::Transport {
public:
    FakeLine(FakeClock& clock, ScriptedBase& base) : clock_(clock), base_(base) {}

    // From the end of a request's write to its reply's first byte.
    void latency(Millis d) { latency_ = d; }
    void latencyFor(uint8_t code, Millis d) { latencyFor_[code] = d; }
    // The next reply to a request with `code` comes after `d` instead.
    void latencyOnce(uint8_t code, Millis d) { latencyOnce_[code] = d; }
    // A reply is lost for the next `count` requests with `code`.
    void loseReplies(uint8_t code, int count) { lose_[code] += count; }
    // Each byte of a reply comes this long after the one before (0: all at once).
    void spread(Millis perByte) { spread_ = perByte; }
    // Bytes that arrive at `at`, as if the base had sent them.
    void inject(const Bytes& bytes, TimePoint at);
    // Runs `action` once the clock reaches `at` (inside a read's wait).
    void at(TimePoint when, std::function<void()> action) { actions_.emplace(when, std::move(action)); }
    // From `when` on, reads see the line closed (TCP) or failed (serial).
    void closeAt(TimePoint when, bool failed = false) {
        endAt_ = when;
        endFailed_ = failed;
    }
    // Writes hang until their deadline (the peer stopped reading).
    void stallWrites(bool stalled) { stalled_ = stalled; }

    zorn::net::Io write(const uint8_t* data, size_t size, TimePoint deadline) override;
    zorn::net::Io read(uint8_t* buffer, size_t capacity, TimePoint deadline) override;
    std::chrono::nanoseconds writeBound(size_t) const override { return Millis(10); }

    // Every write, with the fake time it was made.
    struct Written {
        TimePoint at;
        Bytes bytes;
    };
    const std::vector<Written>& writes() const { return writes_; }

private:
    bool woken() const;
    void runDueActions();
    bool nextEvent(TimePoint& when) const;

    FakeClock& clock_;
    ScriptedBase& base_;
    Millis latency_{1};
    std::map<uint8_t, Millis> latencyFor_;
    std::map<uint8_t, Millis> latencyOnce_;
    std::map<uint8_t, int> lose_;
    Millis spread_{0};
    std::multimap<TimePoint, uint8_t> arrivals_;  // byte by byte, in order of arrival
    TimePoint lastArrival_{};
    std::multimap<TimePoint, std::function<void()>> actions_;
    TimePoint endAt_ = TimePoint::max();
    bool endFailed_ = false;
    bool stalled_ = false;
    std::vector<Written> writes_;
};

}  // namespace support
}  // namespace tests
