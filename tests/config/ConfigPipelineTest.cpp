#include <gtest/gtest.h>

#include <random>

#include "config/BinaryConfig.h"
#include "config/BuiltinConfig.h"
#include "config/SystemConfig.h"
#include "config/Units.h"
#include "config/WhiteListMerge.h"
#include "tests/support/JsonText.h"
#include "tests/support/LogCapture.h"

using namespace nivo::system::config;
using tests::support::LogCapture;
using tests::support::parseJson;

namespace {

// What a round base of 340 mm diameter reports about itself: three front
// bumpers, two cliff sensors, three sonars and an IR docking tower. It also
// sends entries the console does not trust (type, docking).
Json::Value roundBase() {
    return parseJson(R"({
        "type": "ardo",
        "base": {
            "manufacture_id": 4660, "manufacture_name": "Quindle", "model_id": 258, "model_name": "R340",
            "hardware_version": 3, "robot_size": "340 mm",
            "low_battery_percentage_for_charging": 0.2, "high_battery_percentage_for_charging": 0.9,
            "low_battery_auto_homing": true,
            "sensors": [
                {"id": 0, "type": "bumper", "installation_pose": {"x": 0.12, "y": 0.12, "z": 0.02, "yaw": "45 deg"}},
                {"id": 1, "type": "bumper", "installation_pose": {"x": 0.17, "y": 0, "z": 0.02, "yaw": 0}},
                {"id": 2, "type": "bumper", "installation_pose": {"x": 0.12, "y": -0.12, "z": 0.02, "yaw": "-45 deg"}},
                {"id": 3, "type": "cliff", "installation_pose": {"x": 0.15, "y": 0.05, "z": -0.01}},
                {"id": 4, "type": "cliff", "installation_pose": {"x": 0.15, "y": -0.05, "z": -0.01}},
                {"id": 5, "type": "sonar", "installation_pose": {"x": 0.16, "y": 0.06, "z": 0.05, "yaw": "20 deg"}},
                {"id": 6, "type": "sonar", "installation_pose": {"x": 0.17, "y": 0, "z": 0.05}},
                {"id": 7, "type": "sonar", "installation_pose": {"x": 0.16, "y": -0.06, "z": 0.05, "yaw": "-20 deg"}}
            ]
        },
        "lidar": {"installation_pose": {"x": 0.05, "y": 0, "yaw": "180 deg"}},
        "motion_plan": {"side_margin": "5 cm", "bump_handle_strategy": "stop"},
        "features": {"has_ir_docking_tower": true},
        "docking": {"dock_supported": false}
    })");
}

// The console's configuration step: binary -> JSON -> merge -> schema.
bool readFromBinary(const std::vector<uint8_t>& bytes, SystemConfig& config) {
    Json::Value decoded;
    if (!parseBinaryConfig(bytes.size(), bytes.data(), decoded)) {
        return false;
    }
    Json::Value target;
    mergeWithWhiteList({}, parseJson(WHITE_LIST), target, parseJson(REFERENCE_CONFIG), decoded);
    return readSystemConfig(target, config);
}

}  // namespace

TEST(ConfigPipeline, BuiltinTextsHoldTheExpectedEntries) {
    const Json::Value reference = parseJson(REFERENCE_CONFIG);
    EXPECT_EQ("tessel", reference["type"].asString());
    EXPECT_EQ(6450, reference["base"]["encoder_ticks_per_meter"].asInt());
    EXPECT_EQ("360 deg", reference["lidar"]["aperture"].asString());
    EXPECT_FALSE(reference["base"].isMember("robot_size"));
    const Json::Value whiteList = parseJson(WHITE_LIST);
    EXPECT_EQ(10u, whiteList["base"].size());
    EXPECT_EQ("combine", whiteList["base"]["sensors"].asString());
    EXPECT_EQ("accept", whiteList["base"]["high_battery_percentage_for_charging"].asString());
    EXPECT_EQ("accept", whiteList["features"].asString());
    EXPECT_EQ(2u, whiteList["motion_plan"].size());
}

