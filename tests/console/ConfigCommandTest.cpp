// The config command on the binary and the legacy path, through the real
// frame against a scripted base.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"
#include "tests/support/JsonText.h"

using namespace tests::console;
using namespace zorn::drv;

namespace {

const char* const FULL_BASE = R"({
    "base": {
        "manufacture_id": 4660, "manufacture_name": "Quindle", "model_id": 258, "model_name": "R340",
        "hardware_version": 3, "robot_size": "340 mm",
        "low_battery_percentage_for_charging": 0.2, "high_battery_percentage_for_charging": 0.9,
        "low_battery_auto_homing": true,
        "sensors": [
            {"id": 0, "type": "bumper", "installation_pose": {"x": 0.12, "y": 0.12, "z": 0.02, "yaw": "45 deg"}},
            {"id": 3, "type": "cliff", "installation_pose": {"x": 0.15, "y": -0.05, "z": -0.01}},
            {"id": 5, "type": "sonar", "installation_pose": {"x": 0.16, "y": -0.06, "z": 0.05, "yaw": "-20 deg"}},
            {"id": 9, "type": "depth_camera", "installation_pose": {"x": -0.1, "y": 0, "yaw": "180 deg"}}
        ]
    },
    "lidar": {"installation_pose": {"x": 0.05, "y": -0.02, "yaw": "180 deg"}},
    "motion_plan": {"side_margin": "5 cm", "bump_handle_strategy": "stop"},
    "features": {"has_ir_docking_tower": true}
})";

const Lines FULL_SUMMARY = {
    "[INFO] Base Info",
    "[INFO]     Manufacture: Quindle (1234)",
    "[INFO]     Model: R340 (0102)",
    "[INFO]     Hardware Version: 3",
    "[INFO]     Robot Diameter: 34.0 cm",
    "[INFO] Lidar",
    "[INFO]     Installation Pose:  5.0 cm, -2.0 cm, 180.0 deg",
    "[INFO] Sensors: 4 sensors",
    "[INFO]     Sensor #0: Bumper at (12.0 cm, 12.0 cm, 45.0 deg)",
    "[INFO]     Sensor #3: Cliff at (15.0 cm, -5.0 cm,  0.0 deg)",
    "[INFO]     Sensor #5: Sonar at (16.0 cm, -6.0 cm, -20.0 deg)",
    "[INFO]     Sensor #9: Depth Camera at (-10.0 cm,  0.0 cm, 180.0 deg)",
    "[INFO] Motion Planning",
    "[INFO]     Side Margin:  5.0 cm",
    "[INFO]     Bumper Policy: stop",
    "[INFO] Features",
    "[INFO]     Has IR Tower: Yes",
    "[INFO]     Auto Home on Low Battery: Enabled",
    "[INFO]     Battery Level To Go Home: 20.0%",
    // The base's "high_battery_percentage_for_charging" is its name for the
    // resume level.
    "[INFO]     Battery Level To Resume: 90.0%",
};

const char* const BINARY_REFUSED = "[FATL] Failed to get binary config from base";
const char* const LEGACY_WARNING = "[WARN] The base doesn't support binary config, using legacy config interface";

class ConfigCommand : public ::testing::Test {
protected:
    ConsoleRig rig;
};

std::string styled(const std::string& jsonText) {
    return Json::StyledWriter().write(tests::support::parseJson(jsonText));
}

// Lines from the "Base Info" line on.
Lines summaryOf(const Lines& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "[INFO] Base Info") return Lines(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
    }
    return Lines();
}

}  // namespace

TEST_F(ConfigCommand, BinaryPathPrintsTheDecodedJsonThenTheWholeSummary) {
    rig.base.answer(REQ_GET_BINARY_CONFIG, binaryConfig(FULL_BASE));
    ASSERT_EQ(0, rig.run({"config"}));
    Lines expected = {"[INFO] Parsed JSON:\n" + styled(FULL_BASE)};
    expected.insert(expected.end(), FULL_SUMMARY.begin(), FULL_SUMMARY.end());
    EXPECT_EQ(rig.commandLines(), expected);
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG})) << "no legacy request on the binary path";
    EXPECT_EQ(rig.frameLines().back(), "[INFO] Successfully executed command");
}

