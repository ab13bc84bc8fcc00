// Safety of the commands that move the base, through the real frame: a late
// answer never confirms a stop, a signal in any window holds back the start,
// and every way out says what came of the stop.
#include <gtest/gtest.h>

#include "net/Link.h"
#include <signal.h>

#include <atomic>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;
using namespace zorn::drv;

namespace {

const std::string NOT_CONFIRMED_TIMEOUT =
    "[ERRO] The base did not confirm the stop request (80008002): it may still be moving";

bool isZeroMotor(const BaseRequest& request) { return argWords(request) == std::vector<int32_t>(4, 0); }

size_t movingMotorRequests(const ScriptedBase& base) {
    size_t n = 0;
    for (const BaseRequest& request : base.requests(REQ_SET_MOTOR)) n += isZeroMotor(request) ? 0 : 1;
    return n;
}

class MotionSafety : public ::testing::Test {
protected:
    ConsoleRig rig;
};

// The reading's answer comes after its time-out, while the stop is awaited,
// and the stop is never answered: the stop is not confirmed, and is retried.
TEST_F(MotionSafety, ALateReadingNeverConfirmsTheStop) {
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(0, 0)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(5, 5)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::late(motorAnswer(10, 10)));
    rig.base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
    rig.base.silence(REQ_SET_MOTOR);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_TIMEOUT, rig.run({"run", "100", "100", "10"}));
    const Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.rbegin()[1], "[FATL] Failed to get motor data");
    EXPECT_EQ(lines.back(), NOT_CONFIRMED_TIMEOUT);
    const std::vector<BaseRequest> motors = rig.base.requests(REQ_SET_MOTOR);
    ASSERT_EQ(motors.size(), 4u) << "the start and three stops";
    for (size_t i = 1; i < motors.size(); ++i) EXPECT_TRUE(isZeroMotor(motors[i]));
}

// A signal that lands after the command's last look and before the start is
// written (the hook raises it there) holds the start back: the wheels are
// never set turning, the stop still goes out.
TEST_F(MotionSafety, ASignalJustBeforeTheStartHoldsItBack) {
    struct Row {
        std::vector<std::string> command;
        uint8_t before;  // the request answered just before the start
    };
    for (const Row& row : {Row{{"run", "100", "100", "10"}, REQ_GET_CONFIG}, Row{{"test"}, REQ_GET_AUTOHOME_DATA}}) {
        SCOPED_TRACE(row.command[0]);
        std::atomic<bool> raised{false};
        const int result = rig.run(row.command, [&](zorn::orbitane::test::OrbitaneBaseConsoleApplication& app) {
            app.whenLinked([&](zorn::net::Link& link) {
                link.setBeforeWriteHook([&] {
                    if (!raised && rig.base.requestCount(row.before) > 0) {
                        raised = true;
                        raise(SIGINT);
                    }
                });
            });
        });
        EXPECT_TRUE(raised);
        EXPECT_EQ(result, 130);
        EXPECT_EQ(movingMotorRequests(rig.base), 0u);
        ASSERT_EQ(rig.base.requestCount(REQ_SET_MOTOR), 1u);
        EXPECT_TRUE(isZeroMotor(rig.base.requests(REQ_SET_MOTOR)[0]));
        const Lines lines = rig.commandLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "[WARN] Interrupted by SIGINT, motors stopped");
    }
}

// Under a signal a stop the base refuses at once is retried, as on every
// other path; the console still ends promptly.
TEST_F(MotionSafety, ARefusedStopUnderASignalIsRetried) {
    ignoreStraySignals();
    rig.base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
    rig.base.fail(REQ_SET_MOTOR, 0x0001);
    int result;
    {
        SignalWhen interrupt(SIGINT, [&] { return rig.base.waitForRequests(REQ_GET_MOTOR_DATA, 5, BOUND); });
        result = rig.run({"run", "100", "100", "1e300"});
        ASSERT_TRUE(interrupt.sent());
    }
    EXPECT_EQ(result, 130);
    EXPECT_EQ(rig.base.requestCount(REQ_SET_MOTOR), 4u) << "the start and three stops";
    EXPECT_EQ(rig.commandLines().back(),
              "[ERRO] The base did not confirm the stop request (80008001): it may still be moving");
}

// The self-test's motor case says what came of its stop like run does.
TEST_F(MotionSafety, TheSelfTestSaysItsStopWasNotConfirmed) {
    rig.base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
    rig.base.silence(REQ_SET_MOTOR);
    // The event's empty answer could be an unanswered stop's late one: the
    // event waits until the stops' answers have lapsed, then takes its own.
    EXPECT_EQ(1, rig.run({"test"}));
    EXPECT_EQ(rig.base.requestCount(REQ_SET_MOTOR), 4u) << "the start and three stops";
    Lines fromBaseConsole;
    for (const LogLine& line : rig.lines()) {
        if (line.source == nivo::system::util::LOG_SOURCE_BASE_CONSOLE_APP) fromBaseConsole.push_back(line.tagged());
    }
    ASSERT_FALSE(fromBaseConsole.empty());
    EXPECT_EQ(fromBaseConsole.back(), NOT_CONFIRMED_TIMEOUT);
}

}  // namespace
