// How the driver checks answers of every size and turns them into values.

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "drv/FixedPoint.h"
#include "drv/QuindleBaseDrv.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::net;
using namespace tests::support;

namespace {

// Bytes offset, offset + 1, ... (mod 256), n of them.
Bytes counting(size_t n, uint8_t offset = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i + offset);
    return b;
}

// Which answer sizes each request takes: an answer it cannot use fails as
// invalid, and everything else is taken (zero-filled or cut, as the value
// tests below show).
struct SizeRule {
    const char* name;
    uint8_t code;
    size_t answerBytes;
    Done (*call)(QuindleBaseDrv&);
    bool valid;
};
void PrintTo(const SizeRule& c, std::ostream* os) { *os << c.name; }

Done connect(QuindleBaseDrv& d) { return outcomeOf(d.connect()); }
Done getConfig(QuindleBaseDrv& d) { return outcomeOf(d.getConfig()); }
Done getBinaryConfig(QuindleBaseDrv& d) { return outcomeOf(d.getBinaryConfig()); }
Done getStatus(QuindleBaseDrv& d) { return outcomeOf(d.getStatus()); }
Done getMotorData(QuindleBaseDrv& d) { return outcomeOf(d.getMotorData()); }
Done getSensorData(QuindleBaseDrv& d) { return outcomeOf(d.getSensorData()); }
Done getBumperData(QuindleBaseDrv& d) { return outcomeOf(d.getBumperData()); }
Done getAutoHomeData(QuindleBaseDrv& d) { return outcomeOf(d.getAutoHomeData()); }
Done setVelocity(QuindleBaseDrv& d) { return outcomeOf(d.setVelocity(0.5, 0, 0)); }
Done pollCommand(QuindleBaseDrv& d) { return outcomeOf(d.pollCommand()); }
// The requests whose answer is not read.
Done setWheelSpeeds(QuindleBaseDrv& d) { return d.setWheelSpeeds(0.1, 0.1); }
Done sendEvent(QuindleBaseDrv& d) { return d.sendEvent(3); }
Done answerGetInfo(QuindleBaseDrv& d) { return d.answerGetInfo(base_get_info_answer_t{}); }

class AnswerSizes : public ::testing::TestWithParam<SizeRule> {};

TEST_P(AnswerSizes, InvalidOnlyWhereTheRequestCannotUseTheAnswer) {
    const SizeRule& rule = GetParam();
    ScriptedDriverRig rig;
    rig.base.answer(rule.code, counting(rule.answerBytes, 1));
    const Done outcome = rule.call(rig.driver);
    ASSERT_EQ(rule.valid, outcome.ok());
    if (rule.valid) return;
    EXPECT_EQ(Cause::InvalidAnswer, outcome.failure().cause);
    EXPECT_EQ(RESULT_INVALID_DATA, outcome.result());
    EXPECT_TRUE(outcome.failure().written);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, AnswerSizes,
    ::testing::Values(SizeRule{"connect28", REQ_CONNECT, 28, connect, true},
                      SizeRule{"connect30", REQ_CONNECT, 30, connect, true},
                      SizeRule{"connect27", REQ_CONNECT, 27, connect, false},
                      SizeRule{"config264", REQ_GET_CONFIG, 264, getConfig, true},
                      SizeRule{"config265", REQ_GET_CONFIG, 265, getConfig, true},
                      SizeRule{"config263", REQ_GET_CONFIG, 263, getConfig, false},
                      SizeRule{"binaryConfig0", REQ_GET_BINARY_CONFIG, 0, getBinaryConfig, true},
                      SizeRule{"binaryConfig3000", REQ_GET_BINARY_CONFIG, 3000, getBinaryConfig, true},
                      SizeRule{"status2", REQ_GET_STATUS, 2, getStatus, true},
                      SizeRule{"status3", REQ_GET_STATUS, 3, getStatus, true},
                      SizeRule{"status1", REQ_GET_STATUS, 1, getStatus, false},
                      SizeRule{"motor0", REQ_GET_MOTOR_DATA, 0, getMotorData, true},
                      SizeRule{"motor12", REQ_GET_MOTOR_DATA, 12, getMotorData, true},
                      SizeRule{"sensor6", REQ_GET_SENSOR_DATA, 6, getSensorData, true},
                      SizeRule{"sensor70", REQ_GET_SENSOR_DATA, 70, getSensorData, true},
                      SizeRule{"bumper0", REQ_GET_BUMPER_DATA, 0, getBumperData, true},
                      SizeRule{"bumper4", REQ_GET_BUMPER_DATA, 4, getBumperData, true},
                      SizeRule{"bumper5", REQ_GET_BUMPER_DATA, 5, getBumperData, false},
                      SizeRule{"autoHome3", REQ_GET_AUTOHOME_DATA, 3, getAutoHomeData, true},
                      SizeRule{"autoHome7", REQ_GET_AUTOHOME_DATA, 7, getAutoHomeData, true},
                      SizeRule{"velocity12", REQ_SET_VELOCITY, 12, setVelocity, true},
                      SizeRule{"velocity20", REQ_SET_VELOCITY, 20, setVelocity, true},
                      SizeRule{"pollCommand1", REQ_POLL_COMMAND, 1, pollCommand, true},
                      SizeRule{"pollCommand0", REQ_POLL_COMMAND, 0, pollCommand, false},
                      SizeRule{"wheelSpeeds40", REQ_SET_MOTOR, 40, setWheelSpeeds, true},
                      SizeRule{"event1", REQ_SEND_EVENT, 1, sendEvent, true},
                      SizeRule{"getInfo0", REQ_ANSWER_GET_INFO, 0, answerGetInfo, true}),
    [](const ::testing::TestParamInfo<SizeRule>& info) { return std::string(info.param.name); });

