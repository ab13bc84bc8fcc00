#include "drv/BaseValues.h"

#include <cstdio>
#include <cstring>

#include "drv/FixedPoint.h"

namespace zorn {
namespace drv {

namespace {

std::string versionText(uint16_t version) {
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

}  // namespace

std::string Identity::model() const { return std::string(record.model, strnlen(record.model, sizeof record.model)); }

std::string Identity::firmwareText() const { return versionText(record.firmware_version); }

std::string Identity::hardwareText() const { return versionText(record.hardware_version); }

std::string Identity::serialText() const {
    char text[3 * 8 + 1];
    std::snprintf(text, sizeof text, "%08X%08X%08X", record.serial_number[0], record.serial_number[1],
                  record.serial_number[2]);
    return text;
}

const char* Status::chargingSource() const {
    if (legacyCharging()) return "legacy";
    if (!charging()) return "none";
    if (cableConnected()) return "cable";
    if (onDock()) return "dock";
    return "none";
}

const char* Status::chargingText() const {
    if (legacyCharging()) return "Charging";
    if (cableConnected() && charging()) return "Charging from cable";
    if (onDock() && charging()) return "Charging from base";
    if (cableConnected()) return "Cable connected but not charging";
    if (onDock()) return "On charging dock but not charging";
    return "Not connected, discharging";
}

double LegacyConfig::radiusMm() const { return fromQ8(static_cast<uint32_t>(record.base_radius_q8)); }

MountPose LegacyConfig::poseOf(const base_sensor_entry_t& entry) {
    MountPose pose;
    pose.x = fromQ8(entry.x_q8) / 1000.0;
    pose.y = fromQ8(entry.y_q8) / 1000.0;
    pose.z = fromQ8(entry.z_q8) / 1000.0;
    // Degrees to radians with the pi the console prints angles with, so a
    // yaw shows as the base sent it.
    pose.yaw = radiansAsPrinted(fromQ8(entry.yaw_q8));
    return pose;
}

}  // namespace drv
}  // namespace zorn
