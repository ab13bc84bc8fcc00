// The finer cases of the console commands (every charging text, beacon
// limits, argument handling, legacy and unusual configurations), run as the
// real program against the simulated base. The transport makes no
// difference here, so these run over TCP only; the per-command tests run
// over both links.

#include <gtest/gtest.h>

#include <algorithm>

#include "drv/ControlBus.h"
#include "tests/e2e/E2eSupport.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;

namespace {

Scenario legacyScenario() {
    Scenario legacy;
    std::string why;
    EXPECT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/legacy.json", legacy, why)) << why;
    return legacy;
}

TEST(ConsoleCommandDetails, EveryChargingText) {
    SimRig r;
    const std::vector<std::pair<int, std::string>> texts = {
        {0, "Not connected, discharging"},        {2, "Cable connected but not charging"},
        {3, "Charging from cable"},               {4, "On charging dock but not charging"},
        {5, "Charging from base"},                {6, "Cable connected but not charging"},
        {7, "Charging from cable"},
    };
    for (const auto& t : texts) {
        r.device().setStatus(100, static_cast<uint8_t>(t.first));
        ConsoleOutcome out = r.console({"status"});
        EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Battery: 100%"),
                                                                  info(BASE, "Charging Status: " + t.second), SUCCESS}))
            << "flags " << t.first;
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.err, "");
    }
    // Only the charging bit: the legacy warning, on standard error.
    r.device().setStatus(5, 1);
    ConsoleOutcome out = r.console({"status"});
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Battery: 5%"), SUCCESS}));
    EXPECT_EQ(out.errLines(),
              std::vector<std::string>{warn(BASE,
                                            "Charging Status: Charging (you are using legacy protocol, please specify "
                                            "DcConnected or OnChargingBase bit field")});
    EXPECT_EQ(out.status, 0);
}

TEST(ConsoleCommandDetails, BeaconLimits) {
    // No beacons: a probe line with an empty text per probe.
    SimRig none(scenarioWith([](Scenario& s) {
        s.beaconCount = 0;
        s.probes = {0xFF, 0};
    }));
    ConsoleOutcome out = none.console({"beacon"});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(commandLines(none, out),
              (std::vector<std::string>{info(BASE, "Found 0 beacons and 2 probes"), info(BASE, "\tProbe #0: "),
                                        info(BASE, "\tProbe #1: "), SUCCESS}));

    // Nine beacons are reported and tolerated; the ninth reads as not seen.
    SimRig many(scenarioWith([](Scenario& s) {
        s.beaconCount = 9;
        s.probes = {0x81};
    }));
    out = many.console({"beacon"});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(commandLines(many, out),
              (std::vector<std::string>{info(BASE, "Found 9 beacons and 1 probes"),
                                        info(BASE, "\tProbe #0: 0: yes 1:     2:     3:     4:     5:     6:     7: "
                                                   "yes 8:     "),
                                        SUCCESS}));
    EXPECT_EQ(out.errLines(),
              std::vector<std::string>{error(BASE, "Only support no more than 8 beacons, but 9 beacons found")});

    // More than three probes ends the command with -1 before any probe line.
    SimRig probes(scenarioWith([](Scenario& s) { s.probeCountOverride = 4; }));
    out = probes.console({"beacon"});
    EXPECT_EQ(out.status, 255);
    EXPECT_EQ(commandLines(probes, out), std::vector<std::string>{info(BASE, "Found 2 beacons and 4 probes")});
    EXPECT_EQ(out.errLines(), (std::vector<std::string>{
                                  error(BASE, "Currently only support no more than 3 probes, but 4 probes found"),
                                  error(FRAME, "Execute command failed: FFFFFFFF"),
                                  error(FRAME, "FFFFFFFF: unknown result code: the lines above say what failed")}));
}

TEST(ConsoleCommandDetails, PollWithoutAGetInfoQuestion) {
    SimRig r;
    ConsoleOutcome out = r.console({"poll"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Base cmd pending: 0 "), SUCCESS}));
    r.device().setPendingCommand(0x52);  // some other question: printed only
    out = r.console({"poll", "ignored"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Base cmd pending: 52 "), SUCCESS}));
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_ANSWER_GET_INFO), 0u);
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_POLL_COMMAND), 2u);
}

