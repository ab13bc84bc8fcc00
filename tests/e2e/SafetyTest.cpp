// Every way out of a command that moved the base sends the stop, checks its
// answer and tells the truth; a stalled line, a closed or blocked output and
// every exit signal end the console promptly with a defined status.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "drv/ControlBus.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ChildProcess.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;
using std::chrono::milliseconds;

namespace {

const std::string STOP_NOT_CONFIRMED_PREFIX = "The base did not confirm the stop request";

// The console's command line for a shell, each word quoted.
std::string shellCommand(const SimRig& rig, const std::vector<std::string>& command, bool trace = false) {
    std::string line = "'" + tests::support::builtProgram("orbitane_console") + "'";
    for (const std::string& word : rig.argsFor(command, trace)) line += " '" + word + "'";
    return line;
}

ConsoleOutcome runShell(const std::string& script, milliseconds limit = milliseconds(30000)) {
    ConsoleProcess shell("/bin/bash", {"-c", script});
    return shell.wait(limit);
}

// Seconds from the wheel command to the first stop that followed it.
double drivenSeconds(BaseDevice& device) {
    const auto requests = device.requests();
    auto start = std::find_if(requests.begin(), requests.end(), [](const ReceivedRequest& r) {
        return r.code == zorn::drv::REQ_SET_MOTOR && !isZeroMotor(r);
    });
    if (start == requests.end()) return -1;
    auto stop = std::find_if(start, requests.end(), isZeroMotor);
    if (stop == requests.end()) return -1;
    return static_cast<double>(stop->atNs - start->atNs) / 1e9;
}

bool anyLineHas(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class Safety : public ::testing::TestWithParam<Transport> {};

TEST_P(Safety, StalledLineFailsWithTheTimeOutInsteadOfHanging) {
    SimRig r(scenarioWith([](Scenario& s) { s.faults = {fault(-1, FaultKind::Stall, 20)}; }), GetParam());
    ConsoleOutcome out = r.console({"monitor", "status"}, milliseconds(15000));
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_LT(out.seconds, 6.0);
}

TEST_P(Safety, SignalDuringAStalledRunEndsWithinTwoSeconds) {
    SimRig r(scenarioWith([](Scenario& s) { s.faults = {fault(-1, FaultKind::Stall, 40)}; }), GetParam());
    auto child = r.start({"run", "100", "100", "30"});
    const auto stalled = [&] {
        for (const ReceivedRequest& q : r.device().requests())
            if (q.fault == "stall") return true;
        return false;
    };
    const auto limit = std::chrono::steady_clock::now() + milliseconds(10000);
    while (!stalled() && std::chrono::steady_clock::now() < limit) child->waitForOutput("\x01", milliseconds(20));
    ASSERT_TRUE(stalled());
    const auto signalled = std::chrono::steady_clock::now();
    child->signal(SIGINT);
    ConsoleOutcome out = child->wait(milliseconds(10000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 130);
    EXPECT_LT(seconds, 2.0 * kTimeScale);
    // The base never answered the stop: the console must not claim it.
    EXPECT_TRUE(anyLineHas(out.errLines(), STOP_NOT_CONFIRMED_PREFIX)) << out.err;
    EXPECT_FALSE(anyLineHas(out.errLines(), "stopped")) << out.err;
}

INSTANTIATE_TEST_SUITE_P(Transports, Safety, ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& p) { return transportName(p.param); });

TEST(SafetyOutput, ClosedOrBlockedOutputNeverDelaysTheStop) {
    struct Case {
        const char* reader;  // what reads the console's standard output
        int status;          // the console's own exit status
    };
    for (const Case& c : {Case{"head -n 3 >/dev/null", 1}, Case{"(sleep 3; cat >/dev/null)", 0}}) {
        SCOPED_TRACE(c.reader);
        SimRig r;
        ConsoleOutcome out =
            runShell(shellCommand(r, {"run", "100", "100", "1"}) + " | " + c.reader + "; echo ${PIPESTATUS[0]}");
        ASSERT_FALSE(out.killed);
        EXPECT_EQ(std::atoi(out.out.c_str()), c.status) << out.err;
        const double driven = drivenSeconds(r.device());
        EXPECT_GE(driven, 1.0);
        EXPECT_LT(driven, 1.05 + 0.03) << "the stop must meet the deadline";
        EXPECT_FALSE(r.device().moving());
    }
}

TEST(SafetyOutput, OutputThatCannotBeWrittenFailsASuccessfulCommand) {
    SimRig r;
    ConsoleOutcome out = runShell(shellCommand(r, {"status"}) + " > /dev/full");
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.errLines(), std::vector<std::string>{error(
                                  FRAME, "Standard output was lost: it could not be written (closed, full or broken)")});
}

TEST(SafetyOutput, TracedFloodIntoAnUnreadPipeKeepsMemoryBounded) {
#ifdef ORBITANE_SLOW_BUILD
    GTEST_SKIP() << "resident memory of a sanitizer build says nothing about the console's";
#endif
    // 4 MiB of line noise before every answer, traced in hex into a pipe that
    // nobody reads for five seconds: the console must stop reading rather
    // than queue what it cannot write, and a stop signal still ends it.
    FaultRule flood = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Flood);
    flood.size = 4 << 20;
    SimRig r(scenarioWith([&](Scenario& s) { s.faults = {flood}; }));
    // One statement a line: `&` must put the console itself in the
    // background, so that $! is its process and its memory is what is read.
    const std::string script = "d=$(mktemp -d) || exit 1\n"
                               "mkfifo \"$d/f\" || exit 1\n"
                               "exec 3<>\"$d/f\"\n" +
                               shellCommand(r, {"monitor", "status"}, true) +
                               " >\"$d/f\" 2>/dev/null &\n"
                               "pid=$!\n"
                               "sleep 5\n"
                               "grep VmHWM /proc/$pid/status | tr -dc 0-9\n"
                               "echo\n"
                               "grep -c orbitane_console /proc/$pid/cmdline\n"
                               // A stop signal must end it although its output is stuck.
                               "kill -TERM $pid\n"
                               "for i in $(seq 40); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done\n"
                               "kill -9 $pid 2>/dev/null\n"
                               "wait $pid\n"
                               "echo $?\n"
                               "rm -rf \"$d\"\n";
    ConsoleOutcome out = runShell(script);
    ASSERT_FALSE(out.killed);
    const std::vector<std::string> lines = out.outLines();
    ASSERT_EQ(lines.size(), 3u) << out.out << out.err;
    EXPECT_EQ(lines[1], "1") << "the figure must be the console's own";
    EXPECT_EQ(lines[2], "143") << "SIGTERM ends it within 4 s (137: it had to be killed)";
    const long peakKiB = std::atol(lines[0].c_str());
    EXPECT_GT(peakKiB, 1024) << out.out << out.err;
    EXPECT_LT(peakKiB, 16 * 1024);
    EXPECT_GE(r.device().requestCount(zorn::drv::REQ_GET_STATUS), 1u);
}

