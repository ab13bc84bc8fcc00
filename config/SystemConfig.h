#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/LogConfig.h"

namespace nivo {
namespace system {
namespace config {

// Enumerations of the configuration; each is written in JSON as one of its
// names (exact, case-sensitive).
enum class BaseType : int32_t { Plover = 0, Tessel = 1, Ardo = 2 };
enum class LidarType : int32_t { Vexscan = 0, UrgLidar = 1, SickLidar = 2 };
enum class SensorKind : int32_t { Bumper = 0, Cliff = 1, Sonar = 2, DepthCamera = 3 };
enum class DockingMethod : int32_t { Unknown = 0, IrTower2p = 1, LaserPattern = 2 };
enum class BumpStrategy : int32_t { Default = 0, Stop = 1 };

// A mounting pose: metres and radians.
struct Pose {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double yaw = 0.0;
    double pitch = 0.0;
    double roll = 0.0;
};

struct Rect {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
};

// One element of base.sensors.
struct SensorConfig {
    int32_t id = 0;
    SensorKind type = SensorKind::Bumper;
    std::string driver;
    Pose installation_pose;
    Json::Value config;
    float beam_angle = 0.0f;  // radians
    float max_distance = 0.0f;
    float min_distance = 0.0f;
};

struct BaseConfig {
    Json::Value config;
    int32_t manufacture_id = 0;
    std::string manufacture_name;
    int32_t model_id = 0;
    std::string model_name;
    int32_t hardware_version = 0;
    double robot_size = 0.0;  // diameter, metres
    float robot_line_speed = 0.0f;
    float low_moving_speed = 0.0f;
    float medium_moving_speed = 0.0f;
    float high_moving_speed = 0.0f;
    int32_t encoder_ticks_per_meter = 0;
    float low_battery_percentage_for_charging = 0.0f;  // fraction of 1
    float high_battery_percentage_for_resume = 0.0f;   // fraction of 1 (the base's "..._for_charging" when sent)
    bool low_battery_auto_homing = false;
    Pose orbitane_core_pose;
    std::vector<SensorConfig> sensors;
};

struct MappingConfig {
    Rect initial_map_area;
    float restrain_mapping_angle_threshold = 0.0f;
};

// One shape for the three lidar filters; each filter reads only its members.
struct LidarFilterConfig {
    bool enable = false;
    float radius_factor = 0.0f;
    float max_gap_threshold = 0.0f;
    float max_rho_bias_threshold = 0.0f;
    int32_t back_space_count = 0;
    int32_t max_failure_count = 0;
    int32_t min_points_count_threshold = 0;
    float max_rho_threshold = 0.0f;
};

struct LidarConfig {
    LidarType type = LidarType::Vexscan;
    Json::Value config;
    double observe_radius = 0.0;
    int32_t hibernate_time = 0;
    double aperture = 0.0;  // radians
    double aperture_direction = 0.0;
    bool require_angular_compensation = false;
    bool reverse_installation = false;
    Pose installation_pose;
    float max_distance = 0.0f;
    float required_scan_frequency = 0.0f;
    float required_scan_frequency_a2 = 0.0f;
    LidarFilterConfig fit_filter;
    LidarFilterConfig radius_filter;
    LidarFilterConfig normal_filter;
};

struct MotionPlanConfig {
    double keep_landmarker_radius = 0.0;
    float power_cost_map_factor = 0.0f;
    float occupy_size_factor = 0.0f;
    int32_t merge_points_count = 0;
    int32_t max_cost = 0;
    int32_t path_search_timeout_duration = 0;
    float move_resolution = 0.0f;
    float distance_threshold = 0.0f;
    float side_margin = 0.0f;  // metres
    float motor_control_period = 0.0f;
    float straight_forward_safe_distance_factor = 0.0f;
    bool bounded_relaxation = false;
    int32_t sub_path_points_gap = 0;
    bool sub_path_search = false;
    float vx_slow_stop_threshold = 0.0f;
    float vy_slow_stop_threshold = 0.0f;
    float omega_slow_stop_threshold = 0.0f;
    int32_t rounds_for_find_way = 0;
    int32_t avoid_circle_path_point_count = 0;
    float same_point_gap = 0.0f;
    BumpStrategy bump_handle_strategy = BumpStrategy::Default;
};

struct SweepConfig {
    double sweep_resolution = 0.0;
    int32_t max_sweep_points = 0;
    double sweep_step_percentage = 0.0;
    float spot_sweep_width = 0.0f;
    float sweep_points_adjacent_ratio = 0.0f;
    int32_t area_points_count = 0;
    float area_partition_threshold = 0.0f;
    float distance_partition_threshold = 0.0f;
    float sweep_distance_threshold = 0.0f;
    int32_t angle_divide_number = 0;
    float speed_base_ratio = 0.0f;
    float speed_adjust_ratio = 0.0f;
    float speed_min_ratio = 0.0f;
    float area_depth = 0.0f;
};

struct SimulatorConfig {
    bool enabled = false;
    double max_moving_speed = 0.0;
    std::string map_file;
    bool with_reality = false;
    bool debug_sdp = false;
    int32_t scan_points = 0;
};

struct DockingConfig {
    bool dock_supported = false;
    bool backward_docking = false;
    DockingMethod docking_method = DockingMethod::Unknown;
    double landing_offset = 0.0;
};

struct FeaturesConfig {
    bool has_ir_docking_tower = false;
};

struct DebugConfig {
    bool output_motion_planner_lidar_data = false;
    std::string diagnosis_flag_file;
    std::vector<std::string> ignore_binary_configs;
};

struct LandmarkConfig {
    float depth_camera_time_out = 0.0f;
    float urltra_sonic_time_out = 0.0f;
    float contactor_time_out = 0.0f;
    float contact_length_ratio = 0.0f;
    float cliff_length_ratio = 0.0f;
    float cooling_time = 0.0f;
    float ref_landmark_time = 0.0f;
    float contactor_opposite_move_distance = 0.0f;
    float cliff_opposite_move_distance = 0.0f;
};

struct MapLoadConfig {
    bool enable = false;
    int32_t roll_size = 0;
    int32_t each_map_size_x = 0;
    int32_t each_map_size_y = 0;
    float resolution = 0.0f;
    int32_t compress_mode = 0;
    int32_t disable_mapping_time_length = 0;
};

// The robot's system configuration. A new one holds empty texts and lists,
// null JSON nodes and zero numbers; reading fills in every member.
struct SystemConfig {
    BaseType type = BaseType::Plover;
    LogConfig log;
    Json::Value imu;
    BaseConfig base;
    MappingConfig mapping;
    LidarConfig lidar;
    MotionPlanConfig motion_plan;
    SweepConfig sweep;
    SimulatorConfig simulator;
    DockingConfig docking;
    FeaturesConfig features;
    DebugConfig debug;
    LandmarkConfig landmark;
    MapLoadConfig map_load;
};

// Reads the whole configuration, member by member, stopping at the first
// member that cannot be read (reported through the configuration log).
bool readSystemConfig(const Json::Value& node, SystemConfig& out);

// Readers of the records and sections; each takes the record's node (null
// reads as an empty object) and returns false after a report.
bool readPose(const Json::Value& node, Pose& out);
bool readRect(const Json::Value& node, Rect& out);
bool readSensorConfig(const Json::Value& node, SensorConfig& out);
bool readBaseConfig(const Json::Value& node, BaseConfig& out);
bool readMappingConfig(const Json::Value& node, MappingConfig& out);
bool readFitFilterConfig(const Json::Value& node, LidarFilterConfig& out);
bool readRadiusFilterConfig(const Json::Value& node, LidarFilterConfig& out);
bool readNormalFilterConfig(const Json::Value& node, LidarFilterConfig& out);
bool readLidarConfig(const Json::Value& node, LidarConfig& out);
bool readMotionPlanConfig(const Json::Value& node, MotionPlanConfig& out);
bool readSweepConfig(const Json::Value& node, SweepConfig& out);
bool readSimulatorConfig(const Json::Value& node, SimulatorConfig& out);
bool readDockingConfig(const Json::Value& node, DockingConfig& out);
bool readFeaturesConfig(const Json::Value& node, FeaturesConfig& out);
bool readDebugConfig(const Json::Value& node, DebugConfig& out);
bool readLandmarkConfig(const Json::Value& node, LandmarkConfig& out);
bool readMapLoadConfig(const Json::Value& node, MapLoadConfig& out);

// Enumeration readers: a JSON string holding one of the names. A value that
// is not a string fails with the string reader's report, an unknown name with
// the unknown-name report.
bool readBaseType(const Json::Value& node, BaseType& out);
bool readLidarType(const Json::Value& node, LidarType& out);
bool readSensorKind(const Json::Value& node, SensorKind& out);
bool readDockingMethod(const Json::Value& node, DockingMethod& out);
bool readBumpStrategy(const Json::Value& node, BumpStrategy& out);

// Display text of a sensor kind ("Bumper", "Cliff", "Sonar", "Depth Camera",
// "Unknown" for any other value).
const char* sensorKindText(SensorKind kind);
// Its key in the JSON objects ("bumper", "cliff", "sonar", "depth_camera").
const char* sensorKindKey(SensorKind kind);
// "Sonar #2": the kind and the sensor's id, as the configuration lists it.
std::string sensorLabel(const SensorConfig& sensor);

}  // namespace config
}  // namespace system
}  // namespace nivo
