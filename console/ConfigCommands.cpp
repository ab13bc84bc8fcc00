// Fetching the system configuration from the base and the config, sensor
// and bumper commands built on it.
#include "console/ConfigCommands.h"

#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/BinaryConfig.h"
#include "config/BuiltinConfig.h"
#include "drv/FixedPoint.h"
#include "app/ExitStatus.h"
#include "config/WhiteListMerge.h"
#include "app/CsvOutput.h"
#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace nivo::system::config;
using namespace zorn::drv;
using namespace zorn::net;

namespace {

// Degrees per radian as the summaries print it (eight decimals of pi).

double degrees(double radians) { return degreesAsPrinted(radians); }

bool parseBuiltinJson(const char* text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    const size_t length = std::strlen(text);
    return reader->parse(text, text + length, &out, &errors);
}

std::string styledText(const Json::Value& value) {
    Json::StyledWriter writer;
    return writer.write(value);
}

SensorConfig legacySensor(int32_t id, SensorKind kind, const MountPose& pose) {
    SensorConfig sensor;
    sensor.id = id;
    sensor.type = kind;
    sensor.installation_pose.x = pose.x;
    sensor.installation_pose.y = pose.y;
    sensor.installation_pose.z = pose.z;
    sensor.installation_pose.yaw = pose.yaw;
    return sensor;
}

// Mounting pose in millimetres and degrees, as the decimals the base sent.
Json::Value poseJson(const Pose& pose) {
    Json::Value object(Json::objectValue);
    object["x_mm"] = poseMillimetresShown(pose.x);
    object["y_mm"] = poseMillimetresShown(pose.y);
    object["z_mm"] = poseMillimetresShown(pose.z);
    object["yaw_deg"] = poseDegreesShown(pose.yaw);
    return object;
}

// The configuration as the config command shows it: its lines and its
// JSON object.
Reading configReading(const SystemConfig& config, bool legacy, const Json::Value& decoded) {
    const BaseConfig& base = config.base;
    Reading reading("config");
    reading["legacy"] = legacy;
    reading["manufacture_name"] = base.manufacture_name;
    reading["manufacture_id"] = base.manufacture_id;
    reading["model_name"] = base.model_name;
    reading["model_id"] = base.model_id;
    reading["hardware_version"] = base.hardware_version;
    reading["robot_diameter_mm"] = base.robot_size * 1000;
    Json::Value sensors(Json::arrayValue);
    for (const SensorConfig& sensor : base.sensors) {
        Json::Value entry(Json::objectValue);
        entry["id"] = sensor.id;
        entry["kind"] = sensorKindKey(sensor.type);
        entry["label"] = sensorLabel(sensor);
        entry["pose"] = poseJson(sensor.installation_pose);
        sensors.append(entry);
    }
    reading["sensors"] = sensors;
    if (!legacy) {
        reading["lidar_pose"] = poseJson(config.lidar.installation_pose);
        reading["side_margin_mm"] = decimalOf(config.motion_plan.side_margin) * 1000.0;
        reading["bumper_policy"] = config.motion_plan.bump_handle_strategy != BumpStrategy::Default ? "stop" : "default";
        reading["has_ir_tower"] = config.features.has_ir_docking_tower;
        reading["auto_home_on_low_battery"] = base.low_battery_auto_homing;
        reading["battery_percent_to_go_home"] = decimalOf(base.low_battery_percentage_for_charging) * 100.0;
        reading["battery_percent_to_resume"] = decimalOf(base.high_battery_percentage_for_resume) * 100.0;
        reading["decoded"] = decoded;
    }

    reading.info("Base Info");
    reading.info("    Manufacture: %s (%04X)", base.manufacture_name.c_str(),
                 static_cast<unsigned>(base.manufacture_id));
    reading.info("    Model: %s (%04X)", base.model_name.c_str(), static_cast<unsigned>(base.model_id));
    reading.info("    Hardware Version: %d", base.hardware_version);
    reading.info("    Robot Diameter: %4.1f cm", base.robot_size * 100);

    if (!legacy) {
        const Pose& lidarPose = config.lidar.installation_pose;
        reading.info("Lidar");
        reading.info("    Installation Pose: %4.1f cm, %4.1f cm, %4.1f deg", lidarPose.x * 100,
                     lidarPose.y * 100, degrees(lidarPose.yaw));
    }

    reading.info("Sensors: %d sensors", static_cast<int>(base.sensors.size()));
    for (const SensorConfig& sensor : base.sensors) {
        const Pose& pose = sensor.installation_pose;
        reading.info("    Sensor #%d: %s at (%4.1f cm, %4.1f cm, %4.1f deg)", sensor.id,
                     sensorKindText(sensor.type), pose.x * 100, pose.y * 100, degrees(pose.yaw));
    }

    if (!legacy) {
        reading.info("Motion Planning");
        reading.info("    Side Margin: %4.1f cm", config.motion_plan.side_margin * 100);
        reading.info("    Bumper Policy: %s",
                     config.motion_plan.bump_handle_strategy != BumpStrategy::Default ? "stop" : "default");
        reading.info("Features");
        const bool hasTower = config.features.has_ir_docking_tower;
        reading.info("    Has IR Tower: %s", hasTower ? "Yes" : "No");
        if (hasTower) {
            reading.info("    Auto Home on Low Battery: %s", base.low_battery_auto_homing ? "Enabled" : "Disabled");
            if (base.low_battery_auto_homing) {
                reading.info("    Battery Level To Go Home: %4.1f%%",
                             base.low_battery_percentage_for_charging * 100);
                reading.info("    Battery Level To Resume: %4.1f%%", base.high_battery_percentage_for_resume * 100);
            }
        }
    }
    return reading;
}

// A configuration the console cannot read: the code it has always
// reported for one (kind invalid_answer).
CommandResult unusableConfig() { return CommandResult(RESULT_OPERATION_FAIL); }

}  // namespace