// One fault of the base or of the user, and what must come of it.
struct FaultCase {
    const char* name;
    std::function<void(Scenario&)> scenario;
    std::vector<std::string> command;
    int status;
    std::function<void(BaseDevice&, const ConsoleOutcome&)> check;
};

TEST(SafetyFaults, EachFaultEndsSafelyWithItsStatus) {
    const FaultCase cases[] = {
        {"lost answer to the start",
         [](Scenario& s) {
             FaultRule lose = fault(zorn::drv::REQ_SET_MOTOR, FaultKind::LoseAnswer, 0, 1);
             s.faults = {lose};
         },
         {"run", "100", "100", "1"}, STATUS_TIMEOUT,
         [](BaseDevice& d, const ConsoleOutcome&) {
             // The first stop's answer cannot be told from the start's late
             // one, so it does not count; the retry is confirmed.
             EXPECT_EQ(wheelSpeeds(d), (std::vector<std::vector<int>>{{100, 100}, {0, 0}, {0, 0}}));
             EXPECT_FALSE(d.moving());
         }},
        {"refused stop",
         [](Scenario& s) { s.faults = {fault(zorn::drv::REQ_SET_MOTOR, FaultKind::Error, 1)}; },
         {"run", "100", "100", "0.2"}, STATUS_FAILED,
         [](BaseDevice& d, const ConsoleOutcome& out) {
             EXPECT_EQ(d.requestCount(zorn::drv::REQ_SET_MOTOR), 4u) << "the start and three stops";
             EXPECT_TRUE(anyLineHas(out.errLines(), STOP_NOT_CONFIRMED_PREFIX));
             EXPECT_FALSE(anyLineHas(out.outLines(), "stopped"));
             EXPECT_FALSE(anyLineHas(out.errLines(), "stopped"));
         }},
        {"malformed speeds", [](Scenario&) {}, {"run", "100abc", "0x64", "0.01"}, 2,
         [](BaseDevice& d, const ConsoleOutcome&) { EXPECT_EQ(d.requestCount(zorn::drv::REQ_SET_MOTOR), 0u); }},
        {"monitor of an unknown command", [](Scenario&) {}, {"monitor", "foo"}, 5,
         [](BaseDevice&, const ConsoleOutcome& out) {
             EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\n'), 3) << out.err;  // not found, failed, its words
         }},
        {"vrun on a base without velocity",
         [](Scenario& s) { s.faults = {fault(zorn::drv::REQ_SET_VELOCITY, FaultKind::Unsupported)}; },
         {"vrun", "0.1", "0", "0", "0.2"}, STATUS_NOT_SUPPORTED, nullptr},
        {"radius 0", [](Scenario& s) { s.legacy.radiusMm = 0; }, {"run", "100", "100", "1"}, STATUS_INVALID_DATA,
         [](BaseDevice& d, const ConsoleOutcome&) { EXPECT_EQ(d.requestCount(zorn::drv::REQ_SET_MOTOR), 0u); }},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimRig r(scenarioWith(c.scenario));
        ConsoleOutcome out = r.console(c.command, milliseconds(15000));
        ASSERT_FALSE(out.killed);
        EXPECT_EQ(out.status, c.status) << out.err;
        if (c.check) c.check(r.device(), out);
    }
}

