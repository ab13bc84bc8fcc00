// The console keeps its head when the base misbehaves badly: it hangs up in
// the middle of a request, floods the line, sends frames whose length
// swallows the next ones or whose checksums are wrong, answers too late,
// falls silent in the middle of monitor, run and vrun, or the user stops a
// run. Every case ends with a defined status within a bounded time.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "app/Interrupt.h"
#include "drv/ControlBus.h"
#include "tests/e2e/E2eSupport.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;
using std::chrono::milliseconds;

namespace {

// Failure message of a self-test case whose request timed out: the code
// 0x80008002 written as a signed decimal.
std::string timedOutCase(const std::string& expression) {
    return error(SELFTEST, "\t\tfail: " + expression + ": actual -2147450878 != 0");
}

// The line under a case that failed on a request: its result in words.
std::string caseWords(const std::string& words) { return error(SELFTEST, "\t\t" + words); }
const char* const TIMED_OUT = "80008002: time-out: the base did not answer within 1000 ms";
const char* const CORRUPTED = "80008000: invalid data: the answer failed its checksum (a noisy line?)";

// What the console says when the base's side of the link goes away during
// a request: the request fails at once with the link's own failure.
std::vector<std::string> linkLostLines(Transport transport) {
    return failureLines(transport == Transport::Tcp ? "link closed" : "link failed", {},
                        {error(BASE, transport == Transport::Tcp ? "The base closed the connection"
                                                                                  : "The serial line to the base was lost")});
}

std::string summary(int pass, int failed) {
    return "ControlBus: 9 total, 0 skipped, " + std::to_string(pass) + " pass, " + std::to_string(failed) + " failed";
}

bool isZeroVelocity(const ReceivedRequest& r) {
    return r.code == zorn::drv::REQ_SET_VELOCITY && r.args == std::vector<uint8_t>(12, 0);
}

class FaultSurvival : public ::testing::TestWithParam<Transport> {
protected:
    SimRig rigWith(std::vector<FaultRule> faults, bool stopOnDisconnect = true) {
        return SimRig(scenarioWith([&](Scenario& s) {
                          s.faults = faults;
                          s.stopOnDisconnect = stopOnDisconnect;
                      }),
                      GetParam());
    }
};

TEST_P(FaultSurvival, BaseHangsUpInTheMiddleOfARequest) {
    SimRig r = rigWith({fault(zorn::drv::REQ_GET_STATUS, FaultKind::Close)});
    ConsoleOutcome out = r.console({"status"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_FAILED);
    EXPECT_EQ(commandLines(r, out), std::vector<std::string>{});
    EXPECT_EQ(out.errLines(), linkLostLines(GetParam()));
    // Connection (0.7 s), then straight out: no time-out is waited for.
    EXPECT_LT(out.seconds, 5.0);
    auto requests = r.device().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].fault, "close");
}

// A megabyte of noise where the answer is awaited: its first bad frame is
// taken for the answer (one corrupted answer costs one request), the rest
// is dropped as it comes, with the console's memory bounded, and the
// console ends at once.
TEST_P(FaultSurvival, AMegabyteOfNoiseCostsOneRequest) {
    FaultRule flood = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Flood);  // 1 MiB
    SimRig r = rigWith({flood});
    ConsoleOutcome out = r.console({"status"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_INVALID_DATA) << out.err;
    EXPECT_FALSE(has(commandLines(r, out), info(BASE, "Battery: 80%")));
    const std::vector<std::string> err = out.errLines();
    ASSERT_GE(err.size(), 3u) << out.err;
    EXPECT_EQ(std::vector<std::string>(err.begin(), err.begin() + 2), failureLines("corrupted"));
    EXPECT_NE(err[2].find("corrupted frames dropped"), std::string::npos) << err[2];
    EXPECT_EQ(r.device().requests().back().fault, "flood");
}

