// The run and vrun commands through the real frame against a scripted base,
// and the clock arithmetic they rest on.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "console/RunClock.h"
#include "drv/ControlBus.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;
using namespace zorn::drv;
using zorn::orbitane::test::counterDelta;
using zorn::orbitane::test::deadlineAfter;
using zorn::orbitane::test::truncToInt32;
using Words = std::vector<int32_t>;

namespace {

class RunCommands : public ::testing::Test {
protected:
    // The setMotor / setVelocity requests of the last run, as words.
    std::vector<Words> wordsOf(uint8_t code) const {
        std::vector<Words> out;
        for (const BaseRequest& request : rig.base.requests(code)) {
            out.push_back(argWords(request));
        }
        return out;
    }

    ConsoleRig rig;
};

const Words STOP_MOTOR = {0, 0, 0, 0};
const Words STOP_VELOCITY = {0, 0, 0};
// The line that ends every run whose stop the base confirmed.
const std::string MOTORS_STOPPED = "[INFO] Stop request answered: motors stopped";
const std::string BASE_STOPPED = "[INFO] Stop request answered: base stopped";

}  // namespace

// ---------------------------------------------------------------- clock

TEST(RunClock, DeadlinesAreWholeMillisecondsAndClampedToTheClock) {
    EXPECT_EQ(deadlineAfter(5, 0.0015), 5 + 1000000);  // 1.5 ms -> 1 ms
    EXPECT_EQ(deadlineAfter(5, -0.0015), 5 - 1000000);  // toward zero
    EXPECT_EQ(deadlineAfter(1000, 0.0009), 1000);
    EXPECT_EQ(deadlineAfter(0, 2.5), 2500000000LL);
    const int64_t max = std::numeric_limits<int64_t>::max();
    const int64_t min = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(deadlineAfter(0, 1e300), max);
    EXPECT_EQ(deadlineAfter(0, -1e300), min);
    EXPECT_EQ(deadlineAfter(max - 10, 1.0), max) << "no signed overflow past the end of the clock";
    EXPECT_EQ(deadlineAfter(min + 10, -1.0), min);
    EXPECT_EQ(deadlineAfter(0, 9.3e9), max) << "9.3e18 ns is past the 64-bit range";
}

TEST(RunClock, VelocityWordsTruncateTowardZeroAndSaturate) {
    EXPECT_EQ(truncToInt32(0.1 * 65536), 6553);
    EXPECT_EQ(truncToInt32(-0.1 * 65536), -6553);
    EXPECT_EQ(truncToInt32(0.9999), 0);
    EXPECT_EQ(truncToInt32(1e12), INT32_MAX);
    EXPECT_EQ(truncToInt32(-1e12), INT32_MIN);
    EXPECT_EQ(truncToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(RunClock, OdometerDifferencesWrapAround) {
    EXPECT_EQ(counterDelta(INT32_MIN + 5, INT32_MAX - 4), 10);
    EXPECT_EQ(counterDelta(INT32_MAX - 1, INT32_MIN + 2), -4);
    EXPECT_EQ(counterDelta(-3, 4), -7);
    EXPECT_EQ(counterDelta(INT32_MIN, INT32_MAX), 1);
}

// ---------------------------------------------------------------- run

TEST_F(RunCommands, RunUsageAndUnreadableTimesSendNothing) {
    EXPECT_EQ(2, rig.run({"run", "100", "100"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Missing parameters. run <left_wheel_speed> <right_wheel_speed> "
                                         "<time>, units: mm/s mm/s s"}));
    EXPECT_TRUE(rig.commandRequests().empty());

    // Trailing text, and values that are not finite, are parse failures.
    for (const char* time : {"1.5x", "inf", "nan", "1e309", " "}) {
        SCOPED_TRACE(time);
        EXPECT_EQ(2, rig.run({"run", "100", "100", time}));
        EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Failed to parse parameter time"}));
        EXPECT_TRUE(rig.commandRequests().empty());
    }
}

TEST_F(RunCommands, RunWithoutTimeStartsAndStopsWithoutASingleStep) {
    // Zero, empty, below one whole millisecond and negative: no step.
    for (const char* time : {"0", "", "0.0009", "-1"}) {
        SCOPED_TRACE(time);
        ASSERT_EQ(0, rig.run({"run", "100", "100", time}));
        EXPECT_EQ(rig.commandLines(), Lines{MOTORS_STOPPED});
        EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_CONFIG, REQ_SET_MOTOR, REQ_GET_MOTOR_DATA, REQ_SET_MOTOR}));
        EXPECT_EQ(wordsOf(REQ_SET_MOTOR), (std::vector<Words>{{100, 100, 0, 0}, STOP_MOTOR}));
    }
}

