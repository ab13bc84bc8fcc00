// What the driver puts on the wire, and how failures of the exchange pass
// through it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "drv/QuindleBaseDrv.h"
#include "net/Result.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::net;
using namespace tests::support;

namespace {

class DriverRequests : public ::testing::Test {
protected:
    void SetUp() override { rig.base.scriptHealthyBase(); }

    // The single request received since the last call.
    BaseRequest onlyRequest() {
        std::vector<BaseRequest> received = rig.base.requests();
        rig.base.clearRequests();
        EXPECT_EQ(received.size(), 1u);
        return received.empty() ? BaseRequest() : received.front();
    }

    ScriptedDriverRig rig;
};

TEST_F(DriverRequests, ReadRequestsCarryOnlyTheirCode) {
    base_status_response_t status;
    ASSERT_EQ(rig.driver.getStatus(status), RESULT_OK);
    EXPECT_EQ(onlyRequest().frame, (Bytes{0x10, 0x02, 0xF8, 0x30, 0xDA}));

    base_conf_response_t conf;
    base_motor_status_response_t motor;
    base_sensor_data_response_t sensors;
    base_bumper_data_response_t bumper;
    uint8_t command;
    uint8_t binary[16];
    uint32_t binarySize = sizeof(binary);
    rig.driver.getConfig(conf);
    EXPECT_EQ(onlyRequest().payload, Bytes{0x20});
    rig.driver.getBinaryConfig(binary, binarySize);
    EXPECT_EQ(onlyRequest().payload, Bytes{0x21});
    rig.driver.getMotorData(motor);
    EXPECT_EQ(onlyRequest().payload, Bytes{0x31});
    rig.driver.getSensorData(sensors);
    EXPECT_EQ(onlyRequest().payload, Bytes{0x32});
    rig.driver.getBumperData(bumper);
    EXPECT_EQ(onlyRequest().payload, Bytes{0x33});
    rig.driver.pollCommand(command);
    EXPECT_EQ(onlyRequest().payload, Bytes{0x50});
}

TEST_F(DriverRequests, ArgumentsFollowTheCodeAsLittleEndianBytes) {
    base_connect_response_t info;
    ASSERT_EQ(rig.driver.connect(info), RESULT_OK);
    EXPECT_EQ(onlyRequest().frame, (Bytes{0x10, 0x03, 0xF8, 0x10, 0x01, 0xFA}));

    uint8_t autohome[5];
    uint32_t size = sizeof(autohome);
    ASSERT_EQ(rig.driver.getAutoHomeData(0, autohome, &size), RESULT_OK);
    EXPECT_EQ(onlyRequest().payload, (Bytes{0x34, 0x00}));

    ASSERT_EQ(rig.driver.sendEvent(99), RESULT_OK);
    EXPECT_EQ(onlyRequest().payload, (Bytes{0x60, 99}));

    base_set_motor_request_t motor{100, -2, {0, 0}};
    ASSERT_EQ(rig.driver.setMotor(motor), RESULT_OK);
    EXPECT_EQ(onlyRequest().payload,
              (Bytes{0x40, 100, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));

    base_set_velocity_request_t velocity{0x00010000, -1, 0x12345678};
    base_set_velocity_response_t moved;
    ASSERT_EQ(rig.driver.setVelocity(velocity, moved), RESULT_OK);
    EXPECT_EQ(onlyRequest().payload,
              (Bytes{0x41, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12}));
}

TEST_F(DriverRequests, GetInfoAnswerSendsTheWhole89ByteRecord) {
    base_get_info_answer_t info = {};
    std::memcpy(info.model, "HOST", 4);
    info.firmware_version = 0x0102;
    info.info_flag = 1;
    std::memcpy(info.device_name, "console", 7);
    std::memcpy(info.host_address, "127.0.0.1", 9);
    ASSERT_EQ(rig.driver.answerGetInfo(info), RESULT_OK);
    BaseRequest request = onlyRequest();
    ASSERT_EQ(request.payload.size(), 90u);
    EXPECT_EQ(request.code, REQ_ANSWER_GET_INFO);
    EXPECT_EQ(std::memcmp(request.args.data(), &info, sizeof(info)), 0);
    EXPECT_EQ(request.args[12], 0x02);
    EXPECT_EQ(request.args[13], 0x01);
    EXPECT_EQ(request.args[28], 1);
    EXPECT_EQ(request.args[29], 'c');
    EXPECT_EQ(request.args[69], '1');
}

TEST_F(DriverRequests, ErrorAnswersPassThroughAndLeaveTheRecord) {
    rig.base.fail(REQ_GET_CONFIG, 0x8000);
    base_conf_response_t conf;
    std::memset(&conf, 0xEE, sizeof(conf));
    EXPECT_EQ(rig.driver.getConfig(conf), RESULT_OPERATION_NOT_SUPPORT);
    EXPECT_EQ(conf.base_type, 0xEE);

    rig.base.fail(REQ_GET_MOTOR_DATA, 0x0001);
    base_motor_status_response_t motor;
    std::memset(&motor, 0xEE, sizeof(motor));
    EXPECT_EQ(rig.driver.getMotorData(motor), RESULT_OPERATION_FAIL);
    EXPECT_EQ(motor.motor_state, 0xEE);

    rig.base.script(REQ_SET_MOTOR, BaseReply::errorPayload(Bytes{0x00}));
    EXPECT_EQ(rig.driver.setMotor(base_set_motor_request_t{}), RESULT_OPERATION_FAIL);

    rig.base.fail(REQ_GET_BINARY_CONFIG, 0x8000);
    uint8_t buffer[4];
    uint32_t size = sizeof(buffer);
    EXPECT_EQ(rig.driver.getBinaryConfig(buffer, size), RESULT_OPERATION_NOT_SUPPORT);
    EXPECT_EQ(size, 4u);
}

TEST_F(DriverRequests, ChannelWriteFailuresPassThroughUnchanged) {
    rig.channel.failWrites(RESULT_OPERATION_TIMEOUT);
    base_status_response_t status{7, 7};
    EXPECT_EQ(rig.driver.getStatus(status), RESULT_OPERATION_TIMEOUT);
    EXPECT_EQ(status.battery_percentage, 7);
    rig.channel.failWrites(RESULT_OPERATION_FAIL);
    EXPECT_EQ(rig.driver.sendEvent(1), RESULT_OPERATION_FAIL);
    EXPECT_EQ(rig.base.requestCount(), 0u);

    rig.channel.failWrites(RESULT_OK);
    EXPECT_EQ(rig.driver.getStatus(status), RESULT_OK);
    EXPECT_EQ(status.battery_percentage, 80);
}

TEST_F(DriverRequests, BadBufferArgumentsAreRejectedBeforeAnythingIsSent) {
    uint32_t size = 16;
    EXPECT_EQ(rig.driver.getBinaryConfig(nullptr, size), RESULT_INVALID_DATA);
    EXPECT_EQ(size, 16u);
    uint8_t buffer[5];
    EXPECT_EQ(rig.driver.getAutoHomeData(0, buffer, nullptr), RESULT_INVALID_DATA);
    size = 5;
    EXPECT_EQ(rig.driver.getAutoHomeData(0, nullptr, &size), RESULT_INVALID_DATA);
    EXPECT_EQ(rig.base.requestCount(), 0u);

    // A zero capacity needs no buffer: the request is made, nothing copied.
    size = 0;
    EXPECT_EQ(rig.driver.getAutoHomeData(0, nullptr, &size), RESULT_OK);
    EXPECT_EQ(size, 0u);
}

TEST_F(DriverRequests, SilentBaseTimesOutAfterAboutOneSecond) {
    rig.base.silence(REQ_GET_STATUS);
    base_status_response_t status{7, 7};
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.driver.getStatus(status), RESULT_OPERATION_TIMEOUT);
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    EXPECT_EQ(status.battery_percentage, 7);
    EXPECT_EQ(rig.base.requestCount(REQ_GET_STATUS), 1u);
}

TEST(DriverWithoutChannel, UnboundEndpointFailsAtOnce) {
    ControlEndpoint endpoint;
    QuindleBaseDrv driver(&endpoint);
    base_status_response_t status{7, 7};
    EXPECT_EQ(driver.getStatus(status), RESULT_OPERATION_FAIL);
    EXPECT_EQ(driver.setMotor(base_set_motor_request_t{}), RESULT_OPERATION_FAIL);
    EXPECT_EQ(status.battery_percentage, 7);

    QuindleBaseDrv orphan(nullptr);
    EXPECT_EQ(orphan.sendEvent(1), RESULT_OPERATION_FAIL);
}

}  // namespace
