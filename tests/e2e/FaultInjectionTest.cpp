// Each fault the simulated base can inject, and the result the console
// gives for it: not supported, operation failed, time-out, invalid data,
// bad frame ignored, connection closed. Over TCP and the serial line.

#include <gtest/gtest.h>

#include "drv/ControlBus.h"
#include "tests/e2e/E2eSupport.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;

namespace {

class FaultInjection : public ::testing::TestWithParam<Transport> {
protected:
    SimRig rigWith(std::vector<FaultRule> faults, int closeAfter = -1) {
        return SimRig(scenarioWith([&](Scenario& s) {
                          s.faults = faults;
                          s.closeAfter = closeAfter;
                      }),
                      GetParam());
    }
};

TEST_P(FaultInjection, UnsupportedRequestGivesNotSupported) {
    SimRig r = rigWith({fault(zorn::drv::REQ_GET_AUTOHOME_DATA, FaultKind::Unsupported)});
    ConsoleOutcome out = r.console({"beacon"});
    EXPECT_EQ(out.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(commandLines(r, out), std::vector<std::string>{});
    EXPECT_EQ(out.errLines(), failureLines("80008004"));
}

TEST_P(FaultInjection, ErrorAnswerGivesOperationFailed) {
    FaultRule rule = fault(zorn::drv::REQ_SEND_EVENT, FaultKind::Error);
    rule.errorCode = 7;
    SimRig r = rigWith({rule});
    ConsoleOutcome out = r.console({"event", "5"});
    EXPECT_EQ(out.status, STATUS_FAILED);
    EXPECT_EQ(out.errLines(), failureLines("refused 7", {fatal(BASE, "Cannot send event.")}));
    EXPECT_TRUE(r.device().events().empty());  // refused, so not executed
}

TEST_P(FaultInjection, SilentBaseTimesOut) {
    SimRig r = rigWith({fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Silent)});
    ConsoleOutcome out = r.console({"motor"});
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_EQ(commandLines(r, out), std::vector<std::string>{});
    EXPECT_EQ(out.errLines(), failureLines("80008002"));
    // The console waited for the answer (the connection itself takes 0.7 s).
    EXPECT_GE(out.seconds, 1.6);
}

TEST_P(FaultInjection, BadChecksumFrameIsDroppedAndTheRequestFailsAsInvalidData) {
    SimRig r = rigWith({fault(zorn::drv::REQ_GET_STATUS, FaultKind::BadChecksum)});
    ConsoleOutcome out = r.console({"status"}, std::chrono::milliseconds(30000), true);
    EXPECT_EQ(out.status, STATUS_INVALID_DATA);
    // The answer arrived (its checksum byte 42 spoilt to bd) and was dropped.
    std::vector<std::string> lines = out.outLines();
    auto dump = std::find(lines.begin(), lines.end(), dumpLine("10 03 02 50  03 bd "));
    ASSERT_NE(dump, lines.end()) << out.out;
    EXPECT_EQ(dump[-1], info(TRACE, "6 bytes received:"));
    EXPECT_FALSE(has(lines, info(BASE, "Battery: 80%")));
    EXPECT_EQ(out.errLines(), failureLines("corrupted", {}, {warn(BASE, "1 corrupted frame dropped")}));
}

TEST_P(FaultInjection, ShortAnswersAreInvalidData) {
    FaultRule shortStatus = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Short);
    shortStatus.size = 1;
    SimRig r = rigWith({shortStatus});
    ConsoleOutcome out = r.console({"status"});
    EXPECT_EQ(out.status, STATUS_INVALID_DATA);
    EXPECT_EQ(out.errLines(), failureLines("80008000"));
    // A connect answer one byte short: the device cannot be used.
    SimRig shortConnect = rigWith({fault(zorn::drv::REQ_CONNECT, FaultKind::Short)});
    out = shortConnect.console({"status"});
    EXPECT_EQ(out.status, 4);
    EXPECT_EQ(out.errLines(), std::vector<std::string>{fatal(FRAME, "Failed to communicate with device at " +
                                                                        shortConnect.channelDescription())});
    EXPECT_EQ(shortConnect.device().requestCount(zorn::drv::REQ_GET_STATUS), 0u);
}

TEST_P(FaultInjection, LongAnswersAreCutOrRefused) {
    FaultRule longBumper = fault(zorn::drv::REQ_GET_BUMPER_DATA, FaultKind::Long);
    FaultRule longMotor = fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Long);
    longMotor.extra = 20;
    SimRig r = rigWith({longBumper, longMotor});
    // Five bytes of bumper bits are more than the record holds.
    ConsoleOutcome out = r.console({"bumper"});
    EXPECT_EQ(out.status, STATUS_INVALID_DATA);
    EXPECT_FALSE(has(out.outLines(), info(BASE, "Bumper/Cliff Values:")));
    EXPECT_EQ(out.errLines(), failureLines("80008000"));
    // A long motor answer is cut to the record.
    out = r.console({"motor"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{
                                        info(BASE, "Left Wheel: 0.0     mm Right Wheel: 0.0     mm"), SUCCESS}));
}

TEST_P(FaultInjection, DelayedAnswerInTimeOrTooLate) {
    FaultRule delay = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Delay);
    delay.delayMs = 300;
    SimRig r = rigWith({delay});
    ConsoleOutcome out = r.console({"status"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_TRUE(has(out.outLines(), info(BASE, "Battery: 80%")));
    EXPECT_GE(out.seconds, 0.7 + 0.3);
    // An answer that comes after its 1000 ms time-out.
    delay.delayMs = 1500;
    r.device().setFaults({delay});
    out = r.console({"status"});
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_FALSE(has(out.outLines(), info(BASE, "Battery: 80%")));
}

TEST_P(FaultInjection, BaseClosingTheConnectionEndsTheCommand) {
    SimRig r = rigWith({}, 4);  // connect and three status requests, then closed
    ConsoleOutcome out = r.console({"monitor", "status"});
    ASSERT_FALSE(out.killed);
    // The link's own failure, at once, and what went away.
    EXPECT_EQ(out.status, STATUS_FAILED);
    EXPECT_EQ(commandLines(r, out).size(), 6u);  // three status readings
    EXPECT_EQ(out.errLines().size(), 3u);
    EXPECT_EQ(out.errLines().front(), error(FRAME, "Execute command failed: 80008001"));
    EXPECT_EQ(out.errLines().back(), error(BASE, GetParam() == Transport::Tcp ? "The base closed the connection"
                                                                              : "The serial line to the base was lost"));
    EXPECT_LT(out.seconds, 8.0);
    if (GetParam() == Transport::Tcp) {
        EXPECT_TRUE(r.sim().waitFor([&] { return !r.sim().connectionOpen(); }, std::chrono::milliseconds(5000)));
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, FaultInjection, ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& p) { return transportName(p.param); });

TEST(FaultInjectionTcp, ConnectionRefusedBeforeAnyRequest) {
    SimRig r(scenarioWith([](Scenario& s) { s.closeAfter = 0; }));
    ConsoleOutcome out = r.console({"status"});
    EXPECT_EQ(out.status, 4);
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{fatal(FRAME, "Failed to communicate with device at " + r.channelDescription()),
                                        error(BASE, "The base closed the connection")}));
    EXPECT_EQ(r.sim().connectionsAccepted(), 1);
}

}  // namespace