TEST_F(ConfigCommand, BatteryLinesNeedTheTowerAndAutoHoming) {
    rig.base.answer(REQ_GET_BINARY_CONFIG, binaryConfig(R"({
        "base": {"robot_size": 0.3, "low_battery_auto_homing": false},
        "motion_plan": {"side_margin": "3 cm", "bump_handle_strategy": "default"},
        "features": {"has_ir_docking_tower": true}})"));
    ASSERT_EQ(0, rig.run({"config"}));
    Lines summary = summaryOf(rig.commandLines());
    ASSERT_GE(summary.size(), 6u);
    EXPECT_EQ(Lines(summary.end() - 6, summary.end()),
              (Lines{"[INFO] Motion Planning", "[INFO]     Side Margin:  3.0 cm", "[INFO]     Bumper Policy: default",
                     "[INFO] Features", "[INFO]     Has IR Tower: Yes",
                     "[INFO]     Auto Home on Low Battery: Disabled"}));

    // Without the tower nothing about homing is printed, whatever the base says.
    rig.base.answer(REQ_GET_BINARY_CONFIG, binaryConfig(R"({
        "base": {"robot_size": 0.3, "low_battery_auto_homing": true},
        "features": {"has_ir_docking_tower": false}})"));
    ASSERT_EQ(0, rig.run({"config"}));
    summary = summaryOf(rig.commandLines());
    ASSERT_GE(summary.size(), 2u);
    EXPECT_EQ(Lines(summary.end() - 2, summary.end()), (Lines{"[INFO] Features", "[INFO]     Has IR Tower: No"}));
}

TEST_F(ConfigCommand, UnsupportedBinaryRequestFallsBackToTheLegacyRecord) {
    // The healthy scripted base is a legacy one: 170 mm radius, two bumper
    // entries (the second below the floor) and two distance sensors.
    ASSERT_EQ(0, rig.run({"config"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{BINARY_REFUSED, LEGACY_WARNING, "[INFO] Base Info", "[INFO]     Manufacture:  (0000)",
                     "[INFO]     Model:  (0000)", "[INFO]     Hardware Version: 0",
                     "[INFO]     Robot Diameter: 34.0 cm", "[INFO] Sensors: 4 sensors",
                     "[INFO]     Sensor #0: Bumper at (16.0 cm,  5.0 cm, 20.0 deg)",
                     "[INFO]     Sensor #1: Cliff at (16.0 cm,  0.0 cm,  0.0 deg)",
                     "[INFO]     Sensor #2: Sonar at (15.0 cm,  0.0 cm,  0.0 deg)",
                     "[INFO]     Sensor #3: Sonar at ( 0.0 cm, 15.0 cm, 90.0 deg)"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG, REQ_GET_CONFIG}));
}

TEST_F(ConfigCommand, LegacyCountsAboveEightAreReportedAndCut) {
    base_conf_response_t conf = {};
    conf.base_radius_q8 = 0xFFFFFF00u;  // read unsigned: a very large robot, not a negative one
    conf.base_bumper_num = 10;
    conf.base_sensor_num = 9;
    for (int i = 0; i < 8; ++i) {
        conf.bumpers[i] = base_sensor_entry_t{(i + 1) * 2560, 0, i == 3 ? -256 : 0, 0};
        conf.sensors[i] = base_sensor_entry_t{0, (i + 1) * 2560, 0, static_cast<uint32_t>(i * 10 * 256)};
    }
    rig.base.answerRecord(REQ_GET_CONFIG, conf);
    ASSERT_EQ(0, rig.run({"config"}));
    const Lines lines = rig.commandLines();
    ASSERT_EQ(lines.size(), 4u + 5u + 1u + 16u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4),
              (Lines{BINARY_REFUSED, LEGACY_WARNING,
                     "[WARN] Bumpers/Cliff Sensors: 10 sensors (too many sensors, only 8 supported)",
                     "[WARN] Distance Sensors: 9 sensors (too many distance sensors, only 8 supported)"}));
    EXPECT_EQ(lines[8], "[INFO]     Robot Diameter: 3355443.0 cm");
    EXPECT_EQ(lines[9], "[INFO] Sensors: 16 sensors");
    EXPECT_EQ(lines[10], "[INFO]     Sensor #0: Bumper at ( 1.0 cm,  0.0 cm,  0.0 deg)");
    EXPECT_EQ(lines[13], "[INFO]     Sensor #3: Cliff at ( 4.0 cm,  0.0 cm,  0.0 deg)") << "z = -1 mm";
    EXPECT_EQ(lines[14], "[INFO]     Sensor #4: Bumper at ( 5.0 cm,  0.0 cm,  0.0 deg)") << "z = 0 is no cliff";
    EXPECT_EQ(lines[17], "[INFO]     Sensor #7: Bumper at ( 8.0 cm,  0.0 cm,  0.0 deg)");
    EXPECT_EQ(lines[18], "[INFO]     Sensor #8: Sonar at ( 0.0 cm,  1.0 cm,  0.0 deg)");
    EXPECT_EQ(lines[25], "[INFO]     Sensor #15: Sonar at ( 0.0 cm,  8.0 cm, 70.0 deg)");

    // The cliff entry sits 1 mm below the floor.
    rig.base.answer(REQ_GET_BUMPER_DATA, Bytes{0xFF});
    ASSERT_EQ(0, rig.run({"bumper"}));
    const Lines bumpers = rig.commandLines();
    ASSERT_EQ(bumpers.size(), 4u + 1u + 8u);
    EXPECT_EQ(bumpers[4], "[INFO] Bumper/Cliff Values:");
    EXPECT_EQ(bumpers[8], "[INFO] \t[ ] #3   X:4.0  cm Y:0.0  cm Z:-0.1 cm Yaw:0.0deg");
    EXPECT_EQ(bumpers[9], "[INFO] \t[ ] #4   X:5.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg");
}