TEST_F(RunCommands, MalformedDriveArgumentsAreRefusedBeforeAnythingIsSent) {
    // A typing error must never become a speed.
    struct Case {
        Lines words;
        const char* fatal;
    };
    const Case cases[] = {
        {{"run", "100abc", "100", "1"}, "[FATL] Failed to parse parameter left_wheel_speed"},
        {{"run", "100", "0x64", "1"}, "[FATL] Failed to parse parameter right_wheel_speed"},
        {{"run", "abc", "1", "1"}, "[FATL] Failed to parse parameter left_wheel_speed"},
        {{"run", "99999999999", "0", "1"}, "[FATL] Failed to parse parameter left_wheel_speed"},
        {{"run", "-7.9", "0", "1"}, "[FATL] Failed to parse parameter left_wheel_speed"},
        {{"run", "1", "1", "0x10"}, "[FATL] Failed to parse parameter time"},
        {{"vrun", "1e10", "0", "0", "0.01"}, "[FATL] Failed to parse parameter vx: out of range"},
        {{"vrun", "0", "0", "-40000", "1"}, "[FATL] Failed to parse parameter omega: out of range"},
        {{"vrun", "0.1", "nan", "0", "1"}, "[FATL] Invalid arguments"},
        {{"vrun", "0.1", "0", "0", " 1"}, "[FATL] Invalid arguments"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[1] + " " + c.words[2] + " " + c.words[3]);
        EXPECT_EQ(2, rig.run(c.words));
        EXPECT_EQ(rig.commandLines(), (Lines{c.fatal}));
        EXPECT_TRUE(rig.commandRequests().empty());
    }
    // The empty word keeps its meaning: 0.
    ASSERT_EQ(0, rig.run({"run", "", "+25", "0"}));
    EXPECT_EQ(wordsOf(REQ_SET_MOTOR), (std::vector<Words>{{0, 25, 0, 0}, STOP_MOTOR}));
}

TEST_F(RunCommands, ARefusedStopIsRetriedAndReportedAsAFailure) {
    struct Case {
        Lines words;
        uint8_t request;
    };
    for (const Case& c : {Case{{"run", "100", "100", "0"}, REQ_SET_MOTOR},
                          Case{{"vrun", "0.1", "0", "0", "0"}, REQ_SET_VELOCITY}}) {
        SCOPED_TRACE(c.words[0]);
        rig.base.fail(c.request, 0x0001);
        if (c.request == REQ_SET_MOTOR) rig.base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
        EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run(c.words));
        const Lines lines = rig.commandLines();
        EXPECT_EQ(lines.back(), "[ERRO] The base did not confirm the stop request (80008001): it may still be moving");
        for (const std::string& line : lines) EXPECT_EQ(line.find("stopped"), std::string::npos) << line;
        const Codes codes = rig.commandCodes();
        ASSERT_GE(codes.size(), 3u);
        EXPECT_EQ(Codes(codes.end() - 3, codes.end()), Codes(3, c.request)) << "three attempts";
    }
}

