#pragma once

// Pacing of repeated readings (monitor) and steps (run, vrun): the time
// between the starts of two readings and how many to make.

#include <cstdint>
#include <string>

namespace zorn {
namespace orbitane {
namespace test {

struct Pacing {
    double intervalSeconds = 0.0;  // 0: flat out
    uint64_t count = 0;            // 0: no bound
    double durationSeconds = 0.0;  // monitor: no reading starts this long after its start; 0: no bound
};

// Largest interval accepted: one day.
constexpr double MAX_INTERVAL_SECONDS = 86400.0;
// Longest duration accepted: one week.
constexpr double MAX_DURATION_SECONDS = 604800.0;

// A decimal number of seconds in 0..MAX_INTERVAL_SECONDS over the whole text.
bool parseInterval(const std::string& text, double& seconds);
// A decimal number of seconds above 0, at most MAX_DURATION_SECONDS, over
// the whole text.
bool parseDuration(const std::string& text, double& seconds);
// A whole decimal number of at least 1 over the whole text.
bool parseCount(const std::string& text, uint64_t& count);

// Starts readings on the grid start + k * interval of the steady clock
// (nanoseconds since the clock's epoch), so
// late readings never shift the ones after them. A reading that ends after
// the next grid point has passed is followed by the next one at once, and
// the grid points it overran are skipped.
class Pacer {
public:
    Pacer(double intervalSeconds, int64_t startNs);

    // Waits for the start of the next reading, but never past `limitNs`
    // (a run's end). Returns false when an interrupt arrived while waiting.
    bool waitForNext(int64_t limitNs = INT64_MAX);

private:
    int64_t intervalNs_;
    int64_t startNs_;
    int64_t period_ = 0;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
