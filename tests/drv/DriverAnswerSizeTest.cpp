// How the driver checks and copies answers of every size.

#include <gtest/gtest.h>

#include <cstring>

#include "drv/QuindleBaseDrv.h"
#include "net/Result.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::net;
using namespace tests::support;

namespace {

// Bytes 0, 1, 2, ... n-1 (mod 256) plus `offset`.
Bytes counting(size_t n, uint8_t offset = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i + offset);
    }
    return b;
}

template <class Record>
Record filledWith(uint8_t value) {
    Record r;
    std::memset(&r, value, sizeof(r));
    return r;
}

template <class Record>
bool sameBytes(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

class DriverAnswers : public ::testing::Test {
protected:
    ScriptedDriverRig rig;
};

TEST_F(DriverAnswers, ConnectTakesTheFirst28BytesOfAnAnswerOfAtLeast28) {
    base_connect_response_t identity = ScriptedBase::healthyIdentity();
    rig.base.answerRecord(REQ_CONNECT, identity);
    base_connect_response_t info = filledWith<base_connect_response_t>(0xEE);
    ASSERT_EQ(rig.driver.connect(info), RESULT_OK);
    EXPECT_TRUE(sameBytes(info, identity));
    EXPECT_EQ(std::string(info.model, 10), "SCRIPTBASE");
    EXPECT_EQ(info.model[10], '\0');
    uint16_t firmware = info.firmware_version;
    uint32_t serial2 = info.serial_number[2];
    EXPECT_EQ(firmware, 0x0203);
    EXPECT_EQ(serial2, 0xCAFEF00Du);

    Bytes longer = recordBytes(identity);
    longer.push_back(0x77);
    longer.push_back(0x88);
    rig.base.answer(REQ_CONNECT, longer);
    info = filledWith<base_connect_response_t>(0xEE);
    EXPECT_EQ(rig.driver.connect(info), RESULT_OK);
    EXPECT_TRUE(sameBytes(info, identity));
}

TEST_F(DriverAnswers, ConnectRejectsA27ByteAnswerAndLeavesTheRecord) {
    rig.base.answer(REQ_CONNECT, counting(27, 1));
    const base_connect_response_t before = filledWith<base_connect_response_t>(0xEE);
    base_connect_response_t info = before;
    EXPECT_EQ(rig.driver.connect(info), RESULT_INVALID_DATA);
    EXPECT_TRUE(sameBytes(info, before));
}

TEST_F(DriverAnswers, GetConfigNeedsTheFull264ByteRecord) {
    Bytes image = counting(264, 3);
    // Radius 51200 (200 mm) little-endian at the odd offset 1.
    image[1] = 0x00;
    image[2] = 0xC8;
    image[3] = 0x00;
    image[4] = 0x00;
    rig.base.answer(REQ_GET_CONFIG, image);
    base_conf_response_t conf = filledWith<base_conf_response_t>(0xEE);
    ASSERT_EQ(rig.driver.getConfig(conf), RESULT_OK);
    EXPECT_EQ(std::memcmp(&conf, image.data(), 264), 0);
    uint32_t radius = conf.base_radius_q8;
    EXPECT_EQ(radius, 51200u);
    EXPECT_EQ(conf.base_bumper_num, image[135]);

    rig.base.answer(REQ_GET_CONFIG, counting(263));
    const base_conf_response_t before = filledWith<base_conf_response_t>(0xEE);
    conf = before;
    EXPECT_EQ(rig.driver.getConfig(conf), RESULT_INVALID_DATA);
    EXPECT_TRUE(sameBytes(conf, before));
}

TEST_F(DriverAnswers, GetBinaryConfigCopiesAtMostTheCapacityAndReportsTheCount) {
    const Bytes stream = counting(3000, 7);  // sent in a 16-bit length frame
    rig.base.answer(REQ_GET_BINARY_CONFIG, stream);
    Bytes buffer(2048 + 16, 0xEE);
    uint32_t size = 2048;
    ASSERT_EQ(rig.driver.getBinaryConfig(buffer.data(), size), RESULT_OK);
    EXPECT_EQ(size, 2048u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 2048, stream.begin()));
    for (size_t i = 2048; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << "written past the capacity at " << i;
    }

    rig.base.answer(REQ_GET_BINARY_CONFIG, counting(100));
    size = 2048;
    EXPECT_EQ(rig.driver.getBinaryConfig(buffer.data(), size), RESULT_OK);
    EXPECT_EQ(size, 100u);

    rig.base.answer(REQ_GET_BINARY_CONFIG, Bytes());
    size = 2048;
    EXPECT_EQ(rig.driver.getBinaryConfig(buffer.data(), size), RESULT_OK);
    EXPECT_EQ(size, 0u);
}