TEST_P(FaultSurvival, LengthHeaderSwallowingTheNextAnswer) {
    // The status answer claims 12 bytes more than it has. Nothing follows
    // it until the next request is written, so once the line has been quiet
    // for the framer's gap the false frame is given up and its bytes are
    // scanned again: noise. The status request times out; the motor request
    // after it (an answer of another size) is answered, and the rest too.
    FaultRule swallow = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Swallow, 0, 1);
    swallow.extra = 12;
    SimRig r = rigWith({swallow});
    ConsoleOutcome out = r.console({"test"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.errLines(), (std::vector<std::string>{
                                  timedOutCase("(int)dev_->getStatus(status)==(int)RESULT_OK"), caseWords(TIMED_OUT),
                                  error(SELFTEST, summary(8, 1)), error(FRAME, "Execute command failed: 00000001"),
                                  error(FRAME, "00000001: 1 self-test case failed")}));
    std::vector<std::string> lines = commandLines(r, out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), info(SELFTEST, "\t\tpass")), 8);

    // Claiming 13 bytes more, its length byte (0x10) is itself a frame
    // start: scanned again, the rest of the answer forms a frame whose
    // checksum fails, where the status answer is awaited. That is the
    // status answer, corrupted: the request fails at once as invalid data,
    // and nothing after it is lost.
    swallow.extra = 13;
    r.device().setFaults({swallow});
    out = r.console({"test"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.errLines(), (std::vector<std::string>{
                                  error(SELFTEST, "\t\tfail: (int)dev_->getStatus(status)==(int)RESULT_OK: actual "
                                                  "-2147450880 != 0"),
                                  caseWords(CORRUPTED), error(SELFTEST, summary(8, 1)),
                                  error(FRAME, "Execute command failed: 00000001"),
                                  error(FRAME, "00000001: 1 self-test case failed"),
                                  warn(BASE, "1 corrupted frame dropped")}));
}

