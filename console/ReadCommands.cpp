// The read commands: status, motor, beacon and identity.
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "app/Reading.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "log/Log.h"
#include "orbitane/Units.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

namespace {

// The legacy charging bits: a base that says only "charging".
constexpr int LEGACY_CHARGING = 1;

Reading statusReading(const api::Status& status) {
    Reading reading("status");
    reading["battery_percent"] = status.battery_percent;
    reading["charging"] = status.charging;
    reading["cable_connected"] = status.cable_connected;
    reading["on_dock"] = status.on_dock;
    reading["charging_flags"] = status.charging_flags;
    reading["charging_text"] = status.charging_text;
    if (!reading.wantsText()) return reading;
    // Built in place: the battery line fits the string's own storage, the
    // charging line takes one allocation.
    std::string battery = "Battery: ";
    battery += std::to_string(status.battery_percent);
    battery += '%';
    reading.infoText(std::move(battery));
    if (status.charging_flags == LEGACY_CHARGING) {
        reading.warn(
            "Charging Status: Charging (you are using legacy protocol, please specify DcConnected or "
            "OnChargingBase bit field");
    } else {
        std::string charging;
        charging.reserve(64);
        charging += "Charging Status: ";
        charging += status.charging_text;
        reading.infoText(std::move(charging));
    }
    return reading;
}

// The most probes and beacons the answer describes.
constexpr int MAX_PROBES = 3;
constexpr int MAX_BEACONS = 8;

}  // namespace

CommandResult OrbitaneBaseConsoleApplication::statusCommand(const std::vector<std::string>&) {
    try {
        emitReading(LOG_SOURCE_BASE_CONSOLE_APP, statusReading(base().status()));
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::motorCommand(const std::vector<std::string>&) {
    api::Motor motor;
    try {
        motor = base().motor();
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    // The odometers are whole millimetres on the wire.
    const double leftMm = std::round(api::jsonMillimetres(motor.left_odometer_m));
    const double rightMm = std::round(api::jsonMillimetres(motor.right_odometer_m));
    Reading reading("motor");
    reading["left_odometer_mm"] = static_cast<Json::Int>(leftMm);
    reading["right_odometer_mm"] = static_cast<Json::Int>(rightMm);
    reading["motor_state"] = motor.motor_state;
    reading.info("Left Wheel: %-8.1fmm Right Wheel: %-8.1fmm", leftMm, rightMm);
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::beaconCommand(const std::vector<std::string>&) {
    api::BeaconReading response;
    try {
        response = base().beacon(false);
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    // Only a whole answer is a reading.
    if (response.answer_bytes != api::BeaconReading::WHOLE_ANSWER_BYTES) {
        return CommandResult(zorn::net::Failure::of(zorn::net::Cause::InvalidAnswer, true));
    }
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const int beacons = response.beacon_count;
    const int probes = response.probe_count;
    logInfo(source, "Found %d beacons and %d probes", beacons, probes);
    if (probes > MAX_PROBES) {
        logError(source, "Currently only support no more than %d probes, but %d probes found", MAX_PROBES, probes);
        return -1;
    }
    if (beacons > MAX_BEACONS) {
        logError(source, "Only support no more than 8 beacons, but %d beacons found", beacons);
    }
    Reading reading("beacon");
    reading["beacon_count"] = beacons;
    reading["probe_count"] = probes;
    Json::Value list(Json::arrayValue);
    for (const api::Probe& probe : response.probes) {
        Json::Value entry(Json::objectValue);
        entry["index"] = probe.index;
        entry["bits"] = probe.bits;
        Json::Value seen(Json::arrayValue);
        for (int b : probe.beacons_seen) seen.append(b);
        std::string text;
        for (int b = 0; b < beacons; ++b) {
            // A probe byte covers 8 beacons; later ones read as not seen.
            const bool isSeen = b < 8 && ((probe.bits >> b) & 1) != 0;
            text += std::to_string(b) + ": " + (isSeen ? "yes " : "    ");
        }
        entry["beacons_seen"] = seen;
        list.append(entry);
        reading.info("\tProbe #%d: %s", probe.index, text.c_str());
    }
    reading["probes"] = list;
    emitReading(source, reading);
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::identityCommand(const std::vector<std::string>&) {
    const api::Identity& identity = identity_;
    Reading reading("identity");
    reading["model"] = identity.model;
    reading["firmware_version"] = identity.firmware_version;
    reading["hardware_version"] = identity.hardware_version;
    reading["serial_number"] = identity.serial_number;
    reading["channel"] = identity.channel;
    reading.info("Model: %s", identity.model.c_str());
    reading.info("Firmware Version: %s", identity.firmware_version.c_str());
    reading.info("Hardware version: %s", identity.hardware_version.c_str());
    reading.info("Serial Number: %s", identity.serial_number.c_str());
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