TEST_F(ConfigCommand, OtherBinaryRequestFailuresAreReturnedWithoutFallback) {
    rig.base.fail(REQ_GET_BINARY_CONFIG, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"config"}));
    EXPECT_EQ(rig.commandLines(), (Lines{BINARY_REFUSED}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG}));
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 80008001");  // then the words

    rig.base.silence(REQ_GET_BINARY_CONFIG);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_TIMEOUT, rig.run({"config"}));
    EXPECT_EQ(rig.commandLines(), (Lines{BINARY_REFUSED}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG}));
}

TEST_F(ConfigCommand, UnreadableBinaryConfigurationsFailWithoutFallback) {
    for (const Bytes& bytes : {Bytes{0x60, 0x00}, Bytes{}, Bytes{0x50, 0x01, 0x26, 0x60}}) {
        SCOPED_TRACE(bytes.size());
        rig.base.answer(REQ_GET_BINARY_CONFIG, bytes);
        EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"config"}));
        EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Failed to parse binary config"}));
        EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG}));
    }

    // Decodes, but the merged configuration lacks the robot size.
    const char* const sizeless = R"({"features": {"has_ir_docking_tower": true}})";
    rig.base.answer(REQ_GET_BINARY_CONFIG, binaryConfig(sizeless));
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"config"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[INFO] Parsed JSON:\n" + styled(sizeless), "[FATL] Failed to parse to target config"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG}));
}

TEST_F(ConfigCommand, LegacyRequestFailureAfterTheFallbackIsTheResult) {
    rig.base.fail(REQ_GET_CONFIG, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"config"}));
    EXPECT_EQ(rig.commandLines(), (Lines{BINARY_REFUSED, LEGACY_WARNING}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG, REQ_GET_CONFIG}));

    rig.base.answer(REQ_GET_CONFIG, Bytes(263, 0));  // one byte short of the record
    EXPECT_EQ(zorn::net::RESULT_INVALID_DATA, rig.run({"config"}));
    EXPECT_EQ(rig.commandLines(), (Lines{BINARY_REFUSED, LEGACY_WARNING}));
}
