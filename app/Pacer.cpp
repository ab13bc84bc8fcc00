#include "app/Pacer.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "app/Interrupt.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The longest single sleep: an interrupt that lands just before a sleep
// starts is seen within this time (one that lands during it ends it).
constexpr int64_t MAX_SLEEP_NS = 100 * 1000 * 1000;

}  // namespace

namespace {

// A decimal number of seconds in 0..most over the whole text.
bool parseSeconds(const std::string& text, double most, double& seconds) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0 || value > most) {
        return false;
    }
    seconds = value;
    return true;
}

}  // namespace

bool parseInterval(const std::string& text, double& seconds) {
    return parseSeconds(text, MAX_INTERVAL_SECONDS, seconds);
}

bool parseDuration(const std::string& text, double& seconds) {
    double value = 0;
    if (!parseSeconds(text, MAX_DURATION_SECONDS, value) || value <= 0) {
        return false;
    }
    seconds = value;
    return true;
}

bool parseCount(const std::string& text, uint64_t& count) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value == 0) {
        return false;
    }
    count = value;
    return true;
}

Pacer::Pacer(double intervalSeconds, int64_t startNs)
    : intervalNs_(static_cast<int64_t>(intervalSeconds * 1e9)), startNs_(startNs) {}

bool Pacer::waitForNext(int64_t limitNs) {
    if (intervalNs_ <= 0) {
        return !interrupted();
    }
    const int64_t now = steadyNanoseconds();
    ++period_;
    const int64_t elapsedPeriods = (now - startNs_) / intervalNs_;
    if (elapsedPeriods >= period_) {
        period_ = elapsedPeriods;  // late: start now, back on the grid after it
        return !interrupted();
    }
    const int64_t due = std::min(startNs_ + period_ * intervalNs_, limitNs);
    for (;;) {
        if (interrupted()) {
            return false;
        }
        const int64_t left = due - steadyNanoseconds();
        if (left <= 0) {
            return true;
        }
        const int64_t slice = std::min(left, MAX_SLEEP_NS);
        timespec pause{static_cast<time_t>(slice / 1000000000), static_cast<long>(slice % 1000000000)};
        // A signal ends the sleep early (EINTR); the loop then sees it.
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
