// The monitor and test commands through the real frame against a scripted
// base.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "log/Log.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;
using namespace zorn::drv;
using Words = std::vector<std::string>;

namespace {

const char* const MONITOR_USAGE =
    "[FATL] monitor command requires at least one argument, such as: orbitane_console [options] monitor bumper";

class Monitor : public ::testing::Test {
protected:
    ConsoleRig rig;
};

Lines selfTestLines(const ConsoleRig& rig) {
    Lines out;
    for (const LogLine& line : rig.lines()) {
        if (line.source == nivo::system::util::LOG_SOURCE_TEST) out.push_back(line.tagged());
    }
    return out;
}

}  // namespace

TEST_F(Monitor, UsageErrorsReturnTwoWithoutARequest) {
    for (const Lines& command : {Lines{"monitor"}, Lines{"monitor", "monitor", "status"}}) {
        SCOPED_TRACE(command.size());
        EXPECT_EQ(2, rig.run(command));
        EXPECT_EQ(rig.commandLines(), (Lines{MONITOR_USAGE}));
        EXPECT_TRUE(rig.commandRequests().empty());
    }
}

TEST_F(Monitor, RepeatsTheCommandUntilItsFirstNegativeResult) {
    for (int i = 0; i < 3; ++i) {
        rig.base.scriptOnce(REQ_GET_STATUS, BaseReply::record(base_status_response_t{static_cast<uint8_t>(90 + i), 0}));
    }
    rig.base.fail(REQ_GET_STATUS, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"monitor", "status"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[INFO] Battery: 90%", "[INFO] Charging Status: Not connected, discharging", "[INFO] Battery: 91%",
                     "[INFO] Charging Status: Not connected, discharging", "[INFO] Battery: 92%",
                     "[INFO] Charging Status: Not connected, discharging"}));
    EXPECT_EQ(rig.commandCodes(), (Codes(4, REQ_GET_STATUS)));
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 80008001");  // then the words
}

TEST_F(Monitor, RepeatsAWholeRunWithItsStopAndPassesItsArguments) {
    for (int i = 0; i < 3; ++i) {
        rig.base.scriptOnce(REQ_GET_CONFIG, BaseReply::record(ScriptedBase::healthyConfig()));
    }
    rig.base.fail(REQ_GET_CONFIG);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_NOT_SUPPORT, rig.run({"monitor", "run", "100", "-50", "0"}));
    const Codes oneRun = {REQ_GET_CONFIG, REQ_SET_MOTOR, REQ_GET_MOTOR_DATA, REQ_SET_MOTOR};
    Codes expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), oneRun.begin(), oneRun.end());
    expected.push_back(REQ_GET_CONFIG);
    EXPECT_EQ(rig.commandCodes(), expected);
    const std::vector<BaseRequest> motors = rig.base.requests(REQ_SET_MOTOR);
    ASSERT_EQ(motors.size(), 6u);
    EXPECT_EQ(argWords(motors[0]), (std::vector<int32_t>{100, -50, 0, 0}));
    EXPECT_EQ(argWords(motors[5]), (std::vector<int32_t>{0, 0, 0, 0}));
    const std::string stopped = "[INFO] Stop request answered: motors stopped";
    EXPECT_EQ(rig.commandLines(), (Lines{stopped, stopped, stopped, "[FATL] Failed to get base config"}));
}

TEST_F(Monitor, AnyFailureOfTheRepeatedCommandEndsIt) {
    // A usage error or an unknown command would otherwise repeat forever.
    struct Case {
        Words words;
        int result;
    };
    for (const Case& c : {Case{{"monitor", "nope"}, 5}, Case{{"monitor", "run"}, 2}}) {
        EXPECT_EQ(c.result, rig.run(c.words));
        EXPECT_TRUE(rig.commandRequests().empty());
    }
    size_t notFound = 0;
    for (const std::string& line : rig.frameLines()) notFound += line == "[FATL] Command nope not found";
    EXPECT_LE(notFound, 1u);
}