TEST(ConsoleCommandDetails, EventArguments) {
    SimRig r;
    ConsoleOutcome out = r.console({"event", "abc"});
    EXPECT_EQ(out.status, 2);
    EXPECT_TRUE(has(out.errLines(), fatal(BASE, "Failed to parse parameter code")));
    out = r.console({"event", "-1"});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(r.device().events(), (std::vector<uint8_t>{255}));

    out = r.console({"event"});
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{
                  fatal(BASE, "Missing parameters."), error(FRAME, "Execute command failed: 00000002"),
                  error(FRAME, "00000002: usage error: the command's arguments are missing or cannot be read")}));
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SEND_EVENT), 1u);
}

TEST(ConsoleCommandDetails, MonitorUsage) {
    SimRig r;
    for (const auto& command : std::vector<std::vector<std::string>>{{"monitor"}, {"monitor", "monitor"}}) {
        ConsoleOutcome out = r.console(command);
        EXPECT_EQ(out.status, 2);
        EXPECT_EQ(out.errLines(),
                  (std::vector<std::string>{
                      fatal(BASE,
                            "monitor command requires at least one argument, such as: orbitane_console "
                            "[options] monitor bumper"),
                      error(FRAME, "Execute command failed: 00000002"),
                      error(FRAME, "00000002: usage error: the command's arguments are missing or cannot be read")}));
    }
    EXPECT_EQ(requestCodes(r.device()), (std::vector<int>{0x10, 0x10}));  // only the connect requests
}

TEST(ConsoleCommandDetails, SelfTestReportsATooSmallLegacyRadius) {
    SimRig r(scenarioWith([](Scenario& s) { s.legacy.radiusMm = 10.0; }));  // 2560 in q8
    ConsoleOutcome out = r.console({"test"});
    EXPECT_EQ(out.status, 1);
    std::vector<std::string> lines = commandLines(r, out);
    EXPECT_TRUE(has(lines, info(SELFTEST, "\tTesting getConfig...")));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), info(SELFTEST, "\t\tpass")), 8);
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{error(SELFTEST, "\t\tfail: (int)conf.base_radius_q8>2560: actual 2560 <= 2560"),
                                        error(SELFTEST, "ControlBus: 9 total, 0 skipped, 8 pass, 1 failed"),
                                        error(FRAME, "Execute command failed: 00000001"),
                                        error(FRAME, "00000001: 1 self-test case failed")}));
}

TEST(ConsoleCommandDetails, ConfigSummaryFollowsTheBaseDescription) {
    // Lidar pose, margin and features other than the default's.
    SimRig r(scenarioWith([](Scenario& s) {
        Json::Value& bc = s.binaryConfig;
        bc["lidar"]["installation_pose"]["x"] = 0.05;
        bc["lidar"]["installation_pose"]["y"] = -0.02;
        bc["lidar"]["installation_pose"]["yaw"] = 0.5235988;
        bc["motion_plan"]["side_margin"] = 0.075;
        bc["base"]["low_battery_auto_homing"] = false;
    }));
    ConsoleOutcome out = r.console({"config"});
    EXPECT_EQ(out.status, 0) << out.err;
    std::vector<std::string> lines = commandLines(r, out);
    EXPECT_TRUE(has(lines, info(BASE, "    Installation Pose:  5.0 cm, -2.0 cm, 30.0 deg"))) << out.out;
    EXPECT_TRUE(has(lines, info(BASE, "    Side Margin:  7.5 cm")));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], info(BASE, "    Auto Home on Low Battery: Disabled"));

    SimRig noTower(scenarioWith([](Scenario& s) { s.binaryConfig["features"]["has_ir_docking_tower"] = false; }));
    out = noTower.console({"config"});
    lines = commandLines(noTower, out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], info(BASE, "    Has IR Tower: No"));
    EXPECT_EQ(lines.back(), SUCCESS);
}

TEST(ConsoleCommandDetails, SensorAndBumperOnALegacyBase) {
    SimRig r(legacyScenario());
    ConsoleOutcome out = r.console({"sensor"});
    EXPECT_EQ(out.status, 0) << out.err;
    // The distance sensors are numbered on after the bumpers.
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Sensor Values:"),
                                                              info(BASE, "\t3 : 420.0mm"),
                                                              info(BASE, "\t4 : 95.5 mm"), SUCCESS}));
    out = r.console({"bumper"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out),
              (std::vector<std::string>{info(BASE, "Bumper/Cliff Values:"),
                                        info(BASE, "\t[X] #0   X:14.7 cm Y:8.5  cm Z:3.0  cm Yaw:30.0deg"),
                                        info(BASE, "\t[ ] #1   X:14.7 cm Y:-8.5 cm Z:3.0  cm Yaw:330.0deg"),
                                        info(BASE, "\t[X] #2   X:14.0 cm Y:0.0  cm Z:-1.0 cm Yaw:0.0deg"), SUCCESS}));
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{fatal(BASE, "Failed to get binary config from base"),
                                        warn(BASE, "The base doesn't support binary config, using legacy config "
                                                   "interface")}));
}