TEST_F(RunCommands, RunRefusesABaseWithoutUsableRadius) {
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    conf.base_radius_q8 = 0;
    rig.base.answerRecord(REQ_GET_CONFIG, conf);
    EXPECT_EQ(zorn::net::RESULT_INVALID_DATA, rig.run({"run", "100", "100", "1"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[FATL] The base reports no usable radius (base_radius_q8 = 0): cannot integrate the pose"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_CONFIG}));
}

TEST_F(RunCommands, RunTurningInPlaceChangesOnlyTheHeading) {
    // Radius 170 mm: wheel track 340 mm.
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(0, 0)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(10, -10)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(20, -20)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(30, -30)));
    rig.base.answer(REQ_GET_MOTOR_DATA, motorAnswer(30, -30));
    ASSERT_EQ(0, rig.run({"run", "100", "-100", "0.5"}));

    Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines.back(), MOTORS_STOPPED);
    lines.pop_back();
    EXPECT_EQ(lines[0], "[INFO] dl=10.00000 dr=-10.00000 pose:( 0.00000,  0.00000,   0.0deg)->( 0.00000,  0.00000,  -3.4deg)");
    EXPECT_EQ(lines[1], "[INFO] dl=10.00000 dr=-10.00000 pose:( 0.00000,  0.00000,  -3.4deg)->( 0.00000,  0.00000,  -6.7deg)");
    EXPECT_EQ(lines[2], "[INFO] dl=10.00000 dr=-10.00000 pose:( 0.00000,  0.00000,  -6.7deg)->( 0.00000,  0.00000, -10.1deg)");
    for (size_t i = 3; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i], "[INFO] dl= 0.00000 dr= 0.00000 pose:( 0.00000,  0.00000, -10.1deg)->( 0.00000,  0.00000, -10.1deg)")
            << "step " << i;
    }
    const std::vector<Words> motors = wordsOf(REQ_SET_MOTOR);
    ASSERT_EQ(motors.size(), 2u) << "the speeds are set once, then the stop";
    EXPECT_EQ(motors.front(), (Words{100, -100, 0, 0}));
    EXPECT_EQ(motors.back(), STOP_MOTOR);
    EXPECT_EQ(rig.commandCodes().back(), REQ_SET_MOTOR);
    EXPECT_EQ(rig.base.requestCount(REQ_GET_MOTOR_DATA), lines.size() + 1) << "one reading per step plus the first";
    // One summary after the stop: each wheel's travel, no body path, the final heading.
    const Lines summary = rig.summaryLines();
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_NE(summary[0].find(std::to_string(lines.size()) + " steps, left wheel 30.0 mm, right wheel -30.0 mm, "
                              "mean speed 0.0 mm/s, final pose (0.0 mm, 0.0 mm, -10.1 deg)"),
              std::string::npos)
        << summary[0];
}

TEST_F(RunCommands, RunMovesAlongTheHeadingAfterATurn) {
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(0, 0)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(-267, 267)));  // (534 / 340) rad
    rig.base.answer(REQ_GET_MOTOR_DATA, motorAnswer(-167, 367));                       // 100 mm forward
    ASSERT_EQ(0, rig.run({"run", "100", "100", "0.3"}));
    const Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[INFO] dl=-267.00000 dr=267.00000 pose:( 0.00000,  0.00000,   0.0deg)->( 0.00000,  0.00000,  90.0deg)");
    EXPECT_EQ(lines[1], "[INFO] dl=100.00000 dr=100.00000 pose:( 0.00000,  0.00000,  90.0deg)->( 0.02081, 100.00000,  90.0deg)");
}

TEST_F(RunCommands, RunOdometerDifferencesWrapAcrossTheCounterLimits) {
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(INT32_MAX - 4, INT32_MIN + 2)));
    rig.base.answer(REQ_GET_MOTOR_DATA, motorAnswer(INT32_MIN + 5, INT32_MAX - 1));
    ASSERT_EQ(0, rig.run({"run", "100", "100", "0.2"}));
    const Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[INFO] dl=10.00000 dr=-4.00000 pose:( 0.00000,  0.00000,   0.0deg)->( 3.00000,  0.00000,  -2.4deg)");
}

