// The motion guard over the driver and the link, against a scripted base
// in fake time: which stops it sends, when it tries again, what it says,
// what it reports, and which late answers may confirm a stop.

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "drv/MotionGuard.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::net;
using namespace tests::support;

namespace {

// The signal the guard's hooks report, as the console's handler records it.
int g_signal = 0;
int interruptSignal() { return g_signal; }
const char* interruptSignalName() { return "SIGINT"; }

class GuardLog {
public:
    GuardLog() { g_signal = 0; }
    ~GuardLog() { g_signal = 0; }
    // "[TAG] message" of the guard's lines.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const LogLine& line : capture_.lines()) out.push_back(line.tagged());
        return out;
    }
    MotionGuard::Hooks hooks() const {
        MotionGuard::Hooks hooks;
        hooks.interruptSignal = interruptSignal;
        hooks.interruptSignalName = interruptSignalName;
        return hooks;
    }

private:
    LogCapture capture_{nivo::system::util::LOG_SOURCE_BASE_CONSOLE_APP};
};

// The line of a stop the base did not confirm; why is in the outcome.
std::string notConfirmed(const char* code) {
    return std::string("[ERRO] The base did not confirm the stop request (") + code + "): it may still be moving";
}

const std::string STOPPED = "[INFO] Stop request answered: motors stopped";
const std::string INTERRUPTED = "[WARN] Interrupted by SIGINT";
const std::string TIMED_OUT = notConfirmed("80008002");
const std::string FAILED = notConfirmed("80008001");

// The attempts rule: up to three stop requests until one is answered; under
// a signal a further one only within 900 ms of the first, and none once a
// second signal cut the wait; a lost link ends them at once.
enum class Interrupt {
    None,
    Signal,           // a signal: the handler recorded it and set the stop request
    StopRequestOnly,  // the stop request alone (no hook reports a signal)
};

struct AttemptsCase {
    const char* name;
    std::vector<BaseReply> stopReplies;  // one per attempt, then silence
    int latencyMs;                       // of every stop's answer
    Interrupt interrupt;                 // what interrupted the command before its stop
    int cutAtMs;                         // a second signal cuts the stop's wait (-1: none)
    int closedAtMs;                      // the line closes (-1: never)
    int attempts;
    int tookMs;  // fake time stop() took
    bool confirmed;
    Cause cause;  // when not confirmed
    int32_t baseCode;
    std::vector<std::string> lines;
};
void PrintTo(const AttemptsCase& c, std::ostream* os) { *os << c.name; }

class StopAttempts : public ::testing::TestWithParam<AttemptsCase> {};

TEST_P(StopAttempts, FollowTheRuleAndSayWhatCameOfThem) {
    const AttemptsCase& c = GetParam();
    GuardLog log;
    ScriptedDriverRig rig;
    rig.base.silence(REQ_SET_MOTOR);
    for (const BaseReply& reply : c.stopReplies) rig.base.scriptOnce(REQ_SET_MOTOR, reply);
    rig.line.latencyFor(REQ_SET_MOTOR, Millis(c.latencyMs));
    if (c.interrupt == Interrupt::Signal) g_signal = SIGINT;
    if (c.interrupt != Interrupt::None) rig.link.cancelToken().requestStop();
    if (c.cutAtMs >= 0) rig.line.at(rig.clock.at(Millis(c.cutAtMs)), [&rig] { rig.link.cancelToken().cutStopWait(); });
    if (c.closedAtMs >= 0) rig.line.closeAt(rig.clock.at(Millis(c.closedAtMs)));

    MotionGuard guard(rig.driver, MotionGuard::Stop::Wheels, log.hooks());
    guard.arm();
    const StopOutcome outcome = guard.stop();
    EXPECT_TRUE(outcome.sent);
    EXPECT_EQ(c.attempts, outcome.attempts);
    EXPECT_EQ(static_cast<size_t>(c.attempts), rig.zeroRequests(REQ_SET_MOTOR)) << "one stop on the wire per attempt";
    EXPECT_EQ(Millis(c.tookMs), rig.now());
    EXPECT_EQ(c.confirmed, outcome.confirmed);
    if (!c.confirmed) {
        EXPECT_EQ(c.cause, outcome.failure.cause);
        EXPECT_EQ(c.baseCode, outcome.failure.baseCode);
        EXPECT_EQ(outcome.failure.result(), outcome.result());
    } else {
        EXPECT_EQ(RESULT_OK, outcome.result());
    }
    EXPECT_EQ(c.lines, log.lines());
    EXPECT_FALSE(guard.armed());

    EXPECT_EQ(outcome.attempts, guard.stop().attempts) << "a second stop() returns the same outcome";
    EXPECT_EQ(static_cast<size_t>(c.attempts), rig.zeroRequests(REQ_SET_MOTOR)) << "and sends nothing";
    // An interrupt wins, then an unconfirmed stop, then the command's own result.
    EXPECT_EQ(c.interrupt == Interrupt::Signal ? 128 + SIGINT : c.confirmed ? 7 : outcome.result(),
              guard.finalResult(7));
}

