// The console program run as a child process against a scripted base on
// loopback: interrupting the commands that keep the base busy, and the exit
// status of failed commands.
#include <gtest/gtest.h>

#include <thread>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/Interrupt.h"
#include "drv/ControlBus.h"
#include "tests/console/ConsoleRig.h"
#include "tests/support/ChildProcess.h"

using namespace tests::console;
using namespace zorn::drv;
using namespace tests::support;

namespace {

const std::string BASE_APP = "[zorn.orbitane.test.OrbitaneBaseConsoleApplication] ";
const std::string FRAME = "[zorn.orbitane.test.OrbitaneConsoleApplication] ";

class ConsoleProcess : public ::testing::Test {
protected:
    ConsoleProcess() { base.scriptHealthyBase(); }

    std::vector<std::string> argsFor(const std::vector<std::string>& command) const {
        std::vector<std::string> args = {"base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(tcp.port())};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

    // Starts the console with `command`, waits until the base has seen
    // `requests` requests, then sends `sig`.
    ChildResult interruptAfter(const std::vector<std::string>& command, size_t requests, int sig) {
        RunningChild child(builtProgram("orbitane_console"), argsFor(command));
        EXPECT_TRUE(base.waitForRequests(requests, BOUND)) << "the command never got going";
        child.signal(sig);
        return child.wait(std::chrono::seconds(20));
    }

    std::vector<int32_t> lastWordsOf(uint8_t code) const {
        const std::vector<BaseRequest> requests = base.requests(code);
        return requests.empty() ? std::vector<int32_t>() : argWords(requests.back());
    }

    ScriptedBase base;
    ScriptedTcpBase tcp{base};
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(ConsoleProcess, InterruptedRunStopsTheWheelsAndExitsWith130) {
    const ChildResult r = interruptAfter({"run", "100", "100", "1000"}, 12, SIGINT);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(contains(r.err, BASE_APP + "[WARN] Interrupted by SIGINT, motors stopped\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "Execute command failed")) << r.err;
    const std::vector<BaseRequest> all = base.requests();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().code, REQ_SET_MOTOR) << "the stop is the last request the base sees";
    EXPECT_EQ(lastWordsOf(REQ_SET_MOTOR), (std::vector<int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(base.requestCount(REQ_SET_MOTOR), 2u);
}

TEST_F(ConsoleProcess, TerminatedVrunStopsTheBaseAndExitsWith143) {
    const ChildResult r = interruptAfter({"vrun", "0.1", "0", "0.2", "1000"}, 12, SIGTERM);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 143);
    EXPECT_TRUE(contains(r.err, BASE_APP + "[WARN] Interrupted by SIGTERM, base stopped\n")) << r.err;
    const std::vector<BaseRequest> all = base.requests();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().code, REQ_SET_VELOCITY);
    EXPECT_EQ(lastWordsOf(REQ_SET_VELOCITY), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(ConsoleProcess, InterruptedMonitorExitsWith130WithoutDrivingAnything) {
    const ChildResult r = interruptAfter({"monitor", "motor"}, 12, SIGINT);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(contains(r.err, BASE_APP + "[WARN] Interrupted by SIGINT, monitor stopped\n")) << r.err;
    EXPECT_EQ(base.requestCount(REQ_SET_MOTOR) + base.requestCount(REQ_SET_VELOCITY), 0u);
}

TEST_F(ConsoleProcess, SecondInterruptWhileStoppingExitsAtOnce) {
    // The base takes the drive request, then never answers the stop.
    base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
    base.silence(REQ_SET_MOTOR);
    RunningChild child(builtProgram("orbitane_console"), argsFor({"run", "100", "100", "1000"}));
    ASSERT_TRUE(base.waitForRequests(12, BOUND));
    child.signal(SIGINT);
    ASSERT_TRUE(base.waitForRequests(REQ_SET_MOTOR, 2, BOUND)) << "the stop request was not sent";
    ASSERT_EQ(base.requestCount(REQ_SET_MOTOR), 2u);
    // Signals right after the first are one burst; a person's second press
    // comes later.
    std::this_thread::sleep_for(std::chrono::milliseconds(zorn::orbitane::test::BURST_MS + 50));
    const auto second = std::chrono::steady_clock::now();
    child.signal(SIGINT);
    const ChildResult r = child.wait(std::chrono::seconds(20));
    const auto took = std::chrono::steady_clock::now() - second;
    EXPECT_EQ(r.status, 130);
    EXPECT_FALSE(contains(r.err, "motors stopped")) << "the stop was still awaited: " << r.err;
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer holds signal handlers back until a blocking wait ends,
    // so the bound only holds in a normal build.
    EXPECT_LT(took, std::chrono::milliseconds(900)) << "the stop request's time-out was awaited";
#else
    (void)took;
#endif
}

TEST_F(ConsoleProcess, NothingStartsMovingAfterAnInterrupt) {
    // The base is slow to answer a request made before anything moves; Ctrl-C
    // comes meanwhile.
    struct Case {
        std::vector<std::string> command;
        uint8_t slowRequest;
        std::string says;
    };
    const Case cases[] = {
        // The case the signal cut short is skipped, not failed.
        {{"test"}, REQ_GET_STATUS, "[INFO] ControlBus: 9 total, 7 skipped, 2 pass, 0 failed\n"},
        {{"run", "100", "100", "5"}, REQ_GET_CONFIG, BASE_APP + "[WARN] Interrupted by SIGINT before the wheels were started\n"},
    };
    for (const Case& c : cases) {
        base.scriptHealthyBase();
        base.silence(c.slowRequest);
        const size_t seen = base.requestCount(c.slowRequest);
        RunningChild child(builtProgram("orbitane_console"), argsFor(c.command));
        ASSERT_TRUE(base.waitForRequests(c.slowRequest, seen + 1, BOUND)) << c.command[0];
        const auto signalled = std::chrono::steady_clock::now();
        child.signal(SIGINT);
        const ChildResult r = child.wait(std::chrono::seconds(20));
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(2)) << c.command[0];
        EXPECT_EQ(r.status, 130) << c.command[0];
        EXPECT_TRUE(contains(r.out + r.err, c.says)) << r.out << r.err;
    }
    EXPECT_EQ(base.requestCount(REQ_SET_MOTOR), 0u) << "the wheels were set turning after the interrupt";
}

TEST_F(ConsoleProcess, NegativeResultsNeverExitAsSuccess) {
    base.answer(REQ_GET_STATUS, Bytes{80});  // RESULT_INVALID_DATA, low byte 0
    ChildResult r = runChild(builtProgram("orbitane_console"), argsFor({"status"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, FRAME + "[ERRO] Execute command failed: 80008000\n")) << r.err;

    base.answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{1, 4, {0, 0, 0}});  // -1
    r = runChild(builtProgram("orbitane_console"), argsFor({"beacon"}));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.err, FRAME + "[ERRO] Execute command failed: FFFFFFFF\n")) << r.err;
}

TEST_F(ConsoleProcess, SelfTestAgainstAHealthyBaseEndsWithTheSummaryAndSuccess) {
    const ChildResult r = runChild(builtProgram("orbitane_console"), argsFor({"test"}));
    EXPECT_EQ(r.status, 0);
    const std::string tail = "[zorn.orbitane.test] [INFO] ControlBus: 9 total, 0 skipped, 9 pass, 0 failed\n" + FRAME +
                             "[INFO] Successfully executed command\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.err, "");
}
