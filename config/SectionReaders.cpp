#include "config/ConfigReaders.h"
#include "config/SystemConfig.h"

namespace nivo {
namespace system {
namespace config {

bool readSimulatorConfig(const Json::Value& node, SimulatorConfig& out) {
    return readChildOr(node, "enabled", out.enabled, false) &&
           readChildOr(node, "max_moving_speed", out.max_moving_speed, 0.1) &&
           readChildOr(node, "map_file", out.map_file, std::string()) &&
           readChildOr(node, "with_reality", out.with_reality, false) &&
           readChildOr(node, "debug_sdp", out.debug_sdp, false) &&
           readChildOr(node, "scan_points", out.scan_points, 180);
}

bool readFeaturesConfig(const Json::Value& node, FeaturesConfig& out) {
    return readChildOr(node, "has_ir_docking_tower", out.has_ir_docking_tower, false);
}

bool readDebugConfig(const Json::Value& node, DebugConfig& out) {
    return readChildOr(node, "output_motion_planner_lidar_data", out.output_motion_planner_lidar_data, false) &&
           readChildOr(node, "diagnosis_flag_file", out.diagnosis_flag_file,
                       std::string("/tmp/orbitane_diagnosis_flag_file")) &&
           readChild(node, "ignore_binary_configs", out.ignore_binary_configs);
}

bool readLandmarkConfig(const Json::Value& node, LandmarkConfig& out) {
    return readChildOr(node, "depth_camera_time_out", out.depth_camera_time_out, 5.0f) &&
           readChildOr(node, "urltra_sonic_time_out", out.urltra_sonic_time_out, 2.0f) &&
           readChildOr(node, "contactor_time_out", out.contactor_time_out, 60.0f) &&
           readChildOr(node, "contact_length_ratio", out.contact_length_ratio, 0.3f) &&
           readChildOr(node, "cliff_length_ratio", out.cliff_length_ratio, 0.4f) &&
           readChildOr(node, "cooling_time", out.cooling_time, 0.5f) &&
           readChildOr(node, "ref_landmark_time", out.ref_landmark_time, 2.0f) &&
           readChildOr(node, "contactor_opposite_move_distance", out.contactor_opposite_move_distance, 0.1f) &&
           readChildOr(node, "cliff_opposite_move_distance", out.cliff_opposite_move_distance, 0.15f);
}

bool readMapLoadConfig(const Json::Value& node, MapLoadConfig& out) {
    return readChildOr(node, "enable", out.enable, false) && readChildOr(node, "roll_size", out.roll_size, 10) &&
           readChildOr(node, "each_map_size_x", out.each_map_size_x, 12) &&
           readChildOr(node, "each_map_size_y", out.each_map_size_y, 12) &&
           readChildOr(node, "resolution", out.resolution, 0.05f) &&
           readChildOr(node, "compress_mode", out.compress_mode, 2) &&
           readChildOr(node, "disable_mapping_time_length", out.disable_mapping_time_length, 10);
}

}  // namespace config
}  // namespace system
}  // namespace nivo