const BaseReply OK = BaseReply::ok();
const BaseReply REFUSED = BaseReply::error(1);
const BaseReply REFUSED_7 = BaseReply::error(7);
constexpr int NONE = -1;

INSTANTIATE_TEST_SUITE_P(
    MotionGuard, StopAttempts,
    ::testing::Values(
        AttemptsCase{"AnsweredAtOnce", {OK}, 1, Interrupt::None, NONE, NONE, 1, 1, true, Cause::Timeout,
                     NO_BASE_CODE, {STOPPED}},
        AttemptsCase{"RefusedTwiceThenAnswered", {REFUSED, REFUSED, OK}, 1, Interrupt::None, NONE, NONE, 3, 3,
                     true, Cause::Timeout, NO_BASE_CODE, {STOPPED}},
        // Without a signal the attempts take as long as they take.
        AttemptsCase{"RefusedEveryTime", {REFUSED_7, REFUSED_7, REFUSED_7}, 450, Interrupt::None, NONE, NONE, 3,
                     1350, false, Cause::Refused, 7, {FAILED}},
        AttemptsCase{"NeverAnswered", {}, 1, Interrupt::None, NONE, NONE, 3, 3000, false, Cause::Timeout,
                     NO_BASE_CODE, {TIMED_OUT}},
        AttemptsCase{"RefusedUnderASignalIsRetried", {REFUSED, OK}, 1, Interrupt::Signal, NONE, NONE, 2, 2, true,
                     Cause::Timeout, NO_BASE_CODE, {"[WARN] Interrupted by SIGINT, motors stopped"}},
        // Refused at 450 ms: a second attempt; refused again at 900 ms: none.
        AttemptsCase{"UnderASignalOnlyWithin900msOfTheFirst", {REFUSED_7, REFUSED_7, REFUSED_7}, 450,
                     Interrupt::Signal, NONE, NONE, 2, 900, false, Cause::Refused, 7, {INTERRUPTED, FAILED}},
        AttemptsCase{"NeverAnsweredUnderASignalOneTimeOutOnly", {}, 1, Interrupt::Signal, NONE, NONE, 1, 1000,
                     false, Cause::Timeout, NO_BASE_CODE, {INTERRUPTED, TIMED_OUT}},
        AttemptsCase{"NeverAnsweredAfterAStopRequestOneTimeOutOnly", {}, 1, Interrupt::StopRequestOnly, NONE, NONE,
                     1, 1000, false, Cause::Timeout, NO_BASE_CODE, {TIMED_OUT}},
        AttemptsCase{"ASecondSignalEndsTheAttempts", {}, 1, Interrupt::Signal, 300, NONE, 1, 300, false,
                     Cause::Interrupted, NO_BASE_CODE, {INTERRUPTED, FAILED}},
        AttemptsCase{"ALostLinkEndsTheAttemptsAtOnce", {}, 1, Interrupt::None, NONE, 50, 1, 50, false,
                     Cause::LinkClosed, NO_BASE_CODE, {FAILED}}),
    [](const ::testing::TestParamInfo<AttemptsCase>& info) { return std::string(info.param.name); });

