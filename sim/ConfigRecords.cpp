#include "sim/ConfigRecords.h"

#include <cmath>
#include <cstring>

#include "config/BinaryConfig.h"
#include "drv/FixedPoint.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

// Finds why a value cannot be encoded, for a readable scenario error.
std::string findUnencodable(const Json::Value& v, const std::string& path, int depth) {
    namespace cfg = nivo::system::config;
    if (depth > cfg::BINARY_CONFIG_MAX_DEPTH) return path + " is nested too deeply";
    switch (v.type()) {
        case Json::intValue:
            if (v.asInt64() < INT32_MIN || v.asInt64() > INT32_MAX) return path + " does not fit 32 bits";
            return "";
        case Json::uintValue:
            if (v.asUInt64() > 0xFFFFFFFFu) return path + " does not fit 32 bits";
            return "";
        case Json::stringValue: {
            uint8_t index = 0;
            if (!cfg::binaryConfigKeyIndex(v.asString(), index) && v.asString().size() > 255) {
                return path + " is longer than 255 bytes";
            }
            return "";
        }
        case Json::arrayValue:
            if (v.size() > 255) return path + " has more than 255 elements";
            for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
                std::string why = findUnencodable(v[i], path + "[" + std::to_string(i) + "]", depth + 1);
                if (!why.empty()) return why;
            }
            return "";
        case Json::objectValue:
            if (v.size() > 255) return path + " has more than 255 members";
            for (auto it = v.begin(); it != v.end(); ++it) {
                uint8_t index = 0;
                std::string child = path.empty() ? it.name() : path + "." + it.name();
                if (!cfg::binaryConfigKeyIndex(it.name(), index)) {
                    return "member name \"" + child + "\" is not in the configuration key dictionary";
                }
                std::string why = findUnencodable(*it, child, depth + 1);
                if (!why.empty()) return why;
            }
            return "";
        default:
            return "";
    }
}

}  // namespace

bool encodeScenarioBinaryConfig(const Json::Value& config, std::vector<uint8_t>& out, std::string& why) {
    if (nivo::system::config::encodeBinaryConfig(config, out)) return true;
    why = findUnencodable(config, "", 0);
    if (why.empty()) why = "cannot be encoded";
    return false;
}

namespace {

drv::base_sensor_entry_t toEntry(const LegacySensor& s) {
    drv::base_sensor_entry_t e;
    e.x_q8 = drv::toQ8(s.xMm);
    e.y_q8 = drv::toQ8(s.yMm);
    e.z_q8 = drv::toQ8(s.zMm);
    double yaw = std::fmod(s.yawDeg, 360.0);
    if (yaw < 0.0) yaw += 360.0;
    e.yaw_q8 = drv::toUnsignedQ8(yaw);
    if (e.yaw_q8 >= drv::toUnsignedQ8(360.0)) e.yaw_q8 = 0;
    return e;
}

}  // namespace

drv::base_conf_response_t buildLegacyRecord(const LegacyConfig& legacy) {
    drv::base_conf_response_t rec;
    std::memset(&rec, 0, sizeof rec);
    rec.base_type = legacy.baseType;
    rec.base_radius_q8 = drv::toUnsignedQ8(legacy.radiusMm);
    rec.base_motor_type = legacy.motorType;

    size_t sensors = legacy.sensors.size() < 8 ? legacy.sensors.size() : 8;
    for (size_t i = 0; i < sensors; ++i) rec.sensors[i] = toEntry(legacy.sensors[i]);
    rec.base_sensor_num = static_cast<uint8_t>(legacy.sensorCountOverride >= 0 ? legacy.sensorCountOverride : sensors);

    size_t bumpers = legacy.bumpers.size() < 8 ? legacy.bumpers.size() : 8;
    for (size_t i = 0; i < bumpers; ++i) rec.bumpers[i] = toEntry(legacy.bumpers[i]);
    rec.base_bumper_num = static_cast<uint8_t>(legacy.bumperCountOverride >= 0 ? legacy.bumperCountOverride : bumpers);
    return rec;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