TEST(ConsoleCommandDetails, RunArgumentsAndAZeroTime) {
    SimRig r;
    ConsoleOutcome out = r.console({"run", "100", "100"});
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{
                  fatal(BASE,
                        "Missing parameters. run <left_wheel_speed> <right_wheel_speed> "
                        "<time>, units: mm/s mm/s s"),
                  error(FRAME, "Execute command failed: 00000002"),
                  error(FRAME, "00000002: usage error: the command's arguments are missing or cannot be read")}));
    out = r.console({"run", "100", "100", "1.5x"});
    EXPECT_EQ(out.status, 2);
    ASSERT_FALSE(out.errLines().empty());
    EXPECT_EQ(out.errLines()[0], fatal(BASE, "Failed to parse parameter time"));
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SET_MOTOR), 0u);

    // Time 0 (and the empty text): start, no step, stop, and a summary of nothing.
    for (const char* time : {"0", ""}) {
        out = r.console({"run", "100", "100", time});
        EXPECT_EQ(out.status, 0) << "time \"" << time << "\"";
        EXPECT_EQ(commandLines(r, out),
                  (std::vector<std::string>{info(BASE, "Stop request answered: motors stopped"),
                                            info(BASE, "Run finished: 0.000 s, 0 steps, left wheel 0.0 mm, right wheel "
                                                       "0.0 mm, mean speed 0.0 mm/s, final pose (0.0 mm, 0.0 mm, 0.0 deg)"),
                                            SUCCESS}));
    }
    EXPECT_EQ(wheelSpeeds(r.device()), (std::vector<std::vector<int>>{{100, 100}, {0, 0}, {100, 100}, {0, 0}}));
    EXPECT_FALSE(r.device().moving());
}

TEST(ConsoleCommandDetails, VrunArguments) {
    SimRig r;
    ConsoleOutcome out = r.console({"vrun", "0.1", "0", "0"});
    EXPECT_EQ(out.status, 2);
    ASSERT_FALSE(out.errLines().empty());
    EXPECT_EQ(out.errLines()[0], fatal(BASE, "Missing parameters."));
    out = r.console({"vrun", "0.1", "0", "0", "nan"});
    EXPECT_EQ(out.status, 2);
    ASSERT_FALSE(out.errLines().empty());
    EXPECT_EQ(out.errLines()[0], fatal(BASE, "Invalid arguments"));
    EXPECT_EQ(r.device().requestCount(zorn::drv::REQ_SET_VELOCITY), 0u);
}

TEST(ConsoleCommandDetails, UnknownCommandAndNoCommand) {
    SimRig r;
    ConsoleOutcome out = r.console({"fly"});
    EXPECT_EQ(out.status, 5);
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{fatal(FRAME, "Command fly not found"),
                                        error(FRAME, "Execute command failed: 00000005"),
                                        error(FRAME, "00000005: unknown command: -h lists the commands")}));
    // Without a command word the device is connected, then the usage printed.
    out = r.console({});
    EXPECT_EQ(out.status, 5);
    EXPECT_EQ(out.outLines(), r.connectLines());
    EXPECT_EQ(out.err.rfind("Orbitane Console 2.0.0_dev\nUsage: orbitane_console base [options] <command>", 0), 0u)
        << out.err;
}

TEST(ConsoleCommandDetails, ExampleScenarioFaultsWaitTheirTurn) {
    // The example scenario's faults start late enough that a first look at
    // every request passes.
    Scenario example;
    std::string why;
    ASSERT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/example.json", example, why)) << why;
    SimRig r(example);
    ConsoleOutcome out = r.console({"status"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Battery: 18%"),
                                                              info(BASE, "Charging Status: Charging from base"),
                                                              SUCCESS}));
    EXPECT_TRUE(has(out.outLines(), info(BASE, "Model: ORB-DEMO")));
    out = r.console({"test"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_TRUE(has(out.outLines(), info(SELFTEST, "ControlBus: 9 total, 0 skipped, 9 pass, 0 failed")));
}

}  // namespace
