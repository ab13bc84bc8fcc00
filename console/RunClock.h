#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

namespace zorn {
namespace orbitane {
namespace test {

// Steady clock reading in nanoseconds from an arbitrary origin.
inline int64_t monotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// start + trunc(seconds * 1000) whole milliseconds, in nanoseconds. Times
// too large for the 64-bit nanosecond clock are clamped to its ends.
inline int64_t deadlineAfter(int64_t start, double seconds) {
    const double millis = std::trunc(seconds * 1000.0);
    const double nanos = millis * 1e6;
    const double target = static_cast<double>(start) + nanos;
    if (target >= 9.2e18) {
        return std::numeric_limits<int64_t>::max();
    }
    if (target <= -9.2e18) {
        return std::numeric_limits<int64_t>::min();
    }
    return start + static_cast<int64_t>(nanos);
}

// A double truncated toward zero into a signed 32-bit word, clamped to its
// range (the cast alone is undefined outside it).
inline int32_t truncToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 2147483647.0) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= -2147483648.0) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// Difference of two cumulative 32-bit counters, correct across wrap-around.
inline int32_t counterDelta(int32_t current, int32_t previous) {
    return static_cast<int32_t>(static_cast<uint32_t>(current) - static_cast<uint32_t>(previous));
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