TEST_F(RunCommands, RunFirstStepStartsFromZeroWhenTheFirstReadingFailed) {
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::error(0x0001));
    rig.base.answer(REQ_GET_MOTOR_DATA, motorAnswer(7, 9));
    ASSERT_EQ(0, rig.run({"run", "100", "100", "0.2"}));
    const Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[INFO] dl= 7.00000 dr= 9.00000 pose:( 0.00000,  0.00000,   0.0deg)->( 8.00000,  0.00000,   0.3deg)");
    EXPECT_EQ(lines[1], "[INFO] dl= 0.00000 dr= 0.00000 pose:( 8.00000,  0.00000,   0.3deg)->( 8.00000,  0.00000,   0.3deg)");
}

TEST_F(RunCommands, RunFailingInsideTheLoopStopsTheWheelsBeforeReturning) {
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(0, 0)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(5, 5)));
    rig.base.scriptOnce(REQ_GET_MOTOR_DATA, BaseReply::ok(motorAnswer(10, 10)));
    rig.base.fail(REQ_GET_MOTOR_DATA, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"run", "100", "100", "10"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[INFO] dl= 5.00000 dr= 5.00000 pose:( 0.00000,  0.00000,   0.0deg)->( 5.00000,  0.00000,   0.0deg)",
                     "[INFO] dl= 5.00000 dr= 5.00000 pose:( 5.00000,  0.00000,   0.0deg)->(10.00000,  0.00000,   0.0deg)",
                     "[FATL] Failed to get motor data", MOTORS_STOPPED}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_CONFIG, REQ_SET_MOTOR, REQ_GET_MOTOR_DATA, REQ_GET_MOTOR_DATA,
                                         REQ_GET_MOTOR_DATA, REQ_GET_MOTOR_DATA, REQ_SET_MOTOR}));
    EXPECT_EQ(wordsOf(REQ_SET_MOTOR), (std::vector<Words>{{100, 100, 0, 0}, STOP_MOTOR}));
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 80008001");  // then the words
}

// An exception in the middle of a run skips the command's own stop: the stop
// still goes out while it unwinds, and the frame reports the failure.
TEST_F(RunCommands, AnExceptionWhileMovingStillStopsTheBase) {
    struct Case {
        std::vector<std::string> command;
        uint8_t code;
        Words stop;
        std::string stopped;
    };
    for (const Case& c : {Case{{"run", "100", "100", "10"}, REQ_SET_MOTOR, STOP_MOTOR, "motors"},
                          Case{{"vrun", "0.1", "0", "0", "10"}, REQ_SET_VELOCITY, STOP_VELOCITY, "base"}}) {
        LogCollector::instance().throwOnce(c.command[0] == "run" ? "dl=" : "dx=");
        EXPECT_EQ(zorn::orbitane::test::STATUS_INTERNAL_ERROR, rig.run(c.command)) << c.command[0];
        EXPECT_EQ(wordsOf(c.code).back(), c.stop) << c.command[0];
        EXPECT_EQ(rig.commandLines(), Lines{"[WARN] Stop request answered: " + c.stopped + " stopped"});
        const Lines frame = rig.frameLines();
        ASSERT_GE(frame.size(), 3u);
        EXPECT_EQ(frame.rbegin()[2], "[FATL] Command " + c.command[0] + " ended by an unexpected error: log line refused");
        EXPECT_EQ(frame.rbegin()[1], "[ERRO] Execute command failed: 00000046");
    }
}

TEST_F(RunCommands, RunFailuresBeforeTheLoop) {
    rig.base.fail(REQ_GET_CONFIG);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_NOT_SUPPORT, rig.run({"run", "100", "100", "1"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Failed to get base config"}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_CONFIG}));

    rig.base.answerRecord(REQ_GET_CONFIG, ScriptedBase::healthyConfig());
    // A refused start may still have been acted on: the stop follows.
    rig.base.scriptOnce(REQ_SET_MOTOR, BaseReply::error(0x0001));
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"run", "100", "100", "1"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Cannot set motor data.", MOTORS_STOPPED}));
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_GET_CONFIG, REQ_SET_MOTOR, REQ_SET_MOTOR}));
    EXPECT_EQ(wordsOf(REQ_SET_MOTOR).back(), STOP_MOTOR);
}

