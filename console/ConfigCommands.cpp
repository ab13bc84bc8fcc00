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
#include "orbitane/Units.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace nivo::system::config;
using namespace zorn::drv;
using namespace zorn::net;

namespace {

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

namespace {

// Mounting pose in millimetres and degrees, as the decimals the base sent.
Json::Value poseJson(const api::MountPose& pose) {
    Json::Value object(Json::objectValue);
    object["x_mm"] = api::jsonPoseMillimetres(pose.x_m);
    object["y_mm"] = api::jsonPoseMillimetres(pose.y_m);
    object["z_mm"] = api::jsonPoseMillimetres(pose.z_m);
    object["yaw_deg"] = api::jsonPoseDegrees(pose.yaw_rad);
    return object;
}

// "Sonar" of the label "Sonar #2": the kind's display text.
std::string kindText(const std::string& label) { return label.substr(0, label.rfind(" #")); }

// The decoded configuration, from its JSON text.
Json::Value parsedJson(const std::string& text) {
    Json::Value value;
    if (!text.empty()) parseBuiltinJson(text.c_str(), value);
    return value;
}

// The configuration as the config command shows it: its lines and its
// JSON object.
Reading configReading(const api::Config& config) {
    const bool legacy = config.legacy;
    Reading reading("config");
    reading["legacy"] = legacy;
    reading["manufacture_name"] = config.manufacture_name;
    reading["manufacture_id"] = config.manufacture_id;
    reading["model_name"] = config.model_name;
    reading["model_id"] = config.model_id;
    reading["hardware_version"] = config.hardware_version;
    reading["robot_diameter_mm"] = api::jsonMillimetres(config.robot_diameter_m);
    Json::Value sensors(Json::arrayValue);
    for (const api::ConfigSensor& sensor : config.sensors) {
        Json::Value entry(Json::objectValue);
        entry["id"] = sensor.id;
        entry["kind"] = sensor.kind;
        entry["label"] = sensor.label;
        entry["pose"] = poseJson(sensor.pose);
        sensors.append(entry);
    }
    reading["sensors"] = sensors;
    if (!legacy) {
        reading["lidar_pose"] = poseJson(config.lidar_pose);
        reading["side_margin_mm"] = api::jsonMillimetres(config.side_margin_m);
        reading["bumper_policy"] = config.bumper_policy;
        reading["has_ir_tower"] = config.has_ir_tower;
        reading["auto_home_on_low_battery"] = config.auto_home_on_low_battery;
        reading["battery_percent_to_go_home"] = config.battery_percent_to_go_home;
        reading["battery_percent_to_resume"] = config.battery_percent_to_resume;
        reading["decoded"] = parsedJson(config.decoded);
    }

    reading.info("Base Info");
    reading.info("    Manufacture: %s (%04X)", config.manufacture_name.c_str(),
                 static_cast<unsigned>(config.manufacture_id));
    reading.info("    Model: %s (%04X)", config.model_name.c_str(), static_cast<unsigned>(config.model_id));
    reading.info("    Hardware Version: %d", config.hardware_version);
    reading.info("    Robot Diameter: %4.1f cm", config.robot_diameter_m * 100);

    if (!legacy) {
        const api::MountPose& lidarPose = config.lidar_pose;
        reading.info("Lidar");
        reading.info("    Installation Pose: %4.1f cm, %4.1f cm, %4.1f deg", lidarPose.x_m * 100,
                     lidarPose.y_m * 100, api::jsonDegrees(lidarPose.yaw_rad));
    }

    reading.info("Sensors: %d sensors", static_cast<int>(config.sensors.size()));
    for (const api::ConfigSensor& sensor : config.sensors) {
        const api::MountPose& pose = sensor.pose;
        reading.info("    Sensor #%d: %s at (%4.1f cm, %4.1f cm, %4.1f deg)", sensor.id,
                     kindText(sensor.label).c_str(), pose.x_m * 100, pose.y_m * 100,
                     api::jsonDegrees(pose.yaw_rad));
    }

    if (!legacy) {
        reading.info("Motion Planning");
        reading.info("    Side Margin: %4.1f cm", config.side_margin_m * 100);
        reading.info("    Bumper Policy: %s", config.bumper_policy.c_str());
        reading.info("Features");
        const bool hasTower = config.has_ir_tower;
        reading.info("    Has IR Tower: %s", hasTower ? "Yes" : "No");
        if (hasTower) {
            reading.info("    Auto Home on Low Battery: %s", config.auto_home_on_low_battery ? "Enabled" : "Disabled");
            if (config.auto_home_on_low_battery) {
                reading.info("    Battery Level To Go Home: %4.1f%%", config.battery_percent_to_go_home);
                reading.info("    Battery Level To Resume: %4.1f%%", config.battery_percent_to_resume);
            }
        }
    }
    return reading;
}

}  // namespace

CommandResult configCommand(api::Base& base) {
    api::Config config;
    try {
        config = base.config();
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, configReading(config));
    return 0;
}

CommandResult sensorCommand(api::Base& base) {
    api::SensorReading data;
    try {
        data = base.sensor();
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    Reading reading("sensor");
    Json::Value list(Json::arrayValue);
    reading.info("Sensor Values:");
    for (const api::DistanceSensor& sensor : data.sensors) {
        const double mm = api::jsonMillimetres(sensor.distance_m);
        Json::Value entry(Json::objectValue);
        entry["index"] = sensor.index;
        entry["label"] = sensor.label;
        entry["distance_mm"] = mm;
        list.append(entry);
        // The line keeps its established "%-02d": the '0' flag is ignored
        // beside '-', which the compiler rightly points out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        reading.info("\t%-02d: %-5.1fmm", sensor.index, mm);
#pragma GCC diagnostic pop
    }
    reading["sensors"] = list;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

CommandResult bumperCommand(api::Base& base, bool activeLow) {
    api::BumperReading data;
    try {
        data = base.bumper(activeLow);
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    Reading reading("bumper");
    Json::Value list(Json::arrayValue);
    reading.info("Bumper/Cliff Values:");
    for (const api::Bumper& sensor : data.sensors) {
        const api::MountPose& pose = sensor.pose;
        Json::Value entry(Json::objectValue);
        entry["index"] = sensor.index;
        entry["kind"] = sensor.kind;
        entry["label"] = sensor.label;
        entry["bit"] = sensor.bit;  // as the base sent it
        entry["triggered"] = sensor.triggered;
        entry["pose"] = poseJson(pose);
        list.append(entry);
        reading.info("\t[%c] #%-3d X:%-5.1fcm Y:%-5.1fcm Z:%-5.1fcm Yaw:%-3.1fdeg", sensor.bit != 0 ? ' ' : 'X',
                     sensor.index, pose.x_m * 100, pose.y_m * 100, pose.z_m * 100, api::jsonDegrees(pose.yaw_rad));
    }
    reading["sensors"] = list;
    reading["bumper_bits"] = data.bumper_bits;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