TEST(ConfigPipeline, RoundBaseReadsThroughBinaryMergeAndSchema) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encodeBinaryConfig(roundBase(), bytes));
    ASSERT_LE(bytes.size(), 2048u);  // fits the console's buffer

    LogCapture capture;
    SystemConfig config;
    ASSERT_TRUE(readFromBinary(bytes, config));
    EXPECT_TRUE(capture.messages().empty());

    EXPECT_EQ(BaseType::Tessel, config.type);  // the reference's, not the base's
    EXPECT_EQ(0x1234, config.base.manufacture_id);
    EXPECT_EQ("Quindle", config.base.manufacture_name);
    EXPECT_EQ(0x0102, config.base.model_id);
    EXPECT_EQ("R340", config.base.model_name);
    EXPECT_EQ(3, config.base.hardware_version);
    EXPECT_DOUBLE_EQ(0.34, config.base.robot_size);
    EXPECT_FLOAT_EQ(0.3f, config.base.robot_line_speed);
    EXPECT_EQ(6450, config.base.encoder_ticks_per_meter);
    EXPECT_FLOAT_EQ(0.2f, config.base.low_battery_percentage_for_charging);
    EXPECT_FLOAT_EQ(0.9f, config.base.high_battery_percentage_for_resume);  // the base's name for it
    EXPECT_TRUE(config.base.low_battery_auto_homing);

    ASSERT_EQ(8u, config.base.sensors.size());
    const SensorKind kinds[] = {SensorKind::Bumper, SensorKind::Bumper, SensorKind::Bumper, SensorKind::Cliff,
                                SensorKind::Cliff,  SensorKind::Sonar,  SensorKind::Sonar,  SensorKind::Sonar};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(static_cast<int32_t>(i), config.base.sensors[i].id);
        EXPECT_EQ(kinds[i], config.base.sensors[i].type);
        EXPECT_EQ("control_bus", config.base.sensors[i].driver);
    }
    EXPECT_NEAR(0.785398, config.base.sensors[0].installation_pose.yaw, 1e-6);
    EXPECT_DOUBLE_EQ(-0.01, config.base.sensors[4].installation_pose.z);
    EXPECT_DOUBLE_EQ(-0.06, config.base.sensors[7].installation_pose.y);

    EXPECT_DOUBLE_EQ(0.05, config.lidar.installation_pose.x);
    EXPECT_NEAR(3.14159265, config.lidar.installation_pose.yaw, 1e-8);
    EXPECT_NEAR(6.2831853, config.lidar.aperture, 1e-7);
    EXPECT_FLOAT_EQ(0.05f, config.motion_plan.side_margin);
    EXPECT_EQ(BumpStrategy::Stop, config.motion_plan.bump_handle_strategy);
    EXPECT_FLOAT_EQ(0.31f, config.motion_plan.distance_threshold);
    EXPECT_TRUE(config.features.has_ir_docking_tower);
    EXPECT_TRUE(config.docking.dock_supported);  // not trusted from the base
}

TEST(ConfigPipeline, BaseWithoutIdentityReadsWithDefaults) {
    // Only what is required from the base: the white-listed identity members
    // come out of the merge as nulls and read as absent.
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encodeBinaryConfig(parseJson(R"({"base": {"robot_size": 0.3}})"), bytes));
    SystemConfig config;
    ASSERT_TRUE(readFromBinary(bytes, config));
    EXPECT_EQ(-1, config.base.manufacture_id);
    EXPECT_EQ("UNKNOWN", config.base.manufacture_name);
    EXPECT_FALSE(config.base.low_battery_auto_homing);
    EXPECT_FLOAT_EQ(0.95f, config.base.high_battery_percentage_for_resume);  // the schema's: the base sent none
    EXPECT_TRUE(config.base.sensors.empty());
}

TEST(ConfigPipeline, BaseWithoutRobotSizeFailsTheSchema) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encodeBinaryConfig(parseJson(R"({"features": {"has_ir_docking_tower": true}})"), bytes));
    LogCapture capture;
    SystemConfig config;
    EXPECT_FALSE(readFromBinary(bytes, config));
    EXPECT_EQ("Child `robot_size' not found", capture.reports().at(1));
}

TEST(ConfigPipeline, CorruptedAndRandomInputsNeverCrash) {
    std::vector<uint8_t> good;
    ASSERT_TRUE(encodeBinaryConfig(roundBase(), good));
    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = good;
        if (round % 3 == 0) {
            bytes.resize(random() % 64);
            for (uint8_t& byte : bytes) {
                byte = static_cast<uint8_t>(random());
            }
        } else {
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i) {
                bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
            }
            bytes.resize(bytes.size() - random() % 3);
        }
        LogCapture capture;
        SystemConfig config;
        EXPECT_NO_THROW(readFromBinary(bytes, config));
    }
}

TEST(ConfigPipeline, RandomUnitTextsNeverCrash) {
    const std::string alphabet = "0123456789+-.*/ mkgsdegpirahourctfn\t";
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 16, ' ');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        int32_t i = 0;
        float f = 0.0f;
        double d = 0.0;
        EXPECT_NO_THROW({
            parseIntWithUnits(text, i);
            parseFloatWithUnits(text, f);
            parseDoubleWithUnits(text, d);
        }) << text;
    }
}