TEST(MotionGuard, AnExceptionUnwindingPastAnArmedGuardStopsTheBase) {
    GuardLog log;
    ScriptedDriverRig rig;
    try {
        MotionGuard guard(rig.driver, MotionGuard::Stop::Body, log.hooks());
        guard.arm();
        throw std::runtime_error("fault in the middle of a command");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(1u, rig.zeroRequests(REQ_SET_VELOCITY));
    EXPECT_EQ(std::vector<std::string>{"[WARN] Stop request answered: base stopped"}, log.lines());
    {
        MotionGuard unarmed(rig.driver, MotionGuard::Stop::Body, log.hooks());
    }
    EXPECT_EQ(1u, rig.zeroRequests(REQ_SET_VELOCITY)) << "nothing moved, nothing to stop";
}

// A late answer arriving where the stop's answer is awaited (it comes just
// before the reply to the request after its own). An answer owed to a
// reading or a moving request never confirms the stop; one owed to an
// earlier stop does, since nothing that moves went out after it.
struct LateCase {
    const char* name;
    uint8_t lateCode;
    Bytes lateAnswer;
    MotionGuard::Stop how;
    std::vector<BaseReply> stopReplies;  // then silence
    bool confirmed;
    int attempts;
    uint64_t dropped;
};
void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }

class LateAnswersAtTheStop : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateAnswersAtTheStop, ConfirmItOnlyWhenOwedToAnEarlierStop) {
    const LateCase& c = GetParam();
    GuardLog log;
    ScriptedDriverRig rig;
    const uint8_t stopCode = c.how == MotionGuard::Stop::Wheels ? REQ_SET_MOTOR : REQ_SET_VELOCITY;
    rig.base.silence(stopCode);
    rig.base.scriptOnce(c.lateCode, BaseReply::late(c.lateAnswer));
    for (const BaseReply& reply : c.stopReplies) rig.base.scriptOnce(stopCode, reply);
    MotionGuard guard(rig.driver, c.how, log.hooks());
    guard.arm();
    if (c.lateCode == REQ_GET_MOTOR_DATA) {
        ASSERT_EQ(Cause::Timeout, rig.driver.getMotorData().failure().cause);
    } else if (c.lateCode == REQ_SET_VELOCITY) {
        ASSERT_EQ(Cause::Timeout, rig.driver.setVelocity(0.1, 0, 0).failure().cause);
    }
    const StopOutcome& outcome = guard.stop();
    EXPECT_EQ(c.confirmed, outcome.confirmed);
    EXPECT_EQ(c.attempts, outcome.attempts) << "a stop in doubt is retried";
    EXPECT_EQ(c.dropped, rig.link.stats().lateAnswers);
}

base_motor_status_response_t odometry() {
    base_motor_status_response_t motor{};
    motor.left_wheel_odometry = 1234;
    return motor;
}
base_set_velocity_response_t displacement() {
    base_set_velocity_response_t moved{};
    moved.dx_q16 = 65536;
    return moved;
}

INSTANTIATE_TEST_SUITE_P(
    MotionGuard, LateAnswersAtTheStop,
    ::testing::Values(
        LateCase{"AReadingsWhileTheStopIsAwaited", REQ_GET_MOTOR_DATA, recordBytes(odometry()),
                 MotionGuard::Stop::Wheels, {}, false, MotionGuard::STOP_ATTEMPTS, 1},
        LateCase{"AnEarlierStopsWhileTheNextStopIsAwaited", REQ_SET_MOTOR, Bytes(), MotionGuard::Stop::Wheels, {},
                 true, 2, 0},
        LateCase{"AVelocityAnswerTheStopUnanswered", REQ_SET_VELOCITY, recordBytes(displacement()),
                 MotionGuard::Stop::Body, {}, false, MotionGuard::STOP_ATTEMPTS, 1},
        LateCase{"AVelocityAnswerThenTheStopsOwn", REQ_SET_VELOCITY, recordBytes(displacement()),
                 MotionGuard::Stop::Body, {BaseReply::record(base_set_velocity_response_t{})}, true, 1, 1}),
    [](const ::testing::TestParamInfo<LateCase>& info) { return std::string(info.param.name); });

}  // namespace
