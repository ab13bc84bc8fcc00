#include <gtest/gtest.h>

#include "config/SystemConfig.h"
#include "tests/config/LogCapture.h"

using namespace nivo::system::config;
using orbitane::configtest::LogCapture;

namespace {

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value, false)) << text;
    return value;
}

// Every required member and nothing else.
Json::Value minimalDocument() {
    return parse(R"({
        "type": "tessel",
        "base": {"robot_size": "34 cm", "robot_line_speed": 0.3, "encoder_ticks_per_meter": 6450},
        "lidar": {"type": "vexscan", "aperture": "360 deg"},
        "motion_plan": {"distance_threshold": 0.31, "straight_forward_safe_distance_factor": 0.6}
    })");
}

}  // namespace

TEST(SystemConfig, MinimalDocumentReadsWithDefaults) {
    LogCapture capture;
    SystemConfig config;
    ASSERT_TRUE(readSystemConfig(minimalDocument(), config));
    EXPECT_TRUE(capture.messages().empty());
    EXPECT_EQ(BaseType::Tessel, config.type);
    EXPECT_EQ(nivo::system::util::LOG_INFO, config.log.global.logLevel);
    EXPECT_TRUE(config.imu.isNull());
    EXPECT_DOUBLE_EQ(0.34, config.base.robot_size);
    EXPECT_EQ(6450, config.base.encoder_ticks_per_meter);
    EXPECT_EQ(-1, config.base.manufacture_id);
    EXPECT_EQ("UNKNOWN", config.base.model_name);
    EXPECT_FLOAT_EQ(0.95f, config.base.high_battery_percentage_for_resume);
    EXPECT_FLOAT_EQ(0.3f, config.base.medium_moving_speed);
    EXPECT_TRUE(config.base.sensors.empty());
    EXPECT_FLOAT_EQ(25.6f, config.mapping.initial_map_area.width);
    EXPECT_FLOAT_EQ(-12.8f, config.mapping.initial_map_area.x);
    EXPECT_NEAR(6.2831853, config.lidar.aperture, 1e-7);
    EXPECT_TRUE(config.lidar.require_angular_compensation);
    EXPECT_TRUE(config.lidar.fit_filter.enable);
    EXPECT_FLOAT_EQ(1.0f, config.lidar.radius_filter.radius_factor);
    EXPECT_FALSE(config.lidar.normal_filter.enable);
    EXPECT_EQ(2, config.lidar.normal_filter.min_points_count_threshold);
    EXPECT_FLOAT_EQ(0.31f, config.motion_plan.distance_threshold);
    EXPECT_EQ(BumpStrategy::Default, config.motion_plan.bump_handle_strategy);
    EXPECT_EQ(200, config.sweep.max_sweep_points);
    EXPECT_EQ(180, config.simulator.scan_points);
    EXPECT_TRUE(config.docking.dock_supported);
    EXPECT_EQ(DockingMethod::IrTower2p, config.docking.docking_method);
    EXPECT_FALSE(config.features.has_ir_docking_tower);
    EXPECT_EQ("/tmp/orbitane_diagnosis_flag_file", config.debug.diagnosis_flag_file);
    EXPECT_FLOAT_EQ(2.0f, config.landmark.urltra_sonic_time_out);
    EXPECT_EQ(2, config.map_load.compress_mode);
}

TEST(SystemConfig, EmptyObjectFailsOnType) {
    LogCapture capture;
    SystemConfig config;
    EXPECT_FALSE(readSystemConfig(parse("{}"), config));
    EXPECT_EQ((std::vector<std::string>{"Failed to parse string value: config node is not a string",
                                        "Child `type' not found"}),
              capture.reports());
}

TEST(SystemConfig, EachRequiredMemberIsNeeded) {
    const std::vector<std::pair<std::string, std::string>> required = {
        {"base", "robot_size"},
        {"base", "robot_line_speed"},
        {"base", "encoder_ticks_per_meter"},
        {"lidar", "type"},
        {"lidar", "aperture"},
        {"motion_plan", "distance_threshold"},
        {"motion_plan", "straight_forward_safe_distance_factor"}};
    for (const auto& member : required) {
        Json::Value doc = minimalDocument();
        doc[member.first].removeMember(member.second);
        LogCapture capture;
        SystemConfig config;
        EXPECT_FALSE(readSystemConfig(doc, config)) << member.second;
        const auto reports = capture.reports();
        ASSERT_EQ(2u, reports.size());
        EXPECT_EQ("Child `" + member.second + "' not found", reports.back());
    }
    // An absent section is read from null and then reported by its own name.
    Json::Value doc = minimalDocument();
    doc.removeMember("lidar");
    LogCapture capture;
    SystemConfig config;
    EXPECT_FALSE(readSystemConfig(doc, config));
    EXPECT_EQ((std::vector<std::string>{"Failed to parse string value: config node is not a string",
                                        "Child `type' not found", "Child `lidar' not found"}),
              capture.reports());
}

TEST(SystemConfig, EnumerationsAreCaseSensitive) {
    Json::Value doc = minimalDocument();
    doc["type"] = "TESSEL";
    LogCapture capture;
    SystemConfig config;
    EXPECT_FALSE(readSystemConfig(doc, config));
    EXPECT_EQ(std::vector<std::string>{"Failed to parse enumeration value: `TESSEL' is not a known name"},
              capture.reports());

    doc = minimalDocument();
    doc["motion_plan"]["bump_handle_strategy"] = "stop";
    doc["docking"]["docking_method"] = "laserpattern";
    doc["lidar"]["type"] = "sicklidar";
    ASSERT_TRUE(readSystemConfig(doc, config));
    EXPECT_EQ(BumpStrategy::Stop, config.motion_plan.bump_handle_strategy);
    EXPECT_EQ(DockingMethod::LaserPattern, config.docking.docking_method);
    EXPECT_EQ(LidarType::SickLidar, config.lidar.type);
}

