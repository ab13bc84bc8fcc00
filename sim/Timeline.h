#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace sim {

// A reading of the base that a scenario can change over time.
enum class TimedReading { Battery, ChargingFlags, BumperBits, Sonar };

// One scripted change of a reading, on the simulator's clock (seconds
// since it started):
//   Hold  the reading is `value` from fromS until toS, then as before;
//   Rate  it changes by `value` per second from fromS, and stays where it
//         got to after toS;
//   Ramp  it moves in a straight line from what it was at fromS to
//         `value` at toS, and stays there.
// With everyS > 0 the change starts again every everyS seconds.
struct TimedChange {
    enum class Shape { Hold, Rate, Ramp };
    TimedReading reading = TimedReading::Battery;
    int sonarIndex = 0;  // Sonar: position in the distance readings
    Shape shape = Shape::Hold;
    double value = 0.0;
    double fromS = 0.0;
    double toS = -1.0;   // -1: no end (not allowed for Ramp)
    double everyS = 0.0; // 0: once
};

// The readings a change can touch, as real numbers while they are worked
// out.
struct Readings {
    double battery = 0.0;
    double chargingFlags = 0.0;
    double bumperBits = 0.0;
    std::vector<double> sonarMm;
};

// Applies the changes in order to `readings` at `seconds`; later changes
// act on what earlier ones made. Results are kept in each reading's range
// (battery 0 to 100, flags 0 to 255, bumper bits 32 bits, distances 0 to
// 65535.99 mm) and whole numbers are rounded.
void applyTimeline(const std::vector<TimedChange>& changes, double seconds, Readings& readings);

// "battery_percentage", "charging_flags", "bumper_bits" or "sonar_mm[K]"
// (K from 0 to 15). False for anything else.
bool parseTimedReading(const std::string& text, TimedReading& reading, int& sonarIndex);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
