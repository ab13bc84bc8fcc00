#pragma once

// What the base reports, as values: SI units where the wire carries fixed
// point (metres, radians, m/s), the base's own integers where it counts
// (odometer millimetres, bits, percent). The driver alone reads and writes
// the wire records; nothing above it sees a q8 or q16 word.

#include <array>
#include <cstdint>
#include <string>

#include "drv/ControlBus.h"

namespace zorn {
namespace drv {

// The base's identity, the answer to the connect request.
struct Identity {
    base_connect_response_t record{};  // as the base sent it

    // Up to its first NUL, at most 12 characters.
    std::string model() const;
    // "major.minor".
    std::string firmwareText() const;
    std::string hardwareText() const;
    // 24 upper-case hex digits: the three words of the serial number.
    std::string serialText() const;
};

struct Status {
    int batteryPercent = 0;
    uint8_t chargingFlags = 0;  // CHARGING_FLAG_* bits

    bool charging() const { return (chargingFlags & CHARGING_FLAG_CHARGING) != 0; }
    bool cableConnected() const { return (chargingFlags & CHARGING_FLAG_DC_CONNECTED) != 0; }
    bool onDock() const { return (chargingFlags & CHARGING_FLAG_ON_CHARGING_BASE) != 0; }
    // Exactly "charging" and no source: what older bases send.
    bool legacyCharging() const { return chargingFlags == CHARGING_FLAG_CHARGING; }
    // "cable", "dock", "none", or "legacy" for a base that only says "charging".
    const char* chargingSource() const;
    // The words of the charging line: "Charging from cable", ...; "Charging"
    // for a base that only says so.
    const char* chargingText() const;
};

// The wheels' cumulative odometers.
struct Odometry {
    int32_t leftMm = 0;
    int32_t rightMm = 0;
    uint8_t motorState = 0;  // passed on, not interpreted

    // Millimetres each wheel travelled since `earlier`, right across a
    // counter's wrap-around.
    int32_t leftSinceMm(const Odometry& earlier) const { return counterDelta(leftMm, earlier.leftMm); }
    int32_t rightSinceMm(const Odometry& earlier) const { return counterDelta(rightMm, earlier.rightMm); }
    static int32_t counterDelta(int32_t current, int32_t previous) {
        return static_cast<int32_t>(static_cast<uint32_t>(current) - static_cast<uint32_t>(previous));
    }
};

// The distance sensors' readings in configuration order, in metres; 0 is
// no reading.
struct Distances {
    std::array<double, BASE_SENSOR_VALUES> metres{};
};

struct Bumpers {
    uint32_t bits = 0;  // bit k: the k-th bumper or cliff sensor of the configuration
};

// The docking beacons the base's probes see.
struct Beacons {
    int beaconCount = 0;
    int probeCount = 0;
    std::array<uint8_t, BASE_MAX_PROBES> probes{};  // per probe, a bit per beacon
    size_t answerSize = 0;  // bytes the base sent (a full answer has 5)
};

// How far the base moved since the previous velocity answer, in its own
// frame: metres and radians.
struct Displacement {
    double dx = 0, dy = 0, dtheta = 0;
    uint8_t velocityState = 0;  // passed on, not interpreted
};

// Where a sensor sits on the robot: metres and radians.
struct MountPose {
    double x = 0, y = 0, z = 0, yaw = 0;
};

// The fixed configuration record older bases answer with.
struct LegacyConfig {
    base_conf_response_t record{};  // as the base sent it

    // The base's radius in mm, as the record gives it.
    double radiusMm() const;
    // Sensors described (as sent: may say more than the 8 the record holds).
    int distanceSensorCount() const { return record.base_sensor_num; }
    int bumperCount() const { return record.base_bumper_num; }
    // The pose of the i-th distance sensor and bumper/cliff sensor (i < 8).
    MountPose distanceSensorPose(int i) const { return poseOf(record.sensors[i]); }
    MountPose bumperPose(int i) const { return poseOf(record.bumpers[i]); }
    // A bumper-list entry below the floor is a cliff sensor.
    bool isCliff(int i) const { return record.bumpers[i].z_q8 < 0; }

private:
    static MountPose poseOf(const base_sensor_entry_t& entry);
};

}  // namespace drv
}  // namespace zorn