TEST_F(DriverAnswers, GetStatusReadsTheTwoByteRecordAndRejectsShorterAnswers) {
    rig.base.answer(REQ_GET_STATUS, Bytes{0x50, 0x07});
    base_status_response_t status = {};
    ASSERT_EQ(rig.driver.getStatus(status), RESULT_OK);
    EXPECT_EQ(status.battery_percentage, 80);
    EXPECT_EQ(status.charging_flags,
              CHARGING_FLAG_CHARGING | CHARGING_FLAG_DC_CONNECTED | CHARGING_FLAG_ON_CHARGING_BASE);

    rig.base.answer(REQ_GET_STATUS, Bytes{0x50, 0x01, 0x99});
    ASSERT_EQ(rig.driver.getStatus(status), RESULT_OK);
    EXPECT_EQ(status.charging_flags, 1);

    rig.base.answer(REQ_GET_STATUS, Bytes{0x50});
    status = base_status_response_t{1, 2};
    EXPECT_EQ(rig.driver.getStatus(status), RESULT_INVALID_DATA);
    EXPECT_EQ(status.battery_percentage, 1);
    EXPECT_EQ(status.charging_flags, 2);
}

TEST_F(DriverAnswers, MotorDataIsZeroFilledOrCutToNineBytes) {
    base_motor_status_response_t motor = filledWith<base_motor_status_response_t>(0xEE);
    rig.base.answer(REQ_GET_MOTOR_DATA, Bytes());
    ASSERT_EQ(rig.driver.getMotorData(motor), RESULT_OK);
    EXPECT_TRUE(sameBytes(motor, base_motor_status_response_t{}));

    // Eight bytes: both odometry values, motor_state left 0.
    rig.base.answer(REQ_GET_MOTOR_DATA, Bytes{0xE8, 0x03, 0, 0, 0x18, 0xFC, 0xFF, 0xFF});
    motor = filledWith<base_motor_status_response_t>(0xEE);
    ASSERT_EQ(rig.driver.getMotorData(motor), RESULT_OK);
    int32_t left = motor.left_wheel_odometry;
    int32_t right = motor.right_wheel_odometry;
    EXPECT_EQ(left, 1000);
    EXPECT_EQ(right, -1000);
    EXPECT_EQ(motor.motor_state, 0);

    rig.base.answer(REQ_GET_MOTOR_DATA, counting(12, 1));
    ASSERT_EQ(rig.driver.getMotorData(motor), RESULT_OK);
    EXPECT_EQ(motor.motor_state, 9);
}

TEST_F(DriverAnswers, SensorDataIsZeroFilledOrCutTo64Bytes) {
    rig.base.answer(REQ_GET_SENSOR_DATA, counting(6, 1));
    base_sensor_data_response_t sensors = filledWith<base_sensor_data_response_t>(0xEE);
    ASSERT_EQ(rig.driver.getSensorData(sensors), RESULT_OK);
    uint32_t v0 = sensors.sensor_value[0];
    uint32_t v1 = sensors.sensor_value[1];
    uint32_t v15 = sensors.sensor_value[15];
    EXPECT_EQ(v0, 0x04030201u);
    EXPECT_EQ(v1, 0x00000605u);
    EXPECT_EQ(v15, 0u);

    rig.base.answer(REQ_GET_SENSOR_DATA, counting(70, 1));
    ASSERT_EQ(rig.driver.getSensorData(sensors), RESULT_OK);
    v15 = sensors.sensor_value[15];
    EXPECT_EQ(v15, 0x403F3E3Du);
}