TEST_F(Monitor, InterruptedReadsSendNoStop) {
    ignoreStraySignals();
    int result;
    {
        SignalWhen terminate(SIGTERM, [&] { return rig.base.waitForRequests(6, BOUND); });
        result = rig.run({"monitor", "status"});
        ASSERT_TRUE(terminate.sent());
    }
    EXPECT_EQ(143, result);
    const Codes codes = rig.commandCodes();
    EXPECT_GE(codes.size(), 5u);
    EXPECT_EQ(codes, Codes(codes.size(), REQ_GET_STATUS)) << "a read-only command has nothing to stop";
    const Lines lines = rig.commandLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[WARN] Interrupted by SIGTERM, monitor stopped");
    for (const std::string& line : rig.frameLines()) {
        EXPECT_EQ(line.find("Execute command failed"), std::string::npos) << line;
    }
}

TEST(SelfTestCommand, HealthyBasePassesEveryCase) {
    ConsoleRig rig;
    EXPECT_EQ(0, rig.run({"test", "ignored"}));
    const Lines lines = selfTestLines(rig);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[INFO] Test Fixture: ControlBus");
    EXPECT_EQ(lines.back(), "[INFO] ControlBus: 9 total, 0 skipped, 9 pass, 0 failed");
    EXPECT_EQ(rig.frameLines().back(), "[INFO] Successfully executed command");
    EXPECT_EQ(rig.commandCodes(), (Codes{REQ_CONNECT, REQ_GET_CONFIG, REQ_GET_STATUS, REQ_GET_MOTOR_DATA,
                                         REQ_GET_SENSOR_DATA, REQ_GET_BUMPER_DATA, REQ_GET_AUTOHOME_DATA,
                                         REQ_SET_MOTOR, REQ_SET_MOTOR, REQ_SEND_EVENT}));
}

TEST(SelfTestCommand, LegacyRadiusOfExactly2560FailsOneCaseAndThatIsTheResult) {
    ConsoleRig rig;
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    conf.base_radius_q8 = 2560;
    rig.base.answerRecord(REQ_GET_CONFIG, conf);
    EXPECT_EQ(1, rig.run({"test"}));
    const Lines lines = selfTestLines(rig);
    const Lines expectedTail = {"[INFO] \tTesting getConfig...",
                                "[ERRO] \t\tfail: (int)conf.base_radius_q8>2560: actual 2560 <= 2560",
                                "[INFO] \tTesting getStatus..."};
    auto at = std::search(lines.begin(), lines.end(), expectedTail.begin(), expectedTail.end());
    EXPECT_NE(at, lines.end()) << "getConfig fails on the radius and the next case runs";
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[ERRO] ControlBus: 9 total, 0 skipped, 8 pass, 1 failed");
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 00000001");  // then the words
}

// A case that failed on a request says, under the assertion's line, the
// request's result in hex and words, as after "Execute command failed".
TEST(SelfTestCommand, AFailedRequestIsNamedInWordsUnderItsCase) {
    const struct {
        uint8_t request;
        uint16_t errorCode;
        std::string failLine;
        std::string words;
    } cases[] = {
        {REQ_SEND_EVENT, 7, "[ERRO] \t\tfail: (int)dev_->sendEvent(evt)==(int)RESULT_OK: actual -2147450879 != 0",
         "[ERRO] \t\t80008001: operation failed: the base refused the request (error code 7)"},
        {REQ_GET_STATUS, 0x8000,
         "[ERRO] \t\tfail: (int)dev_->getStatus(status)==(int)RESULT_OK: actual -2147450876 != 0",
         "[ERRO] \t\t80008004: the base does not support this request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        ConsoleRig rig;
        rig.base.fail(c.request, c.errorCode);
        EXPECT_EQ(1, rig.run({"test"}) & 0xFF);
        const Lines lines = selfTestLines(rig);
        auto at = std::find(lines.begin(), lines.end(), c.failLine);
        ASSERT_NE(at, lines.end());
        ASSERT_NE(at + 1, lines.end());
        EXPECT_EQ(at[1], c.words);
    }
    // A case that failed on a value the base sent has no such line.
    ConsoleRig rig;
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    conf.base_radius_q8 = 2560;
    rig.base.answerRecord(REQ_GET_CONFIG, conf);
    rig.run({"test"});
    for (const std::string& line : selfTestLines(rig)) EXPECT_EQ(line.find("\t\t8000"), std::string::npos) << line;
}
