// The read commands: status, motor, beacon and identity.
#include <cstring>
#include <string>
#include <utility>

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

Reading statusReading(const Status& status) {
    const uint8_t flags = status.chargingFlags;
    Reading reading("status");
    reading["battery_percent"] = status.batteryPercent;
    reading["charging"] = chargingSource(flags);
    reading["cable_connected"] = (flags & CHARGING_FLAG_DC_CONNECTED) != 0;
    reading["on_dock"] = (flags & CHARGING_FLAG_ON_CHARGING_BASE) != 0;
    reading["charging_flags"] = flags;
    reading["charging_text"] =
        flags == CHARGING_FLAG_CHARGING ? "Charging" : OrbitaneBaseConsoleApplication::chargingStatusText(flags);
    if (!reading.wantsText()) return reading;
    // Built in place: the battery line fits the string's own storage, the
    // charging line takes one allocation.
    std::string battery = "Battery: ";
    battery += std::to_string(status.batteryPercent);
    battery += '%';
    reading.infoText(std::move(battery));
    if (flags == CHARGING_FLAG_CHARGING) {
        reading.warn(
            "Charging Status: Charging (you are using legacy protocol, please specify DcConnected or "
            "OnChargingBase bit field");
    } else {
        std::string charging;
        charging.reserve(64);
        charging += "Charging Status: ";
        charging += OrbitaneBaseConsoleApplication::chargingStatusText(flags);
        reading.infoText(std::move(charging));
    }
    return reading;
}

}  // namespace

CommandResult OrbitaneBaseConsoleApplication::statusCommand(const std::vector<std::string>&) {
    const auto status = driver_->getStatus();
    if (!status) return status.failure();
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, statusReading(*status));
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::motorCommand(const std::vector<std::string>&) {
    const auto motor = driver_->getMotorData();
    if (!motor) return motor.failure();
    Reading reading("motor");
    reading["left_odometer_mm"] = motor->leftMm;
    reading["right_odometer_mm"] = motor->rightMm;
    reading["motor_state"] = motor->motorState;
    reading.info("Left Wheel: %-8.1fmm Right Wheel: %-8.1fmm", static_cast<double>(motor->leftMm),
                 static_cast<double>(motor->rightMm));
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::beaconCommand(const std::vector<std::string>&) {
    const auto answer = driver_->getAutoHomeData();
    if (!answer) return answer.failure();
    if (answer->answerSize != sizeof(base_autohome_response_t)) {
        return zorn::net::Failure::of(zorn::net::Cause::InvalidAnswer, true);
    }
    const Beacons& response = *answer;
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const int beacons = response.beaconCount;
    const int probes = response.probeCount;
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
        probe["bits"] = response.probes[p];
        Json::Value seen(Json::arrayValue);
        std::string text;
        for (int b = 0; b < beacons; ++b) {
            // A probe byte covers 8 beacons; later ones read as not seen.
            const bool isSeen = b < 8 && ((response.probes[p] >> b) & 1) != 0;
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

CommandResult OrbitaneBaseConsoleApplication::identityCommand(const std::vector<std::string>&) {
    const std::string model = identity_.model();
    const std::string serial = identity_.serialText();
    Reading reading("identity");
    reading["model"] = model;
    reading["firmware_version"] = identity_.firmwareText();
    reading["hardware_version"] = identity_.hardwareText();
    reading["serial_number"] = serial;
    reading["channel"] = utils::describeProvider(provider());
    reading.info("Model: %s", model.c_str());
    reading.info("Firmware Version: %s", identity_.firmwareText().c_str());
    reading.info("Hardware version: %s", identity_.hardwareText().c_str());
    reading.info("Serial Number: %s", serial.c_str());
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
