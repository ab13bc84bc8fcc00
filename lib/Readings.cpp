#include "lib/Readings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "drv/FixedPoint.h"
#include "lib/Failures.h"
#include "orbitane/Units.h"

namespace orbitane {

namespace detail {

using namespace nivo::system::config;
using namespace zorn::drv;

namespace {

orbitane::MountPose poseOf(const Pose& pose) {
    orbitane::MountPose out;
    out.x_m = pose.x;
    out.y_m = pose.y;
    out.z_m = pose.z;
    out.yaw_rad = pose.yaw;
    return out;
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    // As the console's JSON writes numbers: at most six decimals.
    builder["precision"] = 6;
    builder["precisionType"] = "decimal";
    return Json::writeString(builder, value);
}

}  // namespace

Identity identityOf(const zorn::drv::Identity& identity, const std::string& channel) {
    Identity out;
    out.model = identity.model();
    out.firmware_version = identity.firmwareText();
    out.hardware_version = identity.hardwareText();
    out.serial_number = identity.serialText();
    out.channel = channel;
    return out;
}

Status statusOf(const zorn::drv::Status& status) {
    const uint8_t flags = status.chargingFlags;
    Status out;
    out.battery_percent = status.batteryPercent;
    out.charging = status.chargingSource();
    out.cable_connected = (flags & CHARGING_FLAG_DC_CONNECTED) != 0;
    out.on_dock = (flags & CHARGING_FLAG_ON_CHARGING_BASE) != 0;
    out.charging_flags = flags;
    out.charging_text = status.chargingText();
    return out;
}

Motor motorOf(const Odometry& odometry) {
    Motor out;
    out.left_odometer_m = odometry.leftMm / 1000.0;
    out.right_odometer_m = odometry.rightMm / 1000.0;
    out.motor_state = odometry.motorState;
    return out;
}

SensorReading sensorOf(const SystemConfig& config, const Distances& distances) {
    SensorReading out;
    int cursor = 0;
    for (const SensorConfig& sensor : config.base.sensors) {
        if (sensor.type != SensorKind::Sonar) continue;
        // The answer carries 16 values; sonars past the sixteenth have none.
        if (cursor >= BASE_SENSOR_VALUES) break;
        DistanceSensor entry;
        entry.index = sensor.id;
        entry.label = sensorLabel(sensor);
        entry.distance_m = distances.metres[cursor++];
        out.sensors.push_back(entry);
    }
    return out;
}

BumperReading bumperOf(const SystemConfig& config, const Bumpers& bumpers, bool activeLow) {
    BumperReading out;
    out.bumper_bits = bumpers.bits;
    uint32_t bits = bumpers.bits;
    const std::vector<SensorConfig>& sensors = config.base.sensors;
    for (size_t i = 0; i < sensors.size(); ++i) {
        const SensorConfig& sensor = sensors[i];
        if (sensor.type != SensorKind::Bumper && sensor.type != SensorKind::Cliff) continue;
        const bool set = (bits & 1u) != 0;
        bits >>= 1;
        Bumper entry;
        entry.index = static_cast<int>(i);
        entry.kind = sensorKindKey(sensor.type);
        entry.label = sensorLabel(sensor);
        entry.bit = set ? 1 : 0;
        entry.triggered = set != activeLow;
        entry.pose = poseOf(sensor.installation_pose);
        out.sensors.push_back(entry);
    }
    return out;
}

static_assert(BeaconReading::MAX_PROBES == BASE_MAX_PROBES, "the public probe count is the answer's");
static_assert(BeaconReading::WHOLE_ANSWER_BYTES == sizeof(base_autohome_response_t), "a whole beacon answer");

BeaconReading beaconOf(const Beacons& beacons, bool checked) {
    if (checked && beacons.answerSize != sizeof(base_autohome_response_t)) {
        throw errorOf(zorn::net::Failure::of(zorn::net::Cause::InvalidAnswer, true), "beacon");
    }
    if (checked && beacons.probeCount > BASE_MAX_PROBES) {
        throw Error(kind::INVALID_ANSWER, result::INVALID_DATA,
                    "beacon: the base reports " + std::to_string(beacons.probeCount) + " probes; at most " +
                        std::to_string(BASE_MAX_PROBES) + " are supported");
    }
    BeaconReading out;
    out.answer_bytes = static_cast<int>(beacons.answerSize);
    out.beacon_count = beacons.beaconCount;
    out.probe_count = beacons.probeCount;
    for (int p = 0; p < beacons.probeCount && p < BASE_MAX_PROBES; ++p) {
        Probe probe;
        probe.index = p;
        probe.bits = beacons.probes[p];
        // A probe byte covers 8 beacons; later ones read as not seen.
        for (int b = 0; b < beacons.beaconCount && b < 8; ++b) {
            if (((beacons.probes[p] >> b) & 1) != 0) probe.beacons_seen.push_back(b);
        }
        out.probes.push_back(probe);
    }
    return out;
}

Config configOf(const FetchedConfig& fetched) {
    const SystemConfig& config = fetched.config;
    const BaseConfig& base = config.base;
    Config out;
    out.legacy = fetched.legacy;
    out.manufacture_name = base.manufacture_name;
    out.manufacture_id = base.manufacture_id;
    out.model_name = base.model_name;
    out.model_id = base.model_id;
    out.hardware_version = base.hardware_version;
    out.robot_diameter_m = base.robot_size;
    for (const SensorConfig& sensor : base.sensors) {
        ConfigSensor entry;
        entry.id = sensor.id;
        entry.kind = sensorKindKey(sensor.type);
        entry.label = sensorLabel(sensor);
        entry.pose = poseOf(sensor.installation_pose);
        entry.max_distance_m = sensor.max_distance;
        out.sensors.push_back(entry);
    }
    out.robot_line_speed = base.robot_line_speed;
    out.low_moving_speed = base.low_moving_speed;
    out.medium_moving_speed = base.medium_moving_speed;
    out.high_moving_speed = base.high_moving_speed;
    if (!fetched.legacy) {
        out.lidar_pose = poseOf(config.lidar.installation_pose);
        out.side_margin_m = decimalOf(config.motion_plan.side_margin);
        out.bumper_policy = config.motion_plan.bump_handle_strategy != BumpStrategy::Default ? "stop" : "default";
        out.has_ir_tower = config.features.has_ir_docking_tower;
        out.auto_home_on_low_battery = base.low_battery_auto_homing;
        out.battery_percent_to_go_home = decimalOf(base.low_battery_percentage_for_charging) * 100.0;
        out.battery_percent_to_resume = decimalOf(base.high_battery_percentage_for_resume) * 100.0;
        out.decoded = compactJson(fetched.decoded);
    }
    return out;
}

Displacement displacementOf(const zorn::drv::Displacement& moved) {
    Displacement out;
    out.dx_m = moved.dx;
    out.dy_m = moved.dy;
    out.dheading_rad = moved.dtheta;
    out.velocity_state = moved.velocityState;
    return out;
}

HostInfo hostInfoOf(const base_get_info_answer_t& answer) {
    HostInfo out;
    out.model = std::string(answer.model, strnlen(answer.model, sizeof answer.model));
    out.device_name = std::string(answer.device_name, strnlen(answer.device_name, sizeof answer.device_name));
    out.host_address = std::string(answer.host_address, strnlen(answer.host_address, sizeof answer.host_address));
    return out;
}

}  // namespace detail

double jsonPoseMillimetres(double metres) {
    return zorn::drv::poseMillimetresShown(metres);
}

double jsonPoseDegrees(double radians) {
    return zorn::drv::poseDegreesShown(radians);
}

}  // namespace orbitane