CommandResult loadBinaryConfig(SystemConfig& out, QuindleBaseDrv& driver, bool printJson, Json::Value* decoded) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const auto stream = driver.getBinaryConfig(BINARY_CONFIG_CAPACITY);
    if (!stream) {
        logFatal(source, "Failed to get binary config from base");
        return stream.failure();
    }
    const std::vector<uint8_t>& buffer = *stream;

    Json::Value binary;
    if (!parseBinaryConfig(static_cast<uint32_t>(buffer.size()), buffer.data(), binary)) {
        logFatal(source, "Failed to parse binary config");
        return unusableConfig();
    }
    if (printJson) {
        logInfo(source, "Parsed JSON:\n%s", styledText(binary).c_str());
    }
    if (decoded != nullptr) {
        *decoded = binary;
    }

    Json::Value reference;
    if (!parseBuiltinJson(REFERENCE_CONFIG, reference)) {
        logFatal(source, "Internal error: failed to parse reference config");
    }
    Json::Value whiteList;
    if (!parseBuiltinJson(WHITE_LIST, whiteList)) {
        logFatal(source, "Internal error: failed to parse white list");
    }

    Json::Value target;
    mergeWithWhiteList(std::vector<std::string>(), whiteList, target, reference, binary);
    if (!readSystemConfig(target, out)) {
        logFatal(source, "Failed to parse to target config");
        return unusableConfig();
    }
    return 0;
}

CommandResult loadLegacyConfig(SystemConfig& out, QuindleBaseDrv& driver) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const auto answer = driver.getConfig();
    if (!answer) return answer.failure();
    const LegacyConfig& conf = *answer;

    out.base.robot_size = 2.0 * conf.radiusMm() / 1000.0;

    int32_t nextId = 0;
    if (conf.bumperCount() > BASE_MAX_BUMPERS) {
        logWarn(source, "Bumpers/Cliff Sensors: %d sensors (too many sensors, only 8 supported)", conf.bumperCount());
    }
    const int bumpers = std::min<int>(conf.bumperCount(), BASE_MAX_BUMPERS);
    for (int i = 0; i < bumpers; ++i) {
        const SensorKind kind = conf.isCliff(i) ? SensorKind::Cliff : SensorKind::Bumper;
        out.base.sensors.push_back(legacySensor(nextId++, kind, conf.bumperPose(i)));
    }

    if (conf.distanceSensorCount() > BASE_MAX_SENSORS) {
        logWarn(source, "Distance Sensors: %d sensors (too many distance sensors, only 8 supported)",
                conf.distanceSensorCount());
    }
    const int sensors = std::min<int>(conf.distanceSensorCount(), BASE_MAX_SENSORS);
    for (int i = 0; i < sensors; ++i) {
        out.base.sensors.push_back(legacySensor(nextId++, SensorKind::Sonar, conf.distanceSensorPose(i)));
    }
    return 0;
}