TEST_F(RunCommands, RunWithAHugeNegativeTimeOnlyStops) {
    ASSERT_EQ(0, rig.run({"run", "100", "100", "-1e300"}));
    EXPECT_EQ(rig.commandLines(), Lines{MOTORS_STOPPED});
    EXPECT_EQ(wordsOf(REQ_SET_MOTOR), (std::vector<Words>{{100, 100, 0, 0}, STOP_MOTOR}));
}

TEST_F(RunCommands, RunWithAHugeTimeKeepsDrivingUntilInterrupted) {
    // A deadline that overflowed would lie in the past and end the run at once.
    ignoreStraySignals();
    int result;
    {
        SignalWhen interrupt(SIGINT, [&] { return rig.base.waitForRequests(12, BOUND); });
        result = rig.run({"run", "100", "100", "1e300"});
        ASSERT_TRUE(interrupt.sent());
    }
    EXPECT_EQ(130, result);
    const Lines lines = rig.commandLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN] Interrupted by SIGINT, motors stopped");
    EXPECT_GE(rig.base.requestCount(REQ_GET_MOTOR_DATA), 8u);
    EXPECT_EQ(wordsOf(REQ_SET_MOTOR), (std::vector<Words>{{100, 100, 0, 0}, STOP_MOTOR}));
    EXPECT_EQ(rig.commandCodes().back(), REQ_SET_MOTOR) << "the stop is the last request";
    for (const std::string& line : rig.frameLines()) {
        EXPECT_EQ(line.find("Execute command failed"), std::string::npos) << line;
    }
}

// ---------------------------------------------------------------- vrun

TEST_F(RunCommands, VrunUsageAndUnreadableArgumentsSendNothing) {
    EXPECT_EQ(2, rig.run({"vrun", "0.1", "0", "0"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Missing parameters."}));
    EXPECT_TRUE(rig.commandRequests().empty());

    const std::vector<Lines> bad = {{"0.1x", "0", "0", "1"}, {"inf", "0", "0", "1"}, {"0", "nan", "0", "1"},
                                    {"0", "0", "+inf", "1"}, {"0", "0", "0", "NAN"}};
    for (const Lines& arguments : bad) {
        Lines command = {"vrun"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        SCOPED_TRACE(arguments[0] + " " + arguments[1] + " " + arguments[2] + " " + arguments[3]);
        EXPECT_EQ(2, rig.run(command));
        EXPECT_EQ(rig.commandLines(), (Lines{"[FATL] Invalid arguments"}));
        EXPECT_TRUE(rig.commandRequests().empty());
    }
}

TEST_F(RunCommands, VrunDrivesForTheTimeThenSendsZeroForAsLong) {
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0, rig.run({"vrun", "0.1", "0", "0", "1"}));
    const auto took = std::chrono::steady_clock::now() - started;

    const std::vector<Words> requests = wordsOf(REQ_SET_VELOCITY);
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests.front(), (Words{6553, 0, 0})) << "0.1 * 65536 truncated";
    EXPECT_EQ(requests.back(), STOP_VELOCITY);
    size_t driving = 0;
    while (driving < requests.size() && requests[driving] == Words{6553, 0, 0}) ++driving;
    for (size_t i = driving; i < requests.size(); ++i) {
        ASSERT_EQ(requests[i], STOP_VELOCITY) << "request " << i << " drives again after the stop phase";
    }
    EXPECT_GE(requests.size() - driving, 2u) << "the second phase sends zero requests before the final stop";
    // Both phases a second each (long enough for a zero request in the
    // second even on a loaded machine); the rig's synchronisation has no pauses.
    EXPECT_GE(took, std::chrono::milliseconds(2000));
}

TEST_F(RunCommands, VrunWordsTruncateTowardZero) {
    ASSERT_EQ(0, rig.run({"vrun", "-0.1", "1.5", "0.00001", "0.05"}));
    const std::vector<Words> requests = wordsOf(REQ_SET_VELOCITY);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests.front(), (Words{-6553, 98304, 0}));
    EXPECT_EQ(requests.back(), STOP_VELOCITY);
}

TEST_F(RunCommands, VrunDiscardsTheFirstAnswerAndSkipsFailedOnes) {
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::ok(velocityAnswer(65536, 0, 0)));  // before the run
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::error(0x0001));
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::ok(velocityAnswer(32768, 0, 0)));
    rig.base.answer(REQ_SET_VELOCITY, velocityAnswer(0, 0, 0));
    ASSERT_EQ(0, rig.run({"vrun", "0.1", "0", "0", "0.1"}));
    const Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[INFO] dx= 0.50000 dy= 0.00000 dtheta=  0.0deg pose:( 0.00000,  0.00000,   0.0deg)->( 0.50000,  0.00000,   0.0deg)");
    EXPECT_EQ(lines.back(), BASE_STOPPED);
    EXPECT_EQ(lines.size() - 1 + 2, rig.base.requestCount(REQ_SET_VELOCITY) - 1)
        << "one line per answered pass after the first; the failed pass prints nothing";
}

