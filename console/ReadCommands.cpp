// The read commands: status, motor and beacon.
#include <cstring>
#include <string>

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

int OrbitaneBaseConsoleApplication::statusCommand(const std::vector<std::string>&) {
    base_status_response_t status;
    std::memset(&status, 0, sizeof status);
    int32_t result = driver_->getStatus(status);
    if (result < 0) {
        return result;
    }
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    logInfo(source, "Battery: %d%%", status.battery_percentage);
    if (status.charging_flags == CHARGING_FLAG_CHARGING) {
        logWarn(source,
                "Charging Status: Charging (you are using legacy protocol, please specify DcConnected or "
                "OnChargingBase bit field");
    } else {
        logInfo(source, "Charging Status: %s", chargingStatusText(status.charging_flags));
    }
    return 0;
}

int OrbitaneBaseConsoleApplication::motorCommand(const std::vector<std::string>&) {
    base_motor_status_response_t motor;
    std::memset(&motor, 0, sizeof motor);
    int32_t result = driver_->getMotorData(motor);
    if (result < 0) {
        return result;
    }
    logInfo(LOG_SOURCE_BASE_CONSOLE_APP, "Left Wheel: %-8.1fmm Right Wheel: %-8.1fmm",
            static_cast<double>(motor.left_wheel_odometry), static_cast<double>(motor.right_wheel_odometry));
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
    for (int p = 0; p < probes; ++p) {
        std::string text;
        for (int b = 0; b < beacons; ++b) {
            // A probe byte covers 8 beacons; later ones read as not seen.
            bool seen = b < 8 && ((response.probe_data[p] >> b) & 1) != 0;
            text += std::to_string(b) + ": " + (seen ? "yes " : "    ");
        }
        logInfo(source, "\tProbe #%d: %s", p, text.c_str());
    }
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