CommandResult fetchSystemConfig(SystemConfig& out, QuindleBaseDrv& driver, bool printJson, bool& legacy,
                       Json::Value* decoded) {
    legacy = false;
    const CommandResult binary = loadBinaryConfig(out, driver, printJson, decoded);
    if (!binary.hasFailure() || binary.failure().cause != zorn::net::Cause::NotSupported) {
        return binary;
    }
    logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "The base doesn't support binary config, using legacy config interface");
    legacy = true;
    return loadLegacyConfig(out, driver);
}

CommandResult connectionSystemConfig(ConnectionConfig* cache, SystemConfig& out, QuindleBaseDrv& driver, bool& legacy) {
    if (cache != nullptr && cache->loaded) {
        out = cache->config;
        legacy = cache->legacy;
        return 0;
    }
    const CommandResult result = fetchSystemConfig(out, driver, false, legacy);
    if (result.ok() && cache != nullptr) {
        cache->config = out;
        cache->legacy = legacy;
        cache->loaded = true;
    }
    return result;
}

CommandResult configCommand(QuindleBaseDrv& driver) {
    SystemConfig config;
    bool legacy = false;
    Json::Value decoded;
    // The decoded configuration is a member of the object (and of the row):
    // the log shows it only in the text form.
    const CommandResult fetched = fetchSystemConfig(config, driver, !jsonOutput() && !csvOutput(), legacy, &decoded);
    if (!fetched.ok()) return fetched;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, configReading(config, legacy, decoded));
    return 0;
}

CommandResult sensorCommand(QuindleBaseDrv& driver, ConnectionConfig* cache) {
    SystemConfig config;
    bool legacy = false;
    const CommandResult fetched = connectionSystemConfig(cache, config, driver, legacy);
    if (!fetched.ok()) return fetched;
    const auto data = driver.getSensorData();
    if (!data) return data.failure();

    Reading reading("sensor");
    Json::Value list(Json::arrayValue);
    reading.info("Sensor Values:");
    int cursor = 0;
    for (const SensorConfig& sensor : config.base.sensors) {
        if (sensor.type != SensorKind::Sonar) {
            continue;
        }
        // The answer carries 16 values; sonars past the sixteenth have none
        // and are not listed.
        if (cursor >= BASE_SENSOR_VALUES) {
            break;
        }
        const double mm = data->metres[cursor++] * 1000.0;
        Json::Value entry(Json::objectValue);
        entry["index"] = sensor.id;
        entry["label"] = sensorLabel(sensor);
        entry["distance_mm"] = mm;
        list.append(entry);
        // The line keeps its established "%-02d": the '0' flag is ignored
        // beside '-', which the compiler rightly points out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        reading.info("\t%-02d: %-5.1fmm", sensor.id, mm);
#pragma GCC diagnostic pop
    }
    reading["sensors"] = list;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

CommandResult bumperCommand(QuindleBaseDrv& driver, ConnectionConfig* cache, bool activeLow) {
    SystemConfig config;
    bool legacy = false;
    const CommandResult fetched = connectionSystemConfig(cache, config, driver, legacy);
    if (!fetched.ok()) return fetched;
    const auto data = driver.getBumperData();
    if (!data) return data.failure();

    Reading reading("bumper");
    Json::Value list(Json::arrayValue);
    reading.info("Bumper/Cliff Values:");
    uint32_t bits = data->bits;
    const std::vector<SensorConfig>& sensors = config.base.sensors;
    for (size_t i = 0; i < sensors.size(); ++i) {
        const SensorConfig& sensor = sensors[i];
        if (sensor.type != SensorKind::Bumper && sensor.type != SensorKind::Cliff) {
            continue;
        }
        const bool set = (bits & 1u) != 0;
        bits >>= 1;
        const Pose& pose = sensor.installation_pose;
        Json::Value entry(Json::objectValue);
        entry["index"] = static_cast<int>(i);
        entry["kind"] = sensorKindKey(sensor.type);
        entry["label"] = sensorLabel(sensor);
        entry["bit"] = set ? 1 : 0;  // as the base sent it
        entry["triggered"] = set != activeLow;
        entry["pose"] = poseJson(pose);
        list.append(entry);
        reading.info("\t[%c] #%-3d X:%-5.1fcm Y:%-5.1fcm Z:%-5.1fcm Yaw:%-3.1fdeg", set ? ' ' : 'X',
                     static_cast<int>(i), pose.x * 100, pose.y * 100, pose.z * 100, degrees(pose.yaw));
    }
    reading["sensors"] = list;
    reading["bumper_bits"] = data->bits;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