// A burst of signals ends like one: one stop written, one line, and an exit
// with 128 + the signal (never a death by it). Repeated, since the burst
// may land at any point of the stop.
TEST(SignalBurst, EndsLikeOneSignal) {
    struct Row {
        std::vector<std::string> command;
        const char* ready;  // printed once the base moves (or reads)
        int sig;
        std::string line;
    };
    const Row rows[] = {
        {{"run", "100", "100", "30"}, "dl=", SIGINT, "Interrupted by SIGINT, motors stopped"},
        {{"vrun", "0.1", "0", "0", "30"}, "dx=", SIGTERM, "Interrupted by SIGTERM, base stopped"},
        {{"monitor", "status"}, "Battery", SIGHUP, "Interrupted by SIGHUP, monitor stopped"},
    };
    for (const Row& row : rows) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            SCOPED_TRACE(row.command[0] + " #" + std::to_string(attempt));
            SimRig r;
            auto child = r.start(row.command);
            ASSERT_TRUE(child->waitForOutput(row.ready, milliseconds(10000)));
            for (int i = 0; i < 50; ++i) child->signal(row.sig);
            const ConsoleOutcome out = child->wait(milliseconds(10000));
            ASSERT_FALSE(out.killed);
            EXPECT_EQ(out.signal, 0) << "died by the signal";
            EXPECT_EQ(out.status, 128 + row.sig);
            EXPECT_EQ(out.errLines(), std::vector<std::string>{warn(BASE, row.line)});
            EXPECT_FALSE(r.device().moving());
            if (row.command[0] == "run") {
                const auto motors = r.device().motorCommands();
                ASSERT_EQ(motors.size(), 2u) << "one start, one stop";
                EXPECT_EQ(motors[1].left_speed, 0);
            }
        }
    }
}

// The stop's outcome in JSON: confirmed in the summary of a run, not
// confirmed (with the stop's code) in the failure object.
TEST(StopOutcome, JsonSaysWhetherTheBaseConfirmedTheStop) {
    SimRig healthy;
    ConsoleOutcome out = healthy.console({"--json", "run", "100", "100", "0.1"});
    ASSERT_EQ(out.status, 0) << out.err;
    ASSERT_FALSE(out.outLines().empty());
    const std::string summary = out.outLines().back();
    EXPECT_NE(summary.find("\"summary\":true"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"stop_confirmed\":true"), std::string::npos) << summary;

    SimRig silent(scenarioWith([](Scenario& s) {
        s.faults = {fault(zorn::drv::REQ_SET_MOTOR, FaultKind::Silent, 1)};
        s.stopOnDisconnect = false;
    }));
    out = silent.console({"--json", "run", "100", "100", "0.1"});
    EXPECT_EQ(out.status, 2) << "the stop's time-out, as the shell sees it";
    ASSERT_FALSE(out.outLines().empty());
    const std::string failure = out.outLines().back();
    EXPECT_NE(failure.find("\"error\":\"timeout\""), std::string::npos) << failure;
    EXPECT_NE(failure.find("\"stop_confirmed\":false"), std::string::npos) << failure;
    EXPECT_NE(failure.find("\"stop_result\":-2147450878"), std::string::npos) << failure;
}

// A reading repeated into a pipe whose reader left ends, as a Unix tool
// does, with the lost-output status.
TEST(LostOutput, MonitorIntoAPipeWhoseReaderLeftEnds) {
    SimRig r;
    const ConsoleOutcome out =
        runShell(shellCommand(r, {"monitor", "status"}) + " | head -1 >/dev/null; exit ${PIPESTATUS[0]}",
                 milliseconds(20000));
    ASSERT_FALSE(out.killed) << "monitor went on writing into the broken pipe";
    EXPECT_EQ(out.status, 1);
}

}  // namespace
