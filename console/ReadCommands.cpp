// The read commands: status, motor, beacon and identity.
#include <cstring>
#include <string>

#include "app/Reading.h"

#include "console/OrbitaneBaseConsoleApplication.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace zorn::drv;

const char* OrbitaneBaseConsoleApplication::chargingStatusText(uint8_t flags) {
    if ((flags & CHARGING_FLAG_DC_CONNECTED) && (flags & CHARGING_FLAG_CHARGING)) return "Charging from cable";
    if ((flags & CHARGING_FLAG_ON_CHARGING_BASE) && (flags & CHARGING_FLAG_CHARGING)) return "Charging from base";
    if (flags & CHARGING_FLAG_DC_CONNECTED) return "Cable connected but not charging";
    if (flags & CHARGING_FLAG_ON_CHARGING_BASE) return "On charging dock but not charging";
    return "Not connected, discharging";
}

namespace {

// "cable", "dock", "none", or "legacy" for a base that only says "charging".
const char* chargingSource(uint8_t flags) {
    if (flags == CHARGING_FLAG_CHARGING) return "legacy";
    if (!(flags & CHARGING_FLAG_CHARGING)) return "none";
    if (flags & CHARGING_FLAG_DC_CONNECTED) return "cable";
    if (flags & CHARGING_FLAG_ON_CHARGING_BASE) return "dock";
    return "none";
}

Reading statusReading(const base_status_response_t& status) {
    const uint8_t flags = status.charging_flags;
    Reading reading("status");
    reading["battery_percent"] = status.battery_percentage;
    reading["charging"] = chargingSource(flags);
    reading["cable_connected"] = (flags & CHARGING_FLAG_DC_CONNECTED) != 0;
    reading["on_dock"] = (flags & CHARGING_FLAG_ON_CHARGING_BASE) != 0;
    reading["charging_flags"] = flags;
    reading["charging_text"] =
        flags == CHARGING_FLAG_CHARGING ? "Charging" : OrbitaneBaseConsoleApplication::chargingStatusText(flags);
    reading.info("Battery: %d%%", status.battery_percentage);
    if (flags == CHARGING_FLAG_CHARGING) {
        reading.warn(
            "Charging Status: Charging (you are using legacy protocol, please specify DcConnected or "
            "OnChargingBase bit field");
    } else {
        reading.info("Charging Status: %s", OrbitaneBaseConsoleApplication::chargingStatusText(flags));
    }
    return reading;
}

std::string versionText(uint16_t version) {
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

}  // namespace

int OrbitaneBaseConsoleApplication::statusCommand(const std::vector<std::string>&) {
    base_status_response_t status;
    std::memset(&status, 0, sizeof status);
    int32_t result = driver_->getStatus(status);
    if (result < 0) {
        return result;
    }
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, statusReading(status));
    return 0;
}

int OrbitaneBaseConsoleApplication::motorCommand(const std::vector<std::string>&) {
    base_motor_status_response_t motor;
    std::memset(&motor, 0, sizeof motor);
    int32_t result = driver_->getMotorData(motor);
    if (result < 0) {
        return result;
    }
    Reading reading("motor");
    reading["left_odometer_mm"] = motor.left_wheel_odometry;
    reading["right_odometer_mm"] = motor.right_wheel_odometry;
    reading["motor_state"] = motor.motor_state;
    reading.info("Left Wheel: %-8.1fmm Right Wheel: %-8.1fmm", static_cast<double>(motor.left_wheel_odometry),
                 static_cast<double>(motor.right_wheel_odometry));
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

int OrbitaneBaseConsoleApplication::beaconCommand(const std::vector<std::string>&) {
    base_autohome_response_t response;
    std::memset(&response, 0, sizeof response);
    uint32_t responseSize = sizeof response;
    int32_t result = driver_->getAutoHomeData(0, reinterpret_cast<uint8_t*>(&response), &responseSize);
    if (result < 0) {
        return result;
    }
    if (responseSize != sizeof response) {
        return zorn::net::RESULT_INVALID_DATA;
    }
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const int beacons = response.beacon_count;
    const int probes = response.probe_count;
    logInfo(source, "Found %d beacons and %d probes", beacons, probes);
    if (probes > BASE_MAX_PROBES) {
        logError(source, "Currently only support no more than %d probes, but %d probes found", BASE_MAX_PROBES, probes);
        return -1;
    }
    if (beacons > BASE_MAX_BEACONS) {
        logError(source, "Only support no more than 8 beacons, but %d beacons found", beacons);
    }
    Reading reading("beacon");
    reading["beacon_count"] = beacons;
    reading["probe_count"] = probes;
    Json::Value list(Json::arrayValue);
    for (int p = 0; p < probes; ++p) {
        Json::Value probe(Json::objectValue);
        probe["index"] = p;
        probe["bits"] = response.probe_data[p];
        Json::Value seen(Json::arrayValue);
        std::string text;
        for (int b = 0; b < beacons; ++b) {
            // A probe byte covers 8 beacons; later ones read as not seen.
            const bool isSeen = b < 8 && ((response.probe_data[p] >> b) & 1) != 0;
            if (isSeen) seen.append(b);
            text += std::to_string(b) + ": " + (isSeen ? "yes " : "    ");
        }
        probe["beacons_seen"] = seen;
        list.append(probe);
        reading.info("\tProbe #%d: %s", p, text.c_str());
    }
    reading["probes"] = list;
    emitReading(source, reading);
    return 0;
}

int OrbitaneBaseConsoleApplication::identityCommand(const std::vector<std::string>&) {
    const base_connect_response_t& info = identity_;
    const std::string model(info.model, strnlen(info.model, sizeof info.model));
    char serial[3 * 8 + 1];
    std::snprintf(serial, sizeof serial, "%08X%08X%08X", info.serial_number[0], info.serial_number[1],
                  info.serial_number[2]);
    Reading reading("identity");
    reading["model"] = model;
    reading["firmware_version"] = versionText(info.firmware_version);
    reading["hardware_version"] = versionText(info.hardware_version);
    reading["serial_number"] = serial;
    reading["channel"] = utils::describeProvider(provider());
    reading.info("Model: %s", model.c_str());
    reading.info("Firmware Version: %s", versionText(info.firmware_version).c_str());
    reading.info("Hardware version: %s", versionText(info.hardware_version).c_str());
    reading.info("Serial Number: %s", serial);
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