TEST_F(RunCommands, VrunIntegratesInTheRobotFrame) {
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::ok(velocityAnswer(0, 0, 0)));
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::ok(velocityAnswer(0, 0, 90 * 65536)));
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::ok(velocityAnswer(65536, 0, 0)));
    rig.base.scriptOnce(REQ_SET_VELOCITY, BaseReply::ok(velocityAnswer(0, 65536, 0)));
    rig.base.answer(REQ_SET_VELOCITY, velocityAnswer(0, 0, 0));
    ASSERT_EQ(0, rig.run({"vrun", "0", "0", "0.5", "0.2"}));
    const Lines lines = rig.commandLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[INFO] dx= 0.00000 dy= 0.00000 dtheta= 90.0deg pose:( 0.00000,  0.00000,   0.0deg)->( 0.00000,  0.00000,  90.0deg)");
    EXPECT_EQ(lines[1], "[INFO] dx= 1.00000 dy= 0.00000 dtheta=  0.0deg pose:( 0.00000,  0.00000,  90.0deg)->( 0.00000,  1.00000,  90.0deg)");
    EXPECT_EQ(lines[2], "[INFO] dx= 0.00000 dy= 1.00000 dtheta=  0.0deg pose:( 0.00000,  1.00000,  90.0deg)->(-1.00000,  1.00000,  90.0deg)");
    EXPECT_EQ(lines[3], "[INFO] dx= 0.00000 dy= 0.00000 dtheta=  0.0deg pose:(-1.00000,  1.00000,  90.0deg)->(-1.00000,  1.00000,  90.0deg)");
}

TEST_F(RunCommands, VrunWithoutWholeMillisecondsOnlyStops) {
    for (const char* time : {"-1", "0", "0.0004", "-1e300"}) {
        SCOPED_TRACE(time);
        ASSERT_EQ(0, rig.run({"vrun", "0.1", "0.1", "0.1", time}));
        EXPECT_EQ(rig.commandLines(), Lines{BASE_STOPPED});
        EXPECT_EQ(wordsOf(REQ_SET_VELOCITY), (std::vector<Words>{STOP_VELOCITY}));
    }
}

TEST_F(RunCommands, VrunWithAHugeTimeStopsTheBaseOnTerminate) {
    ignoreStraySignals();
    int result;
    {
        SignalWhen terminate(SIGTERM, [&] { return rig.base.waitForRequests(12, BOUND); });
        result = rig.run({"vrun", "0.2", "0", "0", "1e300"});
        ASSERT_TRUE(terminate.sent());
    }
    EXPECT_EQ(143, result);
    const Lines lines = rig.commandLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN] Interrupted by SIGTERM, base stopped");
    const std::vector<Words> requests = wordsOf(REQ_SET_VELOCITY);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests.front(), (Words{13107, 0, 0}));
    EXPECT_EQ(requests.back(), STOP_VELOCITY);
    EXPECT_EQ(requests[requests.size() - 2], (Words{13107, 0, 0})) << "still in the drive phase when interrupted";
}