TEST_F(DriverAnswers, BumperAnswersOverFourBytesAreInvalidShortOnesZeroFilled) {
    rig.base.answer(REQ_GET_BUMPER_DATA, Bytes{1, 2, 3, 4, 5});
    base_bumper_data_response_t bumper{0xDEADBEEF};
    EXPECT_EQ(rig.driver.getBumperData(bumper), RESULT_INVALID_DATA);
    uint32_t bits = bumper.bumper_bits;
    EXPECT_EQ(bits, 0xDEADBEEFu);

    rig.base.answer(REQ_GET_BUMPER_DATA, Bytes{0x34, 0x12});
    ASSERT_EQ(rig.driver.getBumperData(bumper), RESULT_OK);
    bits = bumper.bumper_bits;
    EXPECT_EQ(bits, 0x1234u);

    rig.base.answer(REQ_GET_BUMPER_DATA, Bytes());
    bumper.bumper_bits = 0xFFFFFFFF;
    ASSERT_EQ(rig.driver.getBumperData(bumper), RESULT_OK);
    bits = bumper.bumper_bits;
    EXPECT_EQ(bits, 0u);

    rig.base.answer(REQ_GET_BUMPER_DATA, Bytes{1, 0, 0, 0x80});
    ASSERT_EQ(rig.driver.getBumperData(bumper), RESULT_OK);
    bits = bumper.bumper_bits;
    EXPECT_EQ(bits, 0x80000001u);
}

TEST_F(DriverAnswers, AutoHomeCopiesAtMostTheGivenSizeAndReportsTheCount) {
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof(buffer));
    uint32_t size = 5;
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{2, 3, 0x01, 0x03, 0x02, 0x55, 0x66});
    ASSERT_EQ(rig.driver.getAutoHomeData(0, buffer, &size), RESULT_OK);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{2, 3, 0x01, 0x03, 0x02, 0xEE}));

    std::memset(buffer, 0xEE, sizeof(buffer));
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{1, 1, 0x01});
    size = 5;
    ASSERT_EQ(rig.driver.getAutoHomeData(0, buffer, &size), RESULT_OK);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 1, 0x01, 0xEE, 0xEE}));
}

TEST_F(DriverAnswers, SetVelocityAnswerIsZeroFilledOrCutTo13Bytes) {
    base_set_velocity_request_t req{65536, 0, -65536};
    base_set_velocity_response_t response = filledWith<base_set_velocity_response_t>(0xEE);
    rig.base.answer(REQ_SET_VELOCITY, counting(12, 1));
    ASSERT_EQ(rig.driver.setVelocity(req, response), RESULT_OK);
    int32_t dtheta = response.dtheta_q16;
    EXPECT_EQ(dtheta, 0x0C0B0A09);
    EXPECT_EQ(response.velocity_state, 0);

    rig.base.answer(REQ_SET_VELOCITY, counting(20, 1));
    ASSERT_EQ(rig.driver.setVelocity(req, response), RESULT_OK);
    EXPECT_EQ(response.velocity_state, 13);
}

TEST_F(DriverAnswers, PollCommandNeedsOneByte) {
    uint8_t command = 0x77;
    rig.base.answer(REQ_POLL_COMMAND, Bytes());
    EXPECT_EQ(rig.driver.pollCommand(command), RESULT_INVALID_DATA);
    EXPECT_EQ(command, 0x77);

    rig.base.answer(REQ_POLL_COMMAND, Bytes{BASE_CMD_GET_INFO, 0x00});
    ASSERT_EQ(rig.driver.pollCommand(command), RESULT_OK);
    EXPECT_EQ(command, BASE_CMD_GET_INFO);
}

TEST_F(DriverAnswers, AnswersOfRequestsWithoutARecordAreIgnored) {
    rig.base.answer(REQ_SET_MOTOR, counting(40));
    rig.base.answer(REQ_SEND_EVENT, Bytes{1});
    rig.base.answer(REQ_ANSWER_GET_INFO, Bytes());
    EXPECT_EQ(rig.driver.setMotor(base_set_motor_request_t{}), RESULT_OK);
    EXPECT_EQ(rig.driver.sendEvent(3), RESULT_OK);
    EXPECT_EQ(rig.driver.answerGetInfo(base_get_info_answer_t{}), RESULT_OK);
}

}  // namespace
