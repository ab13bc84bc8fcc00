#include <cfloat>
#include <cmath>

#include "config/ConfigReaders.h"
#include "config/SystemConfig.h"

namespace nivo {
namespace system {
namespace config {

namespace {

const EnumName<BaseType> BASE_TYPES[] = {
    {"plover", BaseType::Plover}, {"tessel", BaseType::Tessel}, {"ardo", BaseType::Ardo}};
const EnumName<LidarType> LIDAR_TYPES[] = {
    {"vexscan", LidarType::Vexscan}, {"urglidar", LidarType::UrgLidar}, {"sicklidar", LidarType::SickLidar}};
const EnumName<SensorKind> SENSOR_KINDS[] = {{"bumper", SensorKind::Bumper},
                                             {"cliff", SensorKind::Cliff},
                                             {"sonar", SensorKind::Sonar},
                                             {"depth_camera", SensorKind::DepthCamera}};
const EnumName<DockingMethod> DOCKING_METHODS[] = {{"irtower_2p", DockingMethod::IrTower2p},
                                                   {"laserpattern", DockingMethod::LaserPattern}};
const EnumName<BumpStrategy> BUMP_STRATEGIES[] = {{"default", BumpStrategy::Default}, {"stop", BumpStrategy::Stop}};

// A rectangle coordinate: a plain JSON number, no units.
bool readPlainFloat(const Json::Value& node, float& out) {
    if (!node.isInt() && !node.isUInt() && !node.isInt64() && !node.isUInt64() && !node.isDouble()) {
        return reportConfigError(MSG_NOT_A_NUMBER, node);
    }
    const double value = node.asDouble();
    if (!std::isfinite(value) || std::fabs(value) > static_cast<double>(FLT_MAX)) {
        return reportConfigError(MSG_NOT_A_NUMBER, node);
    }
    out = static_cast<float>(value);
    return true;
}

}  // namespace

bool readBaseType(const Json::Value& node, BaseType& out) {
    return readEnum(node, out, BASE_TYPES);
}

bool readLidarType(const Json::Value& node, LidarType& out) {
    return readEnum(node, out, LIDAR_TYPES);
}

bool readSensorKind(const Json::Value& node, SensorKind& out) {
    return readEnum(node, out, SENSOR_KINDS);
}

bool readDockingMethod(const Json::Value& node, DockingMethod& out) {
    return readEnum(node, out, DOCKING_METHODS);
}

bool readBumpStrategy(const Json::Value& node, BumpStrategy& out) {
    return readEnum(node, out, BUMP_STRATEGIES);
}

const char* sensorKindText(SensorKind kind) {
    switch (kind) {
    case SensorKind::Bumper:
        return "Bumper";
    case SensorKind::Cliff:
        return "Cliff";
    case SensorKind::Sonar:
        return "Sonar";
    case SensorKind::DepthCamera:
        return "Depth Camera";
    }
    return "Unknown";
}

const char* sensorKindKey(SensorKind kind) {
    switch (kind) {
        case SensorKind::Bumper: return "bumper";
        case SensorKind::Cliff: return "cliff";
        case SensorKind::Sonar: return "sonar";
        case SensorKind::DepthCamera: return "depth_camera";
    }
    return "unknown";
}

std::string sensorLabel(const SensorConfig& sensor) {
    return std::string(sensorKindText(sensor.type)) + " #" + std::to_string(sensor.id);
}

bool readPose(const Json::Value& node, Pose& out) {
    return readChildOr(node, "x", out.x, 0.0) && readChildOr(node, "y", out.y, 0.0) &&
           readChildOr(node, "z", out.z, 0.0) && readChildOr(node, "yaw", out.yaw, 0.0) &&
           readChildOr(node, "pitch", out.pitch, 0.0) && readChildOr(node, "roll", out.roll, 0.0);
}

bool readRect(const Json::Value& node, Rect& out) {
    if (!readChildOr(node, "x", out.x, 0.0f, readPlainFloat) || !readChildOr(node, "y", out.y, 0.0f, readPlainFloat)) {
        return false;
    }
    // Width and height have no default: a rectangle without them fails
    // without a message of its own.
    const Json::Value& width = detail::childOf(node, "width");
    const Json::Value& height = detail::childOf(node, "height");
    if (width.isNull() || height.isNull()) {
        return false;
    }
    return readPlainFloat(width, out.width) && readPlainFloat(height, out.height);
}

}  // namespace config
}  // namespace system
}  // namespace nivo
