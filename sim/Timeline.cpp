#include "sim/Timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

constexpr int kSonarReadings = 16;

double clampTo(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

}  // namespace

void applyTimeline(const std::vector<TimedChange>& changes, double seconds, Readings& r) {
    // Only readings that a change acts on are brought into range: the
    // scenario may hold out-of-range values on purpose.
    bool battery = false, flags = false, bumpers = false;
    std::vector<bool> sonar(r.sonarMm.size(), false);
    for (const TimedChange& c : changes) {
        if (seconds < c.fromS) continue;
        double local = seconds - c.fromS;
        const double span = c.toS < 0.0 ? HUGE_VAL : c.toS - c.fromS;
        if (c.everyS > 0.0) local = std::fmod(local, c.everyS);
        double* target = &r.battery;
        switch (c.reading) {
            case TimedReading::Battery: battery = true; break;
            case TimedReading::ChargingFlags:
                target = &r.chargingFlags;
                flags = true;
                break;
            case TimedReading::BumperBits:
                target = &r.bumperBits;
                bumpers = true;
                break;
            case TimedReading::Sonar: {
                const size_t k = static_cast<size_t>(c.sonarIndex);
                if (r.sonarMm.size() <= k) r.sonarMm.resize(k + 1, 0.0);
                if (sonar.size() <= k) sonar.resize(k + 1, false);
                target = &r.sonarMm[k];
                sonar[k] = true;
                break;
            }
        }
        switch (c.shape) {
            case TimedChange::Shape::Hold:
                if (local < span) *target = c.value;
                break;
            case TimedChange::Shape::Rate:
                *target += c.value * std::min(local, span);
                break;
            case TimedChange::Shape::Ramp:
                *target += (c.value - *target) * std::min(local / span, 1.0);
                break;
        }
    }
    if (battery) r.battery = std::nearbyint(clampTo(r.battery, 0.0, 100.0));
    if (flags) r.chargingFlags = std::nearbyint(clampTo(r.chargingFlags, 0.0, 255.0));
    if (bumpers) r.bumperBits = std::nearbyint(clampTo(r.bumperBits, 0.0, 4294967295.0));
    for (size_t k = 0; k < sonar.size(); ++k) {
        if (sonar[k]) r.sonarMm[k] = clampTo(r.sonarMm[k], 0.0, 65535.99);
    }
}

bool parseTimedReading(const std::string& text, TimedReading& reading, int& sonarIndex) {
    sonarIndex = 0;
    if (text == "battery_percentage") {
        reading = TimedReading::Battery;
    } else if (text == "charging_flags") {
        reading = TimedReading::ChargingFlags;
    } else if (text == "bumper_bits") {
        reading = TimedReading::BumperBits;
    } else {
        int index = -1;
        char close = 0, tail = 0;
        if (std::sscanf(text.c_str(), "sonar_mm[%d%c%c", &index, &close, &tail) != 2 || close != ']' || index < 0 ||
            index >= kSonarReadings) {
            return false;
        }
        reading = TimedReading::Sonar;
        sonarIndex = index;
    }
    return true;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
