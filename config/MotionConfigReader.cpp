#include "config/ConfigReaders.h"
#include "config/SystemConfig.h"

namespace nivo {
namespace system {
namespace config {

bool readMotionPlanConfig(const Json::Value& node, MotionPlanConfig& out) {
    return readChildOr(node, "keep_landmarker_radius", out.keep_landmarker_radius, 6.0) &&
           readChildOr(node, "power_cost_map_factor", out.power_cost_map_factor, 1.0f) &&
           readChildOr(node, "occupy_size_factor", out.occupy_size_factor, 1.03f) &&
           readChildOr(node, "merge_points_count", out.merge_points_count, 3) &&
           readChildOr(node, "max_cost", out.max_cost, 3) &&
           readChildOr(node, "path_search_timeout_duration", out.path_search_timeout_duration, 60) &&
           readChildOr(node, "move_resolution", out.move_resolution, 0.15f) &&
           readChild(node, "distance_threshold", out.distance_threshold) &&
           readChildOr(node, "side_margin", out.side_margin, 0.0f) &&
           readChildOr(node, "motor_control_period", out.motor_control_period, 0.5f) &&
           readChild(node, "straight_forward_safe_distance_factor", out.straight_forward_safe_distance_factor) &&
           readChildOr(node, "bounded_relaxation", out.bounded_relaxation, false) &&
           readChildOr(node, "sub_path_points_gap", out.sub_path_points_gap, 10) &&
           readChildOr(node, "sub_path_search", out.sub_path_search, false) &&
           readChildOr(node, "vx_slow_stop_threshold", out.vx_slow_stop_threshold, 0.02f) &&
           readChildOr(node, "vy_slow_stop_threshold", out.vy_slow_stop_threshold, 0.02f) &&
           readChildOr(node, "omega_slow_stop_threshold", out.omega_slow_stop_threshold, 0.05f) &&
           readChildOr(node, "rounds_for_find_way", out.rounds_for_find_way, 1) &&
           readChildOr(node, "avoid_circle_path_point_count", out.avoid_circle_path_point_count, 5) &&
           readChildOr(node, "same_point_gap", out.same_point_gap, 0.01f) &&
           readChildOr(node, "bump_handle_strategy", out.bump_handle_strategy, BumpStrategy::Default,
                       readBumpStrategy);
}

bool readSweepConfig(const Json::Value& node, SweepConfig& out) {
    return readChildOr(node, "sweep_resolution", out.sweep_resolution, 0.3) &&
           readChildOr(node, "max_sweep_points", out.max_sweep_points, 200) &&
           readChildOr(node, "sweep_step_percentage", out.sweep_step_percentage, 0.85) &&
           readChildOr(node, "spot_sweep_width", out.spot_sweep_width, 1.0f) &&
           readChildOr(node, "sweep_points_adjacent_ratio", out.sweep_points_adjacent_ratio, 0.4f) &&
           readChildOr(node, "area_points_count", out.area_points_count, 30) &&
           readChildOr(node, "area_partition_threshold", out.area_partition_threshold, -1.5f) &&
           readChildOr(node, "distance_partition_threshold", out.distance_partition_threshold, 2.0f) &&
           readChildOr(node, "sweep_distance_threshold", out.sweep_distance_threshold, 0.05f) &&
           readChildOr(node, "angle_divide_number", out.angle_divide_number, 6) &&
           readChildOr(node, "speed_base_ratio", out.speed_base_ratio, 0.6f) &&
           readChildOr(node, "speed_adjust_ratio", out.speed_adjust_ratio, 0.4f) &&
           readChildOr(node, "speed_min_ratio", out.speed_min_ratio, 0.35f) &&
           readChildOr(node, "area_depth", out.area_depth, 1.0f);
}

bool readDockingConfig(const Json::Value& node, DockingConfig& out) {
    return readChildOr(node, "dock_supported", out.dock_supported, true) &&
           readChildOr(node, "backward_docking", out.backward_docking, false) &&
           readChildOr(node, "docking_method", out.docking_method, DockingMethod::IrTower2p, readDockingMethod) &&
           readChildOr(node, "landing_offset", out.landing_offset, 0.2);
}

}  // namespace config
}  // namespace system
}  // namespace nivo