TEST_P(FaultSurvival, CorruptedChecksums) {
    // One corrupted answer fails its request only, at once as invalid data
    // (it came, unreadable) rather than after the whole time-out.
    SimRig once = rigWith({fault(zorn::drv::REQ_GET_STATUS, FaultKind::BadChecksum, 0, 1)});
    ConsoleOutcome out = once.console({"test"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 1);
    EXPECT_LT(out.seconds, 10.0);
    EXPECT_EQ(out.errLines(), (std::vector<std::string>{error(SELFTEST, "\t\tfail: (int)dev_->getStatus(status)==(int)"
                                                                        "RESULT_OK: actual -2147450880 != 0"),
                                                        caseWords(CORRUPTED), error(SELFTEST, summary(8, 1)),
                                                        error(FRAME, "Execute command failed: 00000001"),
                                                        error(FRAME, "00000001: 1 self-test case failed"),
                                                        warn(BASE, "1 corrupted frame dropped")}));
    // Every answer corrupted: the base cannot be talked to at all.
    SimRig always = rigWith({fault(-1, FaultKind::BadChecksum)});
    out = always.console({"status"});
    EXPECT_EQ(out.status, 4);
    EXPECT_EQ(out.errLines(), (std::vector<std::string>{fatal(FRAME, "Failed to communicate with device at " +
                                                                         always.channelDescription()),
                                                         warn(BASE, "1 corrupted frame dropped")}));
    EXPECT_EQ(always.device().requestCount(zorn::drv::REQ_GET_STATUS), 0u);
}

TEST_P(FaultSurvival, AnswersArrivingAfterTheirTimeOut) {
    // The status answer comes 1.5 s late, after its request timed out. The
    // motor request after it (an answer of another size) goes out at once;
    // the late status answer is dropped as owed, never taken for the motor
    // reading, and only the status case fails.
    FaultRule late = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Delay, 0, 1);
    late.delayMs = 1500;
    SimRig r = rigWith({late});
    ConsoleOutcome out = r.console({"test"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.errLines(), (std::vector<std::string>{
                                  timedOutCase("(int)dev_->getStatus(status)==(int)RESULT_OK"), caseWords(TIMED_OUT),
                                  error(SELFTEST, summary(8, 1)), error(FRAME, "Execute command failed: 00000001"),
                                  error(FRAME, "00000001: 1 self-test case failed")}));
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SEND_EVENT), 1u);  // the last case ran

    // A late answer that arrives while the console is closing down.
    r.device().setFaults({late});
    out = r.console({"status"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_EQ(out.errLines(), failureLines("80008002"));
}

TEST_P(FaultSurvival, BaseFallsSilentDuringMonitor) {
    SimRig r = rigWith({fault(-1, FaultKind::Silent, 6)});  // connect and five motor readings
    ConsoleOutcome out = r.console({"monitor", "motor"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_EQ(commandLines(r, out),
              std::vector<std::string>(5, info(BASE, "Left Wheel: 0.0     mm Right Wheel: 0.0     mm")));
    EXPECT_EQ(out.errLines(), failureLines("80008002"));
    EXPECT_LT(out.seconds, 5.0);
}

TEST_P(FaultSurvival, MotorReadingsStopDuringRun) {
    // The base keeps taking commands but stops reporting its odometers: the
    // run gives up and stops the wheels itself (the simulated base does not
    // stop them on its own here).
    SimRig r = rigWith({fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Silent, 4)}, false);
    ConsoleOutcome out = r.console({"run", "100", "100", "30"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_EQ(out.errLines(), failureLines("80008002", {fatal(BASE, "Failed to get motor data")}));
    std::vector<std::string> steps = out.outLinesStartingWith(info(BASE, "dl="));
    EXPECT_EQ(steps.size(), 3u);  // the first reading is the start, three steps follow
    auto requests = r.device().requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(isZeroMotor(requests.back()));
    EXPECT_FALSE(r.device().moving());
    EXPECT_LT(out.seconds, 6.0);
}

TEST_P(FaultSurvival, BaseFallsSilentDuringRun) {
    // Nothing answers any more, not even the stop: it is tried three times,
    // the console says the base did not confirm it, and fails.
    SimRig r = rigWith({fault(-1, FaultKind::Silent, 8)});
    ConsoleOutcome out = r.console({"run", "100", "-100", "30"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_EQ(out.errLines(),
              failureLines("80008002", {fatal(BASE, "Failed to get motor data"),
                                        error(BASE, "The base did not confirm the stop request (80008002): it may "
                                                    "still be moving")}));
    auto requests = r.device().requests();
    ASSERT_GE(requests.size(), 3u);
    for (size_t i = requests.size() - 3; i < requests.size(); ++i) {
        EXPECT_TRUE(isZeroMotor(requests[i]));
        EXPECT_EQ(requests[i].fault, "silent");
    }
    // Four time-outs (the reading and three stops) after the connection.
    EXPECT_LT(out.seconds, 8.0);
}

TEST_P(FaultSurvival, BaseFallsSilentDuringVrun) {
    // vrun keeps its timing through lost answers and integrates nothing for
    // them; the unanswered stop is retried and reported, and fails the run.
    SimRig r = rigWith({fault(zorn::drv::REQ_SET_VELOCITY, FaultKind::Silent, 3)});
    ConsoleOutcome out = r.console({"vrun", "0.1", "0", "0", "0.5"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT) << out.err;
    EXPECT_EQ(out.outLinesStartingWith(info(BASE, "dx=")).size(), 2u);  // the second and third answers
    EXPECT_TRUE(has(out.errLines(),
                    error(BASE, "The base did not confirm the stop request (80008002): it may still be moving")));
    auto requests = r.device().requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(isZeroVelocity(requests.back()));
    // One second of passes, the last of which may wait out its time-out,
    // then three stop time-outs.
    EXPECT_LT(out.seconds, 8.0);
}

TEST_P(FaultSurvival, InterruptDuringRunStopsTheMotors) {
    // Ctrl-Z too (a suspended console could not stop the motors), and a
    // signal whose default would end the console at once.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGUSR1}) {
        SimRig r = rigWith({}, false);
        auto child = r.start({"run", "100", "100", "30"});
        ASSERT_TRUE(child->waitForOutput("dl=", milliseconds(10000))) << "no run step";
        ASSERT_TRUE(r.device().moving());
        child->signal(sig);
        ConsoleOutcome out = child->wait(milliseconds(10000));
        ASSERT_FALSE(out.killed);
        const std::string name = sig == SIGINT    ? "SIGINT"
                                 : sig == SIGTERM ? "SIGTERM"
                                 : sig == SIGHUP  ? "SIGHUP"
                                 : sig == SIGQUIT ? "SIGQUIT"
                                 : sig == SIGTSTP ? "SIGTSTP"
                                                  : "SIGUSR1";
        EXPECT_EQ(out.status, 128 + sig) << name;
        // One line says so; the frame adds no failure line of its own.
        EXPECT_EQ(out.errLines(), std::vector<std::string>{warn(BASE, "Interrupted by " + name + ", motors stopped")});
        // The stop request came from the console, not from the base noticing
        // the host had gone.
        EXPECT_EQ(wheelSpeeds(r.device()), (std::vector<std::vector<int>>{{100, 100}, {0, 0}}));
        EXPECT_FALSE(r.device().moving());
        EXPECT_TRUE(isZeroMotor(r.device().requests().back()));
    }
}

TEST_P(FaultSurvival, InterruptDuringVrunStopsTheBase) {
    SimRig r = rigWith({}, false);
    auto child = r.start({"vrun", "0.1", "0", "0.2", "30"});
    ASSERT_TRUE(child->waitForOutput("dx=", milliseconds(10000))) << "no vrun step";
    child->signal(SIGINT);
    ConsoleOutcome out = child->wait(milliseconds(10000));
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 130);
    EXPECT_EQ(out.errLines(), std::vector<std::string>{warn(BASE, "Interrupted by SIGINT, base stopped")});
    auto commands = r.device().velocityCommands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands.front().vx_q16, 6553);
    EXPECT_EQ(commands.back().vx_q16, 0);
    EXPECT_EQ(commands.back().omega_q16, 0);
    EXPECT_FALSE(r.device().moving());
}

TEST_P(FaultSurvival, InterruptDuringTheSelfTestStartsNoMotor) {
    // Ctrl-C while a slow status answer is awaited: the setMotor case, later
    // in the list, must not start the wheels after it.
    FaultRule slow = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Delay, 0, 1);
    slow.delayMs = 800;
    SimRig r = rigWith({slow}, false);
    auto child = r.start({"test"});
    ASSERT_TRUE(child->waitForOutput("Testing getStatus", milliseconds(10000)));
    child->signal(SIGINT);
    ConsoleOutcome out = child->wait(milliseconds(10000));
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 130);
    // The case the signal cut short is skipped, as are the six not started.
    EXPECT_NE(out.out.find("ControlBus: 9 total, 7 skipped, 2 pass, 0 failed"), std::string::npos)
        << out.out << out.err;
    EXPECT_EQ(out.errLines().back(), warn(BASE, "Interrupted by SIGINT"));
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SET_MOTOR), 0u);
    EXPECT_FALSE(r.device().moving());
}

