#include "config/ConfigReaders.h"
#include "config/SystemConfig.h"
#include "log/Log.h"

namespace nivo {
namespace system {
namespace config {

bool readMappingConfig(const Json::Value& node, MappingConfig& out) {
    Rect defaultArea;
    defaultArea.x = -12.8f;
    defaultArea.y = -12.8f;
    defaultArea.width = 25.6f;
    defaultArea.height = 25.6f;
    return readChildOr(node, "initial_map_area", out.initial_map_area, defaultArea, readRect) &&
           readChildOr(node, "restrain_mapping_angle_threshold", out.restrain_mapping_angle_threshold, 0.09f);
}

bool readFitFilterConfig(const Json::Value& node, LidarFilterConfig& out) {
    return readChildOr(node, "enable", out.enable, true);
}

bool readRadiusFilterConfig(const Json::Value& node, LidarFilterConfig& out) {
    return readChildOr(node, "enable", out.enable, true) &&
           readChildOr(node, "radius_factor", out.radius_factor, 1.0f);
}

bool readNormalFilterConfig(const Json::Value& node, LidarFilterConfig& out) {
    return readChildOr(node, "enable", out.enable, false) &&
           readChildOr(node, "max_gap_threshold", out.max_gap_threshold, 2.0f) &&
           readChildOr(node, "max_rho_bias_threshold", out.max_rho_bias_threshold, 0.01f) &&
           readChildOr(node, "back_space_count", out.back_space_count, 0) &&
           readChildOr(node, "max_failure_count", out.max_failure_count, 0) &&
           readChildOr(node, "min_points_count_threshold", out.min_points_count_threshold, 2) &&
           readChildOr(node, "max_rho_threshold", out.max_rho_threshold, 0.05f);
}

bool readLidarConfig(const Json::Value& node, LidarConfig& out) {
    const bool ok =
        readChild(node, "type", out.type, readLidarType) && readChild(node, "config", out.config) &&
        readChildOr(node, "observe_radius", out.observe_radius, 1.0) &&
        readChildOr(node, "hibernate_time", out.hibernate_time, 60) && readChild(node, "aperture", out.aperture) &&
        readChildOr(node, "aperture_direction", out.aperture_direction, 0.0) &&
        readChildOr(node, "require_angular_compensation", out.require_angular_compensation, true) &&
        readChildOr(node, "reverse_installation", out.reverse_installation, false) &&
        readChildOr(node, "installation_pose", out.installation_pose, Pose(), readPose) &&
        readChildOr(node, "max_distance", out.max_distance, 8.0f) &&
        readChildOr(node, "required_scan_frequency", out.required_scan_frequency, 5.4f) &&
        readChildOr(node, "required_scan_frequency_a2", out.required_scan_frequency_a2, 10.8f) &&
        readChild(node, "fit_filter", out.fit_filter, readFitFilterConfig) &&
        readChild(node, "radius_filter", out.radius_filter, readRadiusFilterConfig) &&
        readChild(node, "normal_filter", out.normal_filter, readNormalFilterConfig);
    if (!ok) {
        return false;
    }
    if (!detail::childOf(node, "scan_points").isNull()) {
        util::logWarn(util::LOG_SOURCE_CONFIG,
                      "lidar.scan_points found, this config entry has been moved to simulator.scan_points");
    }
    return true;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