class DriverValues : public ::testing::Test {
protected:
    ScriptedDriverRig rig;
};

TEST_F(DriverValues, ConnectKeepsTheFirst28Bytes) {
    const base_connect_response_t sent = ScriptedBase::healthyIdentity();
    Bytes longer = recordBytes(sent);
    longer.push_back(0x77);
    longer.push_back(0x88);
    for (const Bytes& answer : {recordBytes(sent), longer}) {
        rig.base.answer(REQ_CONNECT, answer);
        const auto identity = rig.driver.connect();
        ASSERT_TRUE(identity.ok());
        EXPECT_EQ(0, std::memcmp(&identity->record, &sent, sizeof sent));
        EXPECT_EQ("SCRIPTBASE", identity->model());
        const uint16_t firmware = identity->record.firmware_version;
        const uint32_t serial2 = identity->record.serial_number[2];
        EXPECT_EQ(0x0203, firmware);
        EXPECT_EQ(0xCAFEF00Du, serial2);
    }
}

TEST_F(DriverValues, GetConfigKeepsTheWholeRecord) {
    Bytes image = counting(264, 3);
    // Radius 51200 (200 mm) little-endian at the odd offset 1.
    image[1] = 0x00;
    image[2] = 0xC8;
    image[3] = 0x00;
    image[4] = 0x00;
    rig.base.answer(REQ_GET_CONFIG, image);
    const auto config = rig.driver.getConfig();
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(0, std::memcmp(&config->record, image.data(), 264));
    const uint32_t radius = config->record.base_radius_q8;
    EXPECT_EQ(51200u, radius);
    EXPECT_DOUBLE_EQ(200.0, config->radiusMm());
    EXPECT_EQ(image[135], config->bumperCount());
}

TEST_F(DriverValues, BinaryConfigIsCutAtTheCapacity) {
    const struct {
        size_t sent, capacity, kept;
    } cases[] = {
        {3000, QuindleBaseDrv::BINARY_CONFIG_CAPACITY, 2048},  // sent in a 16-bit length frame
        {100, QuindleBaseDrv::BINARY_CONFIG_CAPACITY, 100},
        {0, QuindleBaseDrv::BINARY_CONFIG_CAPACITY, 0},
        {100, 0, 0},  // the request is still made, nothing kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sent) + " bytes, capacity " + std::to_string(c.capacity));
        const Bytes stream = counting(c.sent, 7);
        rig.base.answer(REQ_GET_BINARY_CONFIG, stream);
        const size_t before = rig.base.requestCount(REQ_GET_BINARY_CONFIG);
        const auto config = rig.driver.getBinaryConfig(c.capacity);
        ASSERT_TRUE(config.ok());
        EXPECT_EQ(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(c.kept)), *config);
        EXPECT_EQ(before + 1, rig.base.requestCount(REQ_GET_BINARY_CONFIG));
    }
}

TEST_F(DriverValues, StatusReadsTheFirstTwoBytes) {
    rig.base.answer(REQ_GET_STATUS, Bytes{0x50, 0x07});
    auto status = rig.driver.getStatus();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(80, status->batteryPercent);
    EXPECT_EQ(CHARGING_FLAG_CHARGING | CHARGING_FLAG_DC_CONNECTED | CHARGING_FLAG_ON_CHARGING_BASE,
              status->chargingFlags);

    rig.base.answer(REQ_GET_STATUS, Bytes{0x50, 0x01, 0x99});
    status = rig.driver.getStatus();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(1, status->chargingFlags);
}

