#pragma once

// What the transport tests share: deadlines, reading a number of bytes, and
// waiting for a condition with a generous bound.

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "net/arch/Transport.h"
#include "net/arch/WakeSignal.h"

namespace tests {
namespace net {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ::zorn::arch::net::WakeSignal;

inline double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline zorn::net::TimePoint deadlineIn(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Polls `condition` until it holds or `ms` pass, for state that changes
// without a notification.
template <typename Condition>
inline bool eventually(Condition condition, int ms = 10000) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Reads from the transport until `n` bytes came (or a read failed, or a
// generous bound passed).
inline Bytes readAll(zorn::net::Transport& transport, size_t n) {
    Bytes out;
    const Clock::time_point bound = Clock::now() + std::chrono::seconds(10);
    while (out.size() < n && Clock::now() < bound) {
        uint8_t buf[4096];
        const zorn::net::Io io = transport.read(buf, sizeof buf, Clock::now() + std::chrono::milliseconds(100));
        if (io.status == zorn::net::IoStatus::Ok) out.insert(out.end(), buf, buf + io.count);
        else if (io.status != zorn::net::IoStatus::TimedOut) break;
    }
    return out;
}

}  // namespace net
}  // namespace tests
