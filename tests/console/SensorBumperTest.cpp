// The sensor and bumper commands: raw values labelled with the configured
// sensors, through the real frame against a scripted base.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;
using namespace zorn::drv;

namespace {

class SensorBumper : public ::testing::Test {
protected:
    // A binary configuration whose sensor list is `sensorsJson`.
    void configureSensors(const std::string& sensorsJson) {
        rig.base.answer(REQ_GET_BINARY_CONFIG,
                        binaryConfig(R"({"base": {"robot_size": 0.3, "sensors": )" + sensorsJson + "}}"));
    }
    // `count` sensors of one kind with ids from 0.
    static std::string sensorsOfKind(const std::string& kind, int count) {
        std::string json = "[";
        for (int i = 0; i < count; ++i) {
            json += (i ? "," : "") + std::string(R"({"id": )") + std::to_string(i) + R"(, "type": ")" + kind + "\"}";
        }
        return json + "]";
    }

    ConsoleRig rig;
};

const char* const SONAR_BUMPER_SONAR = R"([
    {"id": 0, "type": "sonar"},
    {"id": 1, "type": "bumper", "installation_pose": {"x": 0.1, "y": -0.05, "z": 0.02, "yaw": "30 deg"}},
    {"id": 2, "type": "sonar"}])";

}  // namespace

TEST_F(SensorBumper, SonarValuesFollowTheSonarsInListOrder) {
    configureSensors(SONAR_BUMPER_SONAR);
    base_sensor_data_response_t data = {};
    data.sensor_value[0] = 500u << 16;
    data.sensor_value[1] = (1250u << 16) | 0x8000u;  // 1250.5 mm
    data.sensor_value[2] = 7u << 16;                 // belongs to no sonar
    rig.base.answerRecord(REQ_GET_SENSOR_DATA, data);
    ASSERT_EQ(0, rig.run({"sensor"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Sensor Values:", "[INFO] \t0 : 500.0mm", "[INFO] \t2 : 1250.5mm"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG, REQ_GET_SENSOR_DATA}));

    // The same list for the bumper command: one line, at index 1.
    rig.base.answerRecord(REQ_GET_BUMPER_DATA, base_bumper_data_response_t{0x1});
    ASSERT_EQ(0, rig.run({"bumper"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[INFO] Bumper/Cliff Values:", "[INFO] \t[ ] #1   X:10.0 cm Y:-5.0 cm Z:2.0  cm Yaw:30.0deg"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG, REQ_GET_BUMPER_DATA}));
}

TEST_F(SensorBumper, BumperBitsMarkTheBumperAndCliffLinesInOrder) {
    configureSensors(R"([{"id": 10, "type": "bumper"}, {"id": 11, "type": "cliff", "installation_pose": {"z": -0.01}},
                         {"id": 12, "type": "sonar"}, {"id": 13, "type": "bumper"}])");
    rig.base.answerRecord(REQ_GET_BUMPER_DATA, base_bumper_data_response_t{0});
    ASSERT_EQ(0, rig.run({"bumper"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Bumper/Cliff Values:",
                                         "[INFO] \t[X] #0   X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg",
                                         "[INFO] \t[X] #1   X:0.0  cm Y:0.0  cm Z:-1.0 cm Yaw:0.0deg",
                                         "[INFO] \t[X] #3   X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg"}));

    // Bits 0 and 2: the sonar does not take a bit, so the third bit is the
    // second bumper's.
    rig.base.answerRecord(REQ_GET_BUMPER_DATA, base_bumper_data_response_t{0x5});
    ASSERT_EQ(0, rig.run({"bumper"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Bumper/Cliff Values:",
                                         "[INFO] \t[ ] #0   X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg",
                                         "[INFO] \t[X] #1   X:0.0  cm Y:0.0  cm Z:-1.0 cm Yaw:0.0deg",
                                         "[INFO] \t[ ] #3   X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg"}));
}

TEST_F(SensorBumper, LegacyBaseNumbersItsSonarsAfterItsBumpers) {
    // The healthy scripted base only has the legacy record: bumper, cliff,
    // then two sonars at 500 and 1250 mm.
    ASSERT_EQ(0, rig.run({"sensor"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[FATL] Failed to get binary config from base",
                     "[WARN] The base doesn't support binary config, using legacy config interface",
                     "[INFO] Sensor Values:", "[INFO] \t2 : 500.0mm", "[INFO] \t3 : 1250.0mm"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG, REQ_GET_CONFIG, REQ_GET_SENSOR_DATA}));

    ASSERT_EQ(0, rig.run({"bumper"}));  // bit 0 set only
    const Lines lines = rig.commandLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()),
              (Lines{"[INFO] Bumper/Cliff Values:", "[INFO] \t[ ] #0   X:16.0 cm Y:5.0  cm Z:2.0  cm Yaw:20.0deg",
                     "[INFO] \t[X] #1   X:16.0 cm Y:0.0  cm Z:-1.0 cm Yaw:0.0deg"}));
}

TEST_F(SensorBumper, WithoutSonarsOnlyTheHeaderIsPrinted) {
    configureSensors(sensorsOfKind("bumper", 3));
    ASSERT_EQ(0, rig.run({"sensor"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Sensor Values:"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG, REQ_GET_SENSOR_DATA}));
}

TEST_F(SensorBumper, OnlySixteenSonarsHaveValues) {
    configureSensors(sensorsOfKind("sonar", 18));
    base_sensor_data_response_t data = {};
    for (uint32_t k = 0; k < 16; ++k) data.sensor_value[k] = (k + 1) << 16;
    Bytes answer = recordBytes(data);
    answer.insert(answer.end(), {0xFF, 0xFF, 0xFF, 0xFF});  // a 17th value the record has no room for
    rig.base.answer(REQ_GET_SENSOR_DATA, answer);
    ASSERT_EQ(0, rig.run({"sensor"}));
    const Lines lines = rig.commandLines();
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[1], "[INFO] \t0 : 1.0  mm");
    EXPECT_EQ(lines[16], "[INFO] \t15: 16.0 mm");
}

TEST_F(SensorBumper, BumpersPastTheThirtySecondReadClear) {
    configureSensors(sensorsOfKind("bumper", 33));
    rig.base.answerRecord(REQ_GET_BUMPER_DATA, base_bumper_data_response_t{0xFFFFFFFFu});
    ASSERT_EQ(0, rig.run({"bumper"}));
    const Lines lines = rig.commandLines();
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines[1], "[INFO] \t[ ] #0   X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg");
    EXPECT_EQ(lines[32], "[INFO] \t[ ] #31  X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg");
    EXPECT_EQ(lines[33], "[INFO] \t[X] #32  X:0.0  cm Y:0.0  cm Z:0.0  cm Yaw:0.0deg");
}

TEST_F(SensorBumper, FailuresEndTheCommandWithoutItsHeader) {
    // The configuration step fails: the sensor request is never made.
    rig.base.fail(REQ_GET_BINARY_CONFIG, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"sensor"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Failed to get binary config from base"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_BINARY_CONFIG}));

    configureSensors(SONAR_BUMPER_SONAR);
    rig.base.fail(REQ_GET_SENSOR_DATA, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"sensor"}));
    EXPECT_TRUE(rig.commandLines().empty());

    rig.base.answer(REQ_GET_BUMPER_DATA, Bytes{1, 0, 0, 0, 0});  // longer than the bit set
    EXPECT_EQ(zorn::net::RESULT_INVALID_DATA, rig.run({"bumper"}));
    EXPECT_TRUE(rig.commandLines().empty());
}
