// The motion guard over the real driver and endpoint, against a scripted
// base: which stops it sends, when it retries, what it says, and that no
// late answer ever confirms a stop.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "drv/MotionGuard.h"
#include "log/Log.h"
#include "net/Result.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::net;
using namespace tests::support;

namespace {

int g_signal = 0;
int fakeSignal() { return g_signal; }
const char* fakeSignalName() { return "SIGINT"; }

class MotionGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        rig.base.scriptHealthyBase();
        g_signal = 0;
        hooks.interruptSignal = fakeSignal;
        hooks.interruptSignalName = fakeSignalName;
        LogCollector::instance().clear();
    }
    void TearDown() override { rig.endpoint.cancelToken().clear(); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& line : LogCollector::instance().lines()) out.push_back(line.tagged());
        return out;
    }
    size_t stops(uint8_t code) const {
        size_t n = 0;
        for (const auto& request : rig.base.requests(code)) {
            n += request.args == Bytes(code == REQ_SET_MOTOR ? 16 : 12, 0) ? 1 : 0;
        }
        return n;
    }

    ScriptedDriverRig rig;
    MotionGuard::Hooks hooks;
};

const std::string NOT_CONFIRMED = "[ERRO] The base did not confirm the stop request (80008002): it may still be moving";

TEST_F(MotionGuardTest, AttemptsAndWhatTheySay) {
    struct Row {
        const char* what;
        std::vector<BaseReply> stopReplies;  // one per attempt, then silence
        int signal;
        int attempts;
        std::vector<std::string> lines;
    };
    const Bytes noAnswer;
    const Row rows[] = {
        {"answered at once", {BaseReply::ok()}, 0, 1, {"[INFO] Stop request answered: motors stopped"}},
        {"refused twice, then answered", {BaseReply::error(1), BaseReply::error(1), BaseReply::ok()}, 0, 3,
         {"[INFO] Stop request answered: motors stopped"}},
        {"refused under a signal: still retried", {BaseReply::error(1), BaseReply::ok()}, 2, 2,
         {"[WARN] Interrupted by SIGINT, motors stopped"}},
        {"never answered", {}, 0, 3, {NOT_CONFIRMED}},
        {"never answered under a signal: one time-out only", {}, 2, 1,
         {"[WARN] Interrupted by SIGINT", NOT_CONFIRMED}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LogCollector::instance().clear();
        rig.base.clearRequests();
        rig.base.silence(REQ_SET_MOTOR);
        for (const BaseReply& reply : row.stopReplies) rig.base.scriptOnce(REQ_SET_MOTOR, reply);
        g_signal = row.signal;
        MotionGuard guard(rig.driver, MotionGuard::Stop::Wheels, hooks);
        guard.arm();
        const int32_t result = guard.stop();
        EXPECT_EQ(guard.attempts(), row.attempts);
        EXPECT_EQ(stops(REQ_SET_MOTOR), static_cast<size_t>(row.attempts));
        EXPECT_EQ(guard.confirmed(), result == RESULT_OK);
        EXPECT_EQ(lines(), row.lines);
        EXPECT_EQ(guard.stop(), result) << "a second stop() sends nothing";
        EXPECT_EQ(stops(REQ_SET_MOTOR), static_cast<size_t>(row.attempts));
        EXPECT_EQ(guard.finalResult(0), row.signal != 0 ? 128 + row.signal : (result < 0 ? result : 0));
    }
}

TEST_F(MotionGuardTest, AnExceptionUnwindingPastAnArmedGuardStopsTheBase) {
    try {
        MotionGuard guard(rig.driver, MotionGuard::Stop::Body, hooks);
        guard.arm();
        throw std::runtime_error("fault in the middle of a command");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(stops(REQ_SET_VELOCITY), 1u);
    EXPECT_EQ(lines(), std::vector<std::string>{"[WARN] Stop request answered: base stopped"});
    {
        MotionGuard unarmed(rig.driver, MotionGuard::Stop::Body, hooks);
    }
    EXPECT_EQ(stops(REQ_SET_VELOCITY), 1u) << "nothing moved, nothing to stop";
}

// A late answer of every kind that matters, arriving while a stop (or the
// next reading) is awaited: it never confirms the stop or shows as the
// reading. Each late answer arrives just before the reply to the request
// after its own.
TEST_F(MotionGuardTest, NoLateAnswerConfirmsAStop) {
    base_motor_status_response_t motor{};
    motor.left_wheel_odometry = 1234;
    base_set_velocity_response_t moved{};
    moved.dx_q16 = 65536;
    struct Row {
        const char* what;
        uint8_t lateCode;
        Bytes lateAnswer;
        MotionGuard::Stop how;
        std::vector<BaseReply> stopReplies;
        bool confirmed;
    };
    const Row rows[] = {
        {"a late reading while the stop is awaited", REQ_GET_MOTOR_DATA, recordBytes(motor),
         MotionGuard::Stop::Wheels, {}, false},
        {"a late stop answer while the next stop is awaited", REQ_SET_MOTOR, Bytes(), MotionGuard::Stop::Wheels, {},
         false},
        {"a late velocity answer (vrun, drive), the stop unanswered", REQ_SET_VELOCITY, recordBytes(moved),
         MotionGuard::Stop::Body, {}, false},
        {"a late velocity answer, then the stop's own", REQ_SET_VELOCITY, recordBytes(moved),
         MotionGuard::Stop::Body, {BaseReply::record(base_set_velocity_response_t{})}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedDriverRig rig;  // nothing owed from the row before
        rig.base.scriptHealthyBase();
        const uint8_t stopCode = row.how == MotionGuard::Stop::Wheels ? REQ_SET_MOTOR : REQ_SET_VELOCITY;
        rig.base.silence(stopCode);
        rig.base.scriptOnce(row.lateCode, BaseReply::late(row.lateAnswer));
        for (const BaseReply& reply : row.stopReplies) rig.base.scriptOnce(stopCode, reply);
        const uint64_t dropped = rig.endpoint.droppedAnswers();
        MotionGuard guard(rig.driver, row.how, hooks);
        guard.arm();
        if (row.lateCode == REQ_GET_MOTOR_DATA) {
            base_motor_status_response_t reading{};
            ASSERT_EQ(rig.driver.getMotorData(reading), RESULT_OPERATION_TIMEOUT);
        } else if (row.lateCode == REQ_SET_VELOCITY) {
            base_set_velocity_request_t drive{};
            drive.vx_q16 = 6553;
            base_set_velocity_response_t ignored{};
            ASSERT_EQ(rig.driver.setVelocity(drive, ignored), RESULT_OPERATION_TIMEOUT);
        }
        guard.stop();
        EXPECT_EQ(guard.confirmed(), row.confirmed);
        EXPECT_EQ(guard.attempts(), row.confirmed ? 1 : MotionGuard::STOP_ATTEMPTS) << "a stop in doubt is retried";
        EXPECT_EQ(rig.endpoint.droppedAnswers() - dropped, 1u);
    }
}

TEST_F(MotionGuardTest, ALateReadingNeverShowsAsTheNextOne) {
    base_status_response_t before{11, 0}, after{22, 0};
    rig.base.scriptOnce(REQ_GET_STATUS, BaseReply::late(recordBytes(before)));
    rig.base.answerRecord(REQ_GET_STATUS, after);
    base_status_response_t status{};
    ASSERT_EQ(rig.driver.getStatus(status), RESULT_OPERATION_TIMEOUT);
    ASSERT_EQ(rig.driver.getStatus(status), RESULT_OK);
    EXPECT_EQ(status.battery_percentage, 22);
}

}  // namespace
