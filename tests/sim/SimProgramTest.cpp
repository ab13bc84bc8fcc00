// The simulator and the console as programs: ready lines, log lines, stop
// signals, and a scripted reading seen through the console.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "sim/SimServer.h"
#include "tests/support/ChildProcess.h"

using namespace zorn::orbitane::sim;
using orbitane::testsupport::builtProgram;
using orbitane::testsupport::ChildResult;
using orbitane::testsupport::RunningChild;
using orbitane::testsupport::runChild;
using std::chrono::milliseconds;

namespace {

TEST(SimProgramTest, EveryStopSignalEndsCleanlyAndRemovesThePtyLink) {
    const std::string link = "/tmp/orbitane-simprog-" + std::to_string(::getpid());
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
        RunningChild sim(builtProgram("orbitane_base_sim"),
                         {"--tcp", "127.0.0.1:0", "--pty", link, "--state-every", "0.05"});
        ASSERT_TRUE(sim.waitForOutput("link " + link, milliseconds(5000))) << sim.outputSoFar();
        ASSERT_TRUE(sim.waitForOutput("state: wheels", milliseconds(5000))) << sim.outputSoFar();
        struct stat st;
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        sim.signal(sig);
        ChildResult r = sim.wait(milliseconds(5000));
        EXPECT_EQ(r.status, 0) << strsignal(sig);
        EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind after " << strsignal(sig);
        // The ready line once; every log line starts with the seconds since
        // the start.
        size_t ready = 0;
        const std::regex logLine(R"(^\d+\.\d{3} \[[^\]]+\] \[(DBUG|INFO|WARN|ERRO|FATL)\] .*)");
        for (const std::string& line : ChildResult::lines(r.out + r.err)) {
            if (line.rfind("listening on tcp 127.0.0.1:", 0) == 0) {
                ++ready;
            } else if (line.rfind("pty ", 0) != 0 && line.rfind("link ", 0) != 0 && line.rfind("stopped on ", 0) != 0) {
                EXPECT_TRUE(std::regex_match(line, logLine)) << line;
            }
        }
        EXPECT_EQ(ready, 1u) << r.out;
        EXPECT_NE(r.out.find(std::string("stopped on SIG")), std::string::npos) << r.out;
    }
}

TEST(SimProgramTest, ScriptedBumperPressIsSeenByTheConsoleAtItsTime) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"bumper_bits": 15,
        "timeline": [{"reading": "bumper_bits", "value": 14, "from_s": 2, "to_s": 3}]})",
                                  s, error))
        << error;
    auto clock = std::make_shared<ManualClock>();
    SimServer sim(s, clock);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    const std::vector<std::string> args{"base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port()),
                                        "bumper"};
    // The first bumper (#3) shows "X" while its bit is clear.
    const std::string pressed = "[X] #3 ";
    const std::string released = "[ ] #3 ";
    struct Step {
        int64_t atMs;
        bool pressed;
    };
    int64_t now = 0;
    for (const Step& step : {Step{1000, false}, Step{2000, true}, Step{2900, true}, Step{3000, false}}) {
        clock->advanceMs(step.atMs - now);
        now = step.atMs;
        ChildResult r = runChild(builtProgram("orbitane_console"), args, milliseconds(20000));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(step.pressed ? pressed : released), std::string::npos) << "at " << step.atMs << " ms\n"
                                                                                     << r.out;
    }
}

}  // namespace
