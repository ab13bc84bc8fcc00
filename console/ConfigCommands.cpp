// The config, sensor and bumper commands, on the configuration the
// library reads.
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

#include "app/ExitStatus.h"
#include "app/CsvOutput.h"
#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "log/Log.h"
#include "orbitane/Units.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace nivo::system::config;

namespace {

bool parseBuiltinJson(const char* text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text, text + std::strlen(text), &out, &errors);
}

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