TEST(SystemConfig, SensorEntries) {
    Json::Value doc = minimalDocument();
    doc["base"]["sensors"] = parse(R"([
        {"id": 0, "type": "sonar", "config": {"beam_angle": "30 deg"}, "max_distance": "2 m",
         "installation_pose": {"x": "10 cm", "yaw": "90 deg"}},
        {"id": 1, "type": "bumper", "driver": "gpio"}
    ])");
    SystemConfig config;
    ASSERT_TRUE(readSystemConfig(doc, config));
    ASSERT_EQ(2u, config.base.sensors.size());
    const SensorConfig& sonar = config.base.sensors[0];
    EXPECT_EQ(SensorKind::Sonar, sonar.type);
    EXPECT_EQ("control_bus", sonar.driver);
    EXPECT_NEAR(0.5235988, sonar.beam_angle, 1e-6);
    EXPECT_FLOAT_EQ(2.0f, sonar.max_distance);
    EXPECT_DOUBLE_EQ(0.1, sonar.installation_pose.x);
    EXPECT_NEAR(1.570796325, sonar.installation_pose.yaw, 1e-12);
    EXPECT_EQ(0.0, sonar.installation_pose.roll);
    const SensorConfig& bumper = config.base.sensors[1];
    EXPECT_EQ("gpio", bumper.driver);
    EXPECT_FLOAT_EQ(0.2617994f, bumper.beam_angle);
    EXPECT_TRUE(bumper.config.isNull());

    doc["base"]["sensors"][1]["driver"] = 5;
    LogCapture capture;
    SystemConfig other;
    EXPECT_FALSE(readSystemConfig(doc, other));
    EXPECT_EQ(std::vector<std::string>{"Failed to parse string value: config node is not a string"},
              capture.reports());
    EXPECT_EQ(1u, other.base.sensors.size());
}

TEST(SystemConfig, SensorsMustBeAnArray) {
    Json::Value doc = minimalDocument();
    doc["base"]["sensors"] = Json::Value(Json::objectValue);
    LogCapture capture;
    SystemConfig config;
    EXPECT_FALSE(readSystemConfig(doc, config));
    EXPECT_EQ("Failed to parse array: config node is not a JSON array", capture.reports().at(0));
}

TEST(SystemConfig, MovedMembersWarnAndAreNotRead) {
    Json::Value doc = minimalDocument();
    doc["mapload"]["roll_size"] = 99;
    doc["lidar"]["scan_points"] = 360;
    LogCapture capture;
    SystemConfig config;
    ASSERT_TRUE(readSystemConfig(doc, config));
    EXPECT_EQ((std::vector<std::string>{
                  "lidar.scan_points found, this config entry has been moved to simulator.scan_points",
                  "mapload found, this config entry has been renamed to map_load"}),
              capture.messages());
    EXPECT_EQ(10, config.map_load.roll_size);
    EXPECT_EQ(180, config.simulator.scan_points);
}

TEST(SystemConfig, SectionsOfTheWrongKind) {
    {
        Json::Value doc = minimalDocument();
        doc["features"] = 1;
        LogCapture capture;
        SystemConfig config;
        EXPECT_FALSE(readSystemConfig(doc, config));
        EXPECT_EQ(std::vector<std::string>{
                      "Failed to parse child `has_ir_docking_tower': config node is not a JSON object"},
                  capture.reports());
    }
    {
        Json::Value doc = minimalDocument();
        doc["map_load"]["enable"] = 1;
        LogCapture capture;
        SystemConfig config;
        EXPECT_FALSE(readSystemConfig(doc, config));
        EXPECT_EQ(std::vector<std::string>{"Failed to parse boolean value: config node is not a bool"},
                  capture.reports());
    }
    {
        // A rectangle without its size fails without a message of its own.
        Json::Value doc = minimalDocument();
        doc["mapping"]["initial_map_area"] = parse(R"({"x": 1, "width": 2})");
        LogCapture capture;
        SystemConfig config;
        EXPECT_FALSE(readSystemConfig(doc, config));
        EXPECT_TRUE(capture.messages().empty());
    }
    {
        Json::Value doc = parse("[]");
        LogCapture capture;
        SystemConfig config;
        EXPECT_FALSE(readSystemConfig(doc, config));
        EXPECT_EQ(std::vector<std::string>{"Failed to parse child `type': config node is not a JSON object"},
                  capture.reports());
    }
}

TEST(SystemConfig, ReadingStopsAtTheFirstFailure) {
    Json::Value doc = minimalDocument();
    doc["base"]["low_moving_speed"] = "fast";
    doc["base"]["high_moving_speed"] = 2.0;
    doc["sweep"]["max_sweep_points"] = 5;
    SystemConfig config;
    EXPECT_FALSE(readSystemConfig(doc, config));
    EXPECT_FLOAT_EQ(0.3f, config.base.robot_line_speed);  // before the failure
    EXPECT_EQ(0.0f, config.base.high_moving_speed);       // after it: untouched
    EXPECT_EQ(0, config.sweep.max_sweep_points);
}
