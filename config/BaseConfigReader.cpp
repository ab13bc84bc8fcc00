#include "config/ConfigReaders.h"
#include "config/SystemConfig.h"

namespace nivo {
namespace system {
namespace config {

namespace {

// 15 degrees, the beam angle of a sensor whose settings do not give one.
constexpr float DEFAULT_BEAM_ANGLE = 0.2617994f;

}  // namespace

bool readSensorConfig(const Json::Value& node, SensorConfig& out) {
    return readChild(node, "id", out.id) && readChild(node, "type", out.type, readSensorKind) &&
           readChildOr(node, "driver", out.driver, std::string("control_bus")) &&
           readChildOr(node, "installation_pose", out.installation_pose, Pose(), readPose) &&
           readChild(node, "config", out.config) &&
           // The beam angle belongs to the sensor's own settings.
           readChildOr(out.config, "beam_angle", out.beam_angle, DEFAULT_BEAM_ANGLE) &&
           readChildOr(node, "max_distance", out.max_distance, 0.0f) &&
           readChildOr(node, "min_distance", out.min_distance, 0.0f);
}

bool readBaseConfig(const Json::Value& node, BaseConfig& out) {
    return readChild(node, "config", out.config) && readChildOr(node, "manufacture_id", out.manufacture_id, -1) &&
           readChildOr(node, "manufacture_name", out.manufacture_name, std::string("UNKNOWN")) &&
           readChildOr(node, "model_id", out.model_id, -1) &&
           readChildOr(node, "model_name", out.model_name, std::string("UNKNOWN")) &&
           readChildOr(node, "hardware_version", out.hardware_version, -1) &&
           readChild(node, "robot_size", out.robot_size) &&
           readChild(node, "robot_line_speed", out.robot_line_speed) &&
           readChildOr(node, "low_moving_speed", out.low_moving_speed, 0.2f) &&
           readChildOr(node, "medium_moving_speed", out.medium_moving_speed, 0.3f) &&
           readChildOr(node, "high_moving_speed", out.high_moving_speed, 0.4f) &&
           readChild(node, "encoder_ticks_per_meter", out.encoder_ticks_per_meter) &&
           readChildOr(node, "low_battery_percentage_for_charging", out.low_battery_percentage_for_charging, 0.3f) &&
           readChildOr(node, "high_battery_percentage_for_resume", out.high_battery_percentage_for_resume, 0.95f) &&
           // The base sends the resume level under its own name; when it is
           // there, it is the level in force, not the schema's.
           readChildOr(node, "high_battery_percentage_for_charging", out.high_battery_percentage_for_resume,
                       out.high_battery_percentage_for_resume) &&
           readChildOr(node, "low_battery_auto_homing", out.low_battery_auto_homing, false) &&
           readChildOr(node, "orbitane_core_pose", out.orbitane_core_pose, Pose(), readPose) &&
           readChild(node, "sensors", out.sensors, [](const Json::Value& list, std::vector<SensorConfig>& sensors) {
               return readList(list, sensors, readSensorConfig);
           });
}

}  // namespace config
}  // namespace system
}  // namespace nivo