TEST_F(DriverValues, MotorDataIsZeroFilledOrCutToNineBytes) {
    rig.base.answer(REQ_GET_MOTOR_DATA, Bytes());
    auto motor = rig.driver.getMotorData();
    ASSERT_TRUE(motor.ok());
    EXPECT_EQ(0, motor->leftMm);
    EXPECT_EQ(0, motor->rightMm);
    EXPECT_EQ(0, motor->motorState);

    // Eight bytes: both odometers, the motor state left 0.
    rig.base.answer(REQ_GET_MOTOR_DATA, Bytes{0xE8, 0x03, 0, 0, 0x18, 0xFC, 0xFF, 0xFF});
    motor = rig.driver.getMotorData();
    ASSERT_TRUE(motor.ok());
    EXPECT_EQ(1000, motor->leftMm);
    EXPECT_EQ(-1000, motor->rightMm);
    EXPECT_EQ(0, motor->motorState);

    rig.base.answer(REQ_GET_MOTOR_DATA, counting(12, 1));
    motor = rig.driver.getMotorData();
    ASSERT_TRUE(motor.ok());
    EXPECT_EQ(9, motor->motorState);
}

TEST_F(DriverValues, SensorDataIsZeroFilledOrCutTo64BytesAndReadInMetres) {
    const auto metres = [](uint32_t q16Millimetres) { return q16Millimetres / Q16_ONE / 1000.0; };
    rig.base.answer(REQ_GET_SENSOR_DATA, counting(6, 1));
    auto sensors = rig.driver.getSensorData();
    ASSERT_TRUE(sensors.ok());
    EXPECT_DOUBLE_EQ(metres(0x04030201u), sensors->metres[0]);
    EXPECT_DOUBLE_EQ(metres(0x00000605u), sensors->metres[1]);
    EXPECT_EQ(0.0, sensors->metres[15]);

    rig.base.answer(REQ_GET_SENSOR_DATA, counting(70, 1));
    sensors = rig.driver.getSensorData();
    ASSERT_TRUE(sensors.ok());
    EXPECT_DOUBLE_EQ(metres(0x403F3E3Du), sensors->metres[15]);
}

TEST_F(DriverValues, BumperBitsOfAtMostFourBytesAreZeroFilled) {
    const struct {
        Bytes answer;
        uint32_t bits;
    } cases[] = {{{0x34, 0x12}, 0x1234u}, {{}, 0u}, {{1, 0, 0, 0x80}, 0x80000001u}};
    for (const auto& c : cases) {
        rig.base.answer(REQ_GET_BUMPER_DATA, c.answer);
        const auto bumpers = rig.driver.getBumperData();
        ASSERT_TRUE(bumpers.ok());
        EXPECT_EQ(c.bits, bumpers->bits);
    }
}

TEST_F(DriverValues, AutoHomeKeepsAtMostFiveBytesAndSaysHowManyCame) {
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{2, 3, 0x01, 0x03, 0x02, 0x55, 0x66});
    auto beacons = rig.driver.getAutoHomeData();
    ASSERT_TRUE(beacons.ok());
    EXPECT_EQ(5u, beacons->answerSize);
    EXPECT_EQ(2, beacons->beaconCount);
    EXPECT_EQ(3, beacons->probeCount);
    EXPECT_EQ((std::array<uint8_t, BASE_MAX_PROBES>{0x01, 0x03, 0x02}), beacons->probes);

    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{1, 1, 0x01});
    beacons = rig.driver.getAutoHomeData();
    ASSERT_TRUE(beacons.ok());
    EXPECT_EQ(3u, beacons->answerSize);
    EXPECT_EQ((std::array<uint8_t, BASE_MAX_PROBES>{0x01, 0, 0}), beacons->probes);
}

TEST_F(DriverValues, VelocityAnswerIsZeroFilledOrCutTo13Bytes) {
    rig.base.answer(REQ_SET_VELOCITY, counting(12, 1));
    auto moved = rig.driver.setVelocity(1.0, 0, -1.0);
    ASSERT_TRUE(moved.ok());
    EXPECT_DOUBLE_EQ(fromQ16(0x04030201), moved->dx);
    EXPECT_DOUBLE_EQ(radiansAsPrinted(fromQ16(0x0C0B0A09)), moved->dtheta);
    EXPECT_EQ(0, moved->velocityState);

    rig.base.answer(REQ_SET_VELOCITY, counting(20, 1));
    moved = rig.driver.setVelocity(1.0, 0, -1.0);
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(13, moved->velocityState);
}

TEST_F(DriverValues, PollCommandReadsTheFirstByte) {
    rig.base.answer(REQ_POLL_COMMAND, Bytes{BASE_CMD_GET_INFO, 0x00});
    const auto command = rig.driver.pollCommand();
    ASSERT_TRUE(command.ok());
    EXPECT_EQ(BASE_CMD_GET_INFO, *command);
}

}  // namespace
