#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zorn {
namespace orbitane {
namespace sim {

// Time source of the simulated base, in nanoseconds from an arbitrary
// origin. The server runs on the steady clock; unit tests drive a manual
// clock so that motion can be checked without waiting.
class SimClock {
public:
    virtual ~SimClock() {}
    virtual int64_t nowNs() const = 0;
};

class SteadyClock : public SimClock {
public:
    int64_t nowNs() const override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

// A clock that only moves when told to.
class ManualClock : public SimClock {
public:
    explicit ManualClock(int64_t startNs = 0) : now_(startNs) {}
    int64_t nowNs() const override { return now_.load(); }
    void advanceMs(int64_t ms) { now_ += ms * 1000000; }
    void advanceNs(int64_t ns) { now_ += ns; }

private:
    std::atomic<int64_t> now_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