TEST_P(FaultSurvival, InterruptDuringMonitorEndsIt) {
    SimRig r = rigWith({});
    auto child = r.start({"monitor", "bumper"});
    ASSERT_TRUE(child->waitForOutput("Bumper/Cliff Values:", milliseconds(10000)));
    child->signal(SIGTERM);
    ConsoleOutcome out = child->wait(milliseconds(10000));
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 143);
    EXPECT_EQ(out.errLines(), std::vector<std::string>{warn(BASE, "Interrupted by SIGTERM, monitor stopped")});
    // Read-only: nothing was sent to stop.
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SET_MOTOR), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, FaultSurvival, ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& p) { return transportName(p.param); });

TEST(FaultSurvivalSerial, LineHungUpByTheBase) {
    SimRig r(scenarioWith([](Scenario& s) { s.closeAfter = 5; }), Transport::Serial);
    const std::string device = r.sim().ptyPath();
    ConsoleOutcome out = r.console({"monitor", "status"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_FAILED);
    EXPECT_EQ(commandLines(r, out).size(), 8u);  // four readings before the line went
    EXPECT_EQ(out.errLines(), linkLostLines(Transport::Serial));
    EXPECT_LT(out.seconds, 6.0);
    // The simulated base offers a new line, and the console works on it.
    ASSERT_TRUE(r.sim().waitFor([&] { return !r.sim().ptyPath().empty() && r.sim().ptyPath() != device; },
                                milliseconds(5000)));
    r.device().setCloseAfter(-1);
    out = r.console({"status"});
    EXPECT_EQ(out.status, 0) << out.err;
}

TEST(FaultSurvivalTcp, SecondInterruptWhileStoppingLeavesAtOnce) {
    // The stop request goes unanswered, so the console waits up to a second
    // for its answer; a second Ctrl-C in that time (a deliberate one, after
    // the burst that counts as the first) ends the wait: the stop is
    // reported unconfirmed, cut short rather than timed out.
    SimRig r(scenarioWith([](Scenario& s) {
        s.faults = {fault(zorn::drv::REQ_SET_MOTOR, FaultKind::Silent, 1)};
        s.stopOnDisconnect = false;
    }));
    auto child = r.start({"run", "100", "100", "30"});
    ASSERT_TRUE(child->waitForOutput("dl=", milliseconds(10000)));
    child->signal(SIGINT);
    ASSERT_TRUE(r.sim().waitFor(
        [&] {
            auto requests = r.device().requests();
            return !requests.empty() && isZeroMotor(requests.back());
        },
        milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(zorn::orbitane::test::BURST_MS + 50));  // a person's second press
    child->signal(SIGINT);
    ConsoleOutcome out = child->wait(milliseconds(10000));
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 130);
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{warn(BASE, "Interrupted by SIGINT"),
                                        error(BASE, "The base did not confirm the stop request (80008001): it may "
                                                    "still be moving")}));
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SET_MOTOR), 2u) << "one stop, not retried after the cut";
}

}  // namespace
