// What the driver puts on the wire, what it says a request does to the
// base's motion, and how failures of the exchange pass through it.

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "drv/QuindleBaseDrv.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::net;
using namespace tests::support;

namespace {

// A request code followed by 32-bit words, little-endian.
Bytes codeAndWords(uint8_t code, std::initializer_list<uint32_t> words) {
    Bytes out{code};
    for (uint32_t word : words) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
    return out;
}

// One request and the payload it must carry: the code, then the arguments
// as little-endian bytes. Speeds go as whole mm/s (rounded), velocities as
// 16.16 words (truncated toward zero).
struct WireCase {
    const char* name;
    void (*call)(QuindleBaseDrv&);
    Bytes payload;
    Bytes frame;  // the whole frame, where the test spells it out
};
void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class RequestBytes : public ::testing::TestWithParam<WireCase> {};

TEST_P(RequestBytes, AreTheCodeThenLittleEndianArguments) {
    const WireCase& c = GetParam();
    ScriptedDriverRig rig;
    c.call(rig.driver);
    const std::vector<BaseRequest> received = rig.base.requests();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(c.payload, received[0].payload);
    if (!c.frame.empty()) {
        EXPECT_EQ(c.frame, received[0].frame);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, RequestBytes,
    ::testing::Values(
        WireCase{"status", [](QuindleBaseDrv& d) { d.getStatus(); }, {REQ_GET_STATUS}, {0x10, 0x02, 0xF8, 0x30, 0xDA}},
        WireCase{"config", [](QuindleBaseDrv& d) { d.getConfig(); }, {REQ_GET_CONFIG}, {}},
        WireCase{"binaryConfig", [](QuindleBaseDrv& d) { d.getBinaryConfig(); }, {REQ_GET_BINARY_CONFIG}, {}},
        WireCase{"motor", [](QuindleBaseDrv& d) { d.getMotorData(); }, {REQ_GET_MOTOR_DATA}, {}},
        WireCase{"sensor", [](QuindleBaseDrv& d) { d.getSensorData(); }, {REQ_GET_SENSOR_DATA}, {}},
        WireCase{"bumper", [](QuindleBaseDrv& d) { d.getBumperData(); }, {REQ_GET_BUMPER_DATA}, {}},
        WireCase{"pollCommand", [](QuindleBaseDrv& d) { d.pollCommand(); }, {REQ_POLL_COMMAND}, {}},
        WireCase{"connect", [](QuindleBaseDrv& d) { d.connect(); }, {REQ_CONNECT, CONNECT_ARGUMENT},
                 {0x10, 0x03, 0xF8, 0x10, 0x01, 0xFA}},
        WireCase{"autoHome", [](QuindleBaseDrv& d) { d.getAutoHomeData(); }, {REQ_GET_AUTOHOME_DATA, 0x00}, {}},
        WireCase{"event", [](QuindleBaseDrv& d) { d.sendEvent(99); }, {REQ_SEND_EVENT, 99}, {}},
        WireCase{"wheelSpeeds", [](QuindleBaseDrv& d) { d.setWheelSpeeds(0.1, -0.002); },
                 codeAndWords(REQ_SET_MOTOR, {100, static_cast<uint32_t>(-2), 0, 0}), {}},
        WireCase{"wheelSpeedsRounded", [](QuindleBaseDrv& d) { d.setWheelSpeeds(0.0996, -0.0021); },
                 codeAndWords(REQ_SET_MOTOR, {100, static_cast<uint32_t>(-2), 0, 0}), {}},
        WireCase{"velocity",
                 [](QuindleBaseDrv& d) { d.setVelocity(1.0, -1.0 / 65536, 0x12345678 / 65536.0); },
                 codeAndWords(REQ_SET_VELOCITY, {0x00010000, 0xFFFFFFFF, 0x12345678}), {}},
        WireCase{"velocityTruncated",
                 [](QuindleBaseDrv& d) { d.setVelocity(1.75 / 65536, -1.75 / 65536, (0x12345678 + 0.75) / 65536); },
                 codeAndWords(REQ_SET_VELOCITY, {1, 0xFFFFFFFF, 0x12345678}), {}}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

TEST(DriverRequests, GetInfoAnswerSendsTheWhole89ByteRecord) {
    ScriptedDriverRig rig;
    base_get_info_answer_t info = {};
    std::memcpy(info.model, "HOST", 4);
    info.firmware_version = 0x0102;
    info.info_flag = 1;
    std::memcpy(info.device_name, "console", 7);
    std::memcpy(info.host_address, "127.0.0.1", 9);
    ASSERT_TRUE(rig.driver.answerGetInfo(info).ok());
    const std::vector<BaseRequest> received = rig.base.requests();
    ASSERT_EQ(1u, received.size());
    const BaseRequest& request = received[0];
    ASSERT_EQ(90u, request.payload.size());
    EXPECT_EQ(REQ_ANSWER_GET_INFO, request.code);
    EXPECT_EQ(0, std::memcmp(request.args.data(), &info, sizeof info));
    EXPECT_EQ(0x02, request.args[12]);
    EXPECT_EQ(0x01, request.args[13]);
    EXPECT_EQ(1, request.args[28]);
    EXPECT_EQ('c', request.args[29]);
    EXPECT_EQ('1', request.args[69]);
}

// A motion request whose words are all zero is the stop: it goes out
// after a stop was asked for, when nothing else does. Anything else moves:
// it is held back then, and otherwise marks the base as maybe moving.
struct MotionCase {
    const char* name;
    Done (*call)(QuindleBaseDrv&);
    uint8_t code;
    bool stops;
};
void PrintTo(const MotionCase& c, std::ostream* os) { *os << c.name; }

class MotionOfRequests : public ::testing::TestWithParam<MotionCase> {};

TEST_P(MotionOfRequests, ZeroWordsStopAndAnythingElseMoves) {
    const MotionCase& c = GetParam();
    ScriptedDriverRig rig;
    rig.link.cancelToken().requestStop();
    const Done outcome = c.call(rig.driver);
    if (c.stops) {
        EXPECT_TRUE(outcome.ok());
        EXPECT_EQ(1u, rig.base.requestCount(c.code));
    } else {
        EXPECT_EQ(Cause::Interrupted, outcome.failure().cause);
        EXPECT_FALSE(outcome.failure().written);
        EXPECT_EQ(0u, rig.base.requestCount(c.code)) << "a moving request is held back";
    }

    ScriptedDriverRig unstopped;
    ASSERT_TRUE(c.call(unstopped.driver).ok());
    EXPECT_EQ(!c.stops, unstopped.link.cancelToken().mayBeMoving());
}

Done velocity(QuindleBaseDrv& d, double vx, double vy, double omega) { return outcomeOf(d.setVelocity(vx, vy, omega)); }

INSTANTIATE_TEST_SUITE_P(
    Driver, MotionOfRequests,
    ::testing::Values(
        MotionCase{"wheelsZero", [](QuindleBaseDrv& d) { return d.setWheelSpeeds(0, 0); }, REQ_SET_MOTOR, true},
        // Under half a mm/s rounds to a zero word: that is a stop too.
        MotionCase{"wheelsBelowHalfAMillimetre", [](QuindleBaseDrv& d) { return d.setWheelSpeeds(0.0004, -0.0004); },
                   REQ_SET_MOTOR, true},
        MotionCase{"wheelsOneMillimetre", [](QuindleBaseDrv& d) { return d.setWheelSpeeds(0, 0.001); }, REQ_SET_MOTOR,
                   false},
        MotionCase{"velocityZero", [](QuindleBaseDrv& d) { return velocity(d, 0, 0, 0); }, REQ_SET_VELOCITY, true},
        MotionCase{"velocityBelowOneStep", [](QuindleBaseDrv& d) { return velocity(d, 0.9 / 65536, 0, -0.9 / 65536); },
                   REQ_SET_VELOCITY, true},
        MotionCase{"velocityTurnOnly", [](QuindleBaseDrv& d) { return velocity(d, 0, 0, 0.01); }, REQ_SET_VELOCITY,
                   false}),
    [](const ::testing::TestParamInfo<MotionCase>& info) { return std::string(info.param.name); });

// The base's error answers keep their code, and the result the console
// has always reported for them.
struct ErrorCase {
    const char* name;
    uint8_t code;
    BaseReply reply;
    Done (*call)(QuindleBaseDrv&);
    Cause cause;
    int32_t baseCode;
    int32_t result;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorAnswers : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorAnswers, PassThroughWithTheirCode) {
    const ErrorCase& c = GetParam();
    ScriptedDriverRig rig;
    rig.base.script(c.code, c.reply);
    const Done outcome = c.call(rig.driver);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(c.cause, outcome.failure().cause);
    EXPECT_EQ(c.baseCode, outcome.failure().baseCode);
    EXPECT_EQ(c.result, outcome.result());
    EXPECT_TRUE(outcome.failure().written);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, ErrorAnswers,
    ::testing::Values(
        ErrorCase{"configNotSupported", REQ_GET_CONFIG, BaseReply::error(0x8000),
                  [](QuindleBaseDrv& d) { return outcomeOf(d.getConfig()); },
                  Cause::NotSupported, 0x8000, RESULT_OPERATION_NOT_SUPPORT},
        ErrorCase{"motorRefused", REQ_GET_MOTOR_DATA, BaseReply::error(0x0001),
                  [](QuindleBaseDrv& d) { return outcomeOf(d.getMotorData()); },
                  Cause::Refused, 1, RESULT_OPERATION_FAIL},
        // An error answer too short for a code.
        ErrorCase{"wheelsRefusedWithoutCode", REQ_SET_MOTOR, BaseReply::errorPayload(Bytes{0x00}),
                  [](QuindleBaseDrv& d) { return d.setWheelSpeeds(0, 0); }, Cause::Refused, NO_BASE_CODE,
                  RESULT_OPERATION_FAIL},
        ErrorCase{"binaryConfigNotSupported", REQ_GET_BINARY_CONFIG, BaseReply::error(0x8000),
                  [](QuindleBaseDrv& d) { return outcomeOf(d.getBinaryConfig()); },
                  Cause::NotSupported, 0x8000, RESULT_OPERATION_NOT_SUPPORT}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// A line that takes no write, or has gone, fails the request before the
// base sees it; a stuck write leaves the link usable, a lost line does not.
TEST(DriverRequests, LineFailuresPassThroughUnchanged) {
    const struct {
        const char* what;
        void (*spoil)(ScriptedDriverRig&);
        Cause cause;
        int32_t result;
    } cases[] = {
        {"stuck writes", [](ScriptedDriverRig& r) { r.line.stallWrites(true); }, Cause::Timeout,
         RESULT_OPERATION_TIMEOUT},
        {"closed connection", [](ScriptedDriverRig& r) { r.line.closeAt(r.clock.now()); }, Cause::LinkClosed,
         RESULT_OPERATION_FAIL},
        {"failed serial line", [](ScriptedDriverRig& r) { r.line.closeAt(r.clock.now(), true); }, Cause::LinkFailed,
         RESULT_OPERATION_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedDriverRig rig;
        c.spoil(rig);
        const auto status = rig.driver.getStatus();
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(c.cause, status.failure().cause);
        EXPECT_EQ(c.result, status.result());
        EXPECT_FALSE(status.failure().written);
        const Done event = rig.driver.sendEvent(1);
        EXPECT_EQ(c.cause, event.failure().cause);
        EXPECT_EQ(0u, rig.base.requestCount());

        rig.line.stallWrites(false);
        EXPECT_EQ(c.cause == Cause::Timeout, rig.driver.getStatus().ok()) << "only a stuck write is got over";
    }
}

// A silent base: the request fails at its own time-out, which a caller with
// a deadline may shorten but never lengthen.
TEST(DriverRequests, ASilentBaseTimesOutAtTheRequestsTimeOut) {
    const struct {
        Millis asked, waited;
    } cases[] = {{Millis(1000), Millis(1000)}, {Millis(300), Millis(300)}, {Millis(5000), Millis(1000)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked.count());
        ScriptedDriverRig rig;
        rig.base.silence(REQ_GET_STATUS);
        const auto status = rig.driver.getStatus(c.asked);
        EXPECT_EQ(Cause::Timeout, status.failure().cause);
        EXPECT_EQ(RESULT_OPERATION_TIMEOUT, status.result());
        EXPECT_EQ(c.waited, rig.now());
        EXPECT_EQ(1u, rig.base.requestCount(REQ_GET_STATUS));
    }
}

TEST(DriverRequests, ALateReadingNeverShowsAsTheNextOne) {
    ScriptedDriverRig rig;
    rig.base.scriptOnce(REQ_GET_STATUS, BaseReply::record(base_status_response_t{11, 0}));
    rig.base.answerRecord(REQ_GET_STATUS, base_status_response_t{22, 0});
    rig.line.latencyOnce(REQ_GET_STATUS, Millis(1500));
    EXPECT_EQ(Cause::Timeout, rig.driver.getStatus().failure().cause);
    const auto status = rig.driver.getStatus();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(22, status->batteryPercent);
}

}  // namespace
