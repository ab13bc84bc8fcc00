// Every console command, run as the real program against the simulated
// base over TCP and over a pseudo-terminal serial line: exact output lines,
// exit statuses, and what reached the base.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "drv/ControlBus.h"
#include "tests/e2e/E2eSupport.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;
using std::chrono::milliseconds;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<uint8_t> bytesOf(const zorn::drv::base_get_info_answer_t& answer) {
    std::vector<uint8_t> bytes(sizeof answer);
    std::memcpy(bytes.data(), &answer, sizeof answer);
    return bytes;
}

bool isPrivateIpv4(const std::string& text) {
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    uint32_t ip = ntohl(a.s_addr);
    return (ip >> 24) == 10 || (ip >> 20) == (172u << 4 | 1u) || (ip >> 16) == (192u << 8 | 168u);
}

class ConsoleCommands : public ::testing::TestWithParam<Transport> {
protected:
    SimRig rig(const Scenario& s = defaultScenario()) { return SimRig(s, GetParam()); }
};

TEST_P(ConsoleCommands, StatusPrintsIdentityBatteryAndChargingText) {
    SimRig r(defaultScenario(), GetParam());
    ConsoleOutcome out = r.console({"status"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 0) << out.err;
    std::vector<std::string> expected = r.connectLines();
    expected.push_back(info(BASE, "Battery: 80%"));
    expected.push_back(info(BASE, "Charging Status: Charging from cable"));
    expected.push_back(SUCCESS);
    EXPECT_EQ(out.outLines(), expected);
    EXPECT_EQ(out.err, "");
    // The connect request, then the status request; nothing else.
    EXPECT_EQ(requestCodes(r.device()), (std::vector<int>{0x10, 0x30}));
    EXPECT_EQ(r.device().requests()[0].args, std::vector<uint8_t>{0x01});
}

TEST_P(ConsoleCommands, IdentityOfABaseWithAFullModelField) {
    SimRig r = rig(scenarioWith([](Scenario& s) {
        s.identity.model = "ABCDEFGHIJKL";  // all 12 bytes, no terminator on the wire
        s.identity.firmwareVersion = 0x0A0B;
        s.identity.hardwareVersion = 0x0001;
        s.identity.serialNumber[0] = 1;
        s.identity.serialNumber[1] = 2;
        s.identity.serialNumber[2] = 0xFFFFFFFF;
    }));
    ConsoleOutcome out = r.console({"motor"});
    EXPECT_EQ(out.status, 0) << out.err;
    std::vector<std::string> lines = out.outLines();
    ASSERT_GE(lines.size(), 7u) << out.out;
    EXPECT_EQ(lines[2], info(BASE, "Connected to Control Bus Device at " + r.channelDescription()));
    EXPECT_EQ(lines[3], info(BASE, "Model: ABCDEFGHIJKL"));
    EXPECT_EQ(lines[4], info(BASE, "Firmware Version: 10.11"));
    EXPECT_EQ(lines[5], info(BASE, "Hardware version: 0.1"));
    EXPECT_EQ(lines[6], info(BASE, "Serial Number: 0000000100000002FFFFFFFF"));
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(lines[7], info(BASE, "Left Wheel: 0.0     mm Right Wheel: 0.0     mm"));
}

TEST_P(ConsoleCommands, BeaconProbeLinesAndLimits) {
    SimRig r = rig();
    ConsoleOutcome out = r.console({"beacon"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Found 2 beacons and 2 probes"),
                                                              info(BASE, "\tProbe #0: 0: yes 1:     "),
                                                              info(BASE, "\tProbe #1: 0: yes 1: yes "), SUCCESS}));
    ASSERT_EQ(r.device().requests().size(), 2u);
    EXPECT_EQ(r.device().requests()[1].args, std::vector<uint8_t>{0});
}

TEST_P(ConsoleCommands, PollAnswersAPendingGetInfoWithTheHostIdentity) {
    SimRig r = rig(scenarioWith([](Scenario& s) { s.pendingCommand = 0x51; }));
    ConsoleOutcome out = r.console({"poll"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, "Base cmd pending: 51 "), SUCCESS}));
    EXPECT_EQ(requestCodes(r.device()), (std::vector<int>{0x10, 0x50, 0x5F}));
    auto answers = r.device().getInfoAnswers();
    ASSERT_EQ(answers.size(), 1u);
    std::vector<uint8_t> bytes = bytesOf(answers[0]);
    ASSERT_EQ(bytes.size(), 89u);
    std::vector<uint8_t> expected(69, 0);
    std::memcpy(expected.data(), "Q7N3", 4);
    expected[12] = 1;  // firmware version 1
    expected[14] = 1;  // hardware version 1
    expected[16] = 1;  // serial number 1, 2, 3
    expected[20] = 2;
    expected[24] = 3;
    expected[28] = 1;  // info flag
    std::memcpy(expected.data() + 29, "ORBITANE-XXXXXX", 15);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 69), expected);
    // Bytes 69-88: a private IPv4 address in dotted text, zero padded.
    std::string address(reinterpret_cast<const char*>(bytes.data() + 69));
    EXPECT_TRUE(isPrivateIpv4(address)) << address;
    EXPECT_TRUE(std::all_of(bytes.begin() + 69 + static_cast<std::ptrdiff_t>(address.size()), bytes.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(r.device().pendingCommand(), 0);  // the base took the answer
}

TEST_P(ConsoleCommands, EventSendsTheLowByteOfItsArgument) {
    SimRig r = rig();
    ConsoleOutcome out = r.console({"event", "300"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out), std::vector<std::string>{SUCCESS});
    EXPECT_EQ(r.device().events(), std::vector<uint8_t>{44});  // 300 modulo 256
}

TEST_P(ConsoleCommands, MonitorRepeatsUntilTheBaseGoesSilent) {
    SimRig r = rig(scenarioWith([](Scenario& s) { s.faults = {fault(0x30, FaultKind::Silent, 3)}; }));
    ConsoleOutcome out = r.console({"monitor", "status"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    std::vector<std::string> lines = commandLines(r, out);
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
        expected.push_back(info(BASE, "Battery: 80%"));
        expected.push_back(info(BASE, "Charging Status: Charging from cable"));
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(out.errLines(), failureLines("80008002"));
    EXPECT_EQ(r.device().requestCount(0x30), 4u);
}

TEST_P(ConsoleCommands, SelfTestPassesOnAGoodBase) {
    SimRig r = rig();
    ConsoleOutcome out = r.console({"test", "extra", "words"});
    EXPECT_EQ(out.status, 0) << out.err;
    std::vector<std::string> expected{info(SELFTEST, "Test Fixture: ControlBus")};
    for (const char* name : {"connect", "getConfig", "getStatus", "getMotorData", "getSensorData", "getBumperData",
                             "getAutoHomeData", "setMotor", "sendEvent"}) {
        expected.push_back(info(SELFTEST, std::string("\tTesting ") + name + "..."));
        // The case that moves the wheels says what came of its stop.
        if (std::string(name) == "setMotor") expected.push_back(info(BASE, "Stop request answered: motors stopped"));
        expected.push_back(info(SELFTEST, "\t\tpass"));
    }
    expected.push_back(info(SELFTEST, "ControlBus: 9 total, 0 skipped, 9 pass, 0 failed"));
    expected.push_back(SUCCESS);
    EXPECT_EQ(commandLines(r, out), expected);
    EXPECT_EQ(out.err, "");
    // The base saw every request: the motors were started and stopped
    // again, and event 99 arrived.
    EXPECT_EQ(requestCodes(r.device()),
              (std::vector<int>{0x10, 0x10, 0x20, 0x30, 0x31, 0x32, 0x33, 0x34, 0x40, 0x40, 0x60}));
    EXPECT_EQ(wheelSpeeds(r.device()), (std::vector<std::vector<int>>{{100, 100}, {0, 0}}));
    EXPECT_FALSE(r.device().moving());
    EXPECT_EQ(r.device().events(), std::vector<uint8_t>{99});
}

TEST_P(ConsoleCommands, ConfigSummaryFromTheBinaryConfiguration) {
    SimRig r = rig();
    ConsoleOutcome out = r.console({"config"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.err, "");
    std::vector<std::string> lines = commandLines(r, out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], info(BASE, "Parsed JSON:"));
    // The styled JSON text follows, then the summary.
    EXPECT_NE(out.out.find("\"model_name\" : \"ORB-BASE\""), std::string::npos);
    auto base = std::find(lines.begin(), lines.end(), info(BASE, "Base Info"));
    ASSERT_NE(base, lines.end()) << out.out;
    std::vector<std::string> summary(base, lines.end());
    std::vector<std::string> expected;
    for (const char* text :
         {"Base Info", "    Manufacture: Orbitane (1234)", "    Model: ORB-BASE (0102)", "    Hardware Version: 3",
          "    Robot Diameter: 34.0 cm", "Lidar", "    Installation Pose:  0.0 cm,  0.0 cm,  0.0 deg",
          "Sensors: 7 sensors", "    Sensor #0: Sonar at (16.0 cm,  0.0 cm,  0.0 deg)",
          "    Sensor #1: Sonar at (11.3 cm, 11.3 cm, 45.0 deg)", "    Sensor #2: Sonar at (11.3 cm, -11.3 cm, -45.0 deg)",
          "    Sensor #3: Bumper at (14.7 cm,  8.5 cm, 30.0 deg)", "    Sensor #4: Bumper at (14.7 cm, -8.5 cm, -30.0 deg)",
          "    Sensor #5: Cliff at (14.0 cm,  5.0 cm,  0.0 deg)", "    Sensor #6: Cliff at (14.0 cm, -5.0 cm,  0.0 deg)",
          "Motion Planning", "    Side Margin:  5.0 cm", "    Bumper Policy: stop", "Features", "    Has IR Tower: Yes",
          "    Auto Home on Low Battery: Enabled", "    Battery Level To Go Home: 20.0%",
          // The base's "..._for_charging" is its name for the resume level.
          "    Battery Level To Resume: 90.0%"}) {
        expected.push_back(info(BASE, text));
    }
    expected.push_back(SUCCESS);
    EXPECT_EQ(summary, expected);
    EXPECT_EQ(requestCodes(r.device()), (std::vector<int>{0x10, 0x21}));
}

TEST_P(ConsoleCommands, ConfigFallsBackToTheLegacyRecord) {
    Scenario legacy;
    std::string why;
    ASSERT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/legacy.json", legacy, why)) << why;
    SimRig r = rig(legacy);
    ConsoleOutcome out = r.console({"config"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.errLines(),
              (std::vector<std::string>{fatal(BASE, "Failed to get binary config from base"),
                                        warn(BASE, "The base doesn't support binary config, using legacy config "
                                                   "interface")}));
    std::vector<std::string> lines = out.outLines();
    auto diameter = std::find(lines.begin(), lines.end(), info(BASE, "    Robot Diameter: 34.0 cm"));
    ASSERT_NE(diameter, lines.end()) << out.out;
    std::vector<std::string> rest(diameter + 1, lines.end());
    // Bumpers first (a negative height is a cliff), then the distance
    // sensors, numbered on from the bumpers; no lidar, planning or features.
    EXPECT_EQ(rest, (std::vector<std::string>{info(BASE, "Sensors: 5 sensors"),
                                              info(BASE, "    Sensor #0: Bumper at (14.7 cm,  8.5 cm, 30.0 deg)"),
                                              info(BASE, "    Sensor #1: Bumper at (14.7 cm, -8.5 cm, 330.0 deg)"),
                                              info(BASE, "    Sensor #2: Cliff at (14.0 cm,  0.0 cm,  0.0 deg)"),
                                              info(BASE, "    Sensor #3: Sonar at (16.0 cm,  0.0 cm,  0.0 deg)"),
                                              info(BASE, "    Sensor #4: Sonar at (11.3 cm, 11.3 cm, 45.0 deg)"),
                                              SUCCESS}));
    EXPECT_FALSE(has(lines, info(BASE, "Lidar")));
    EXPECT_EQ(requestCodes(r.device()), (std::vector<int>{0x10, 0x21, 0x20}));
    EXPECT_EQ(r.device().requests()[1].fault, "");  // refused by the base itself, not by a fault
}

TEST_P(ConsoleCommands, SensorAndBumperLabelTheValuesWithTheConfiguredSensors) {
    SimRig r = rig();
    ConsoleOutcome out = r.console({"sensor"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out),
              (std::vector<std::string>{info(BASE, "Sensor Values:"), info(BASE, "\t0 : 350.5mm"),
                                        info(BASE, "\t1 : 1200.0mm"), info(BASE, "\t2 : 800.2mm"), SUCCESS}));
    EXPECT_EQ(requestCodes(r.device()), (std::vector<int>{0x10, 0x21, 0x32}));

    r.device().setBumperBits(0x5);  // first bumper and first cliff clear, the others triggered
    out = r.console({"bumper"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(commandLines(r, out),
              (std::vector<std::string>{info(BASE, "Bumper/Cliff Values:"),
                                        info(BASE, "\t[ ] #3   X:14.7 cm Y:8.5  cm Z:3.0  cm Yaw:30.0deg"),
                                        info(BASE, "\t[X] #4   X:14.7 cm Y:-8.5 cm Z:3.0  cm Yaw:-30.0deg"),
                                        info(BASE, "\t[ ] #5   X:14.0 cm Y:5.0  cm Z:-1.0 cm Yaw:0.0deg"),
                                        info(BASE, "\t[X] #6   X:14.0 cm Y:-5.0 cm Z:-1.0 cm Yaw:0.0deg"), SUCCESS}));
}

// When the base received the requests of a run, from the simulator's log.
struct RunTimes {
    int64_t startNs = -1;        // first setMotor (the wheels start)
    int64_t stopNs = -1;         // the zero setMotor (they stop)
    int64_t firstReadNs = -1;    // first getMotorData (the starting odometers)
    int64_t lastReadNs = -1;     // last getMotorData (the last step)
};

RunTimes runTimes(BaseDevice& device) {
    RunTimes t;
    for (const auto& r : device.requests()) {
        if (r.code == zorn::drv::REQ_SET_MOTOR) {
            bool zero = std::all_of(r.args.begin(), r.args.end(), [](uint8_t b) { return b == 0; });
            if (!zero && t.startNs < 0) t.startNs = r.atNs;
            if (zero) t.stopNs = r.atNs;
        } else if (r.code == zorn::drv::REQ_GET_MOTOR_DATA) {
            if (t.firstReadNs < 0) t.firstReadNs = r.atNs;
            t.lastReadNs = r.atNs;
        }
    }
    return t;
}

// Odometer of a wheel turning at `speed` mm/s since `startNs`, as the base
// reports it (whole millimetres).
double odometerAt(double speed, int64_t startNs, int64_t atNs) {
    return std::nearbyint(speed * static_cast<double>(atNs - startNs) / 1e9);
}

TEST_P(ConsoleCommands, RunStraightMovesTheOdometersAboutAHundredMillimetres) {
    SimRig r = rig(scenarioWith([](Scenario& s) { s.stopOnDisconnect = false; }));
    ConsoleOutcome out = r.console({"run", "100", "100", "1"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 0) << out.err;
    std::vector<std::string> lines = commandLines(r, out);
    ASSERT_GE(lines.size(), 3u) << out.out;
    EXPECT_EQ(lines.back(), SUCCESS);
    StepLine last;
    size_t steps = 0;
    for (const auto& line : lines) {
        StepLine s;
        if (!parseRunStep(line, s)) continue;
        ++steps;
        EXPECT_EQ(s.d1, s.d2) << line;  // both wheels alike
        EXPECT_EQ(s.ny, 0.0) << line;
        EXPECT_EQ(s.ntheta, 0.0) << line;
        if (steps > 1) {
            EXPECT_NEAR(s.x, last.nx, 1e-5) << line;  // each step starts where the last ended
        }
        last = s;
    }
    ASSERT_GE(steps, 2u);
    EXPECT_EQ(wheelSpeeds(r.device()), (std::vector<std::vector<int>>{{100, 100}, {0, 0}}));
    auto motors = r.device().motorCommands();
    ASSERT_EQ(motors.size(), 2u);
    EXPECT_EQ(motors[0].reserved[0], 0);
    EXPECT_EQ(motors[0].reserved[1], 0);
    EXPECT_FALSE(r.device().moving());

    // The wheels turned from the start request to the stop request, at
    // least the second asked for: about 100 mm.
    const RunTimes t = runTimes(r.device());
    const double seconds = static_cast<double>(t.stopNs - t.startNs) / 1e9;
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 5.0);
    const int32_t left = r.device().leftOdometer();
    EXPECT_NEAR(left, 100.0 * seconds, 1.0);
    EXPECT_GE(left, 100);
    EXPECT_EQ(r.device().rightOdometer(), left);
    // The pose covers exactly the odometry between the first and the last
    // reading.
    const double travelled =
        odometerAt(100, t.startNs, t.lastReadNs) - odometerAt(100, t.startNs, t.firstReadNs);
    EXPECT_NEAR(last.nx, travelled, 1.01);
    EXPECT_GE(last.nx, 90.0);

    // The motor command reads the odometers the run left behind.
    out = r.console({"motor"});
    char expected[96];
    std::snprintf(expected, sizeof expected, "Left Wheel: %-8.1fmm Right Wheel: %-8.1fmm", static_cast<double>(left),
                  static_cast<double>(left));
    EXPECT_EQ(commandLines(r, out), (std::vector<std::string>{info(BASE, expected), SUCCESS}));
}

TEST_P(ConsoleCommands, RunWithOppositeSpeedsTurnsInPlace) {
    SimRig r = rig(scenarioWith([](Scenario& s) { s.stopOnDisconnect = false; }));
    ConsoleOutcome out = r.console({"run", "100", "-100", "1"});
    EXPECT_EQ(out.status, 0) << out.err;
    StepLine last;
    size_t steps = 0;
    for (const auto& line : commandLines(r, out)) {
        StepLine s;
        if (!parseRunStep(line, s)) continue;
        ++steps;
        EXPECT_EQ(s.d1, -s.d2) << line;  // equal travel, opposite ways
        EXPECT_EQ(s.nx, 0.0) << line;    // so no travel of the centre
        EXPECT_EQ(s.ny, 0.0) << line;
        last = s;
    }
    ASSERT_GE(steps, 2u) << out.out;
    const RunTimes t = runTimes(r.device());
    const int32_t left = r.device().leftOdometer();
    EXPECT_NEAR(left, 100.0 * static_cast<double>(t.stopNs - t.startNs) / 1e9, 1.0);
    EXPECT_GE(left, 100);
    EXPECT_EQ(r.device().rightOdometer(), -left);
    // theta grows by (dr - dl) / W per step, W = 2 x 170 mm: in all
    // -2 x (left travel between the first and last reading) / 340 rad.
    const double leftTravel = odometerAt(100, t.startNs, t.lastReadNs) - odometerAt(100, t.startNs, t.firstReadNs);
    const double expectedDeg = -2.0 * leftTravel / 340.0 * 180.0 / 3.14159265;
    EXPECT_NEAR(last.ntheta, expectedDeg, 0.4);
    EXPECT_LT(last.ntheta, -30.0);
    EXPECT_FALSE(r.device().moving());
}

TEST_P(ConsoleCommands, VrunDrivesThenStopsAndIntegratesTheBaseMotion) {
    SimRig r = rig(scenarioWith([](Scenario& s) { s.stopOnDisconnect = false; }));
    ConsoleOutcome out = r.console({"vrun", "0.2", "0", "1", "0.5"});
    ASSERT_FALSE(out.killed);
    EXPECT_EQ(out.status, 0) << out.err;
    StepLine last;
    size_t steps = 0;
    for (const auto& line : commandLines(r, out)) {
        StepLine s;
        if (!parseVrunStep(line, s)) continue;
        ++steps;
        last = s;
    }
    ASSERT_GE(steps, 2u) << out.out;
    // One request per pass: first the drive words (0.2 * 65536 and 1 *
    // 65536 truncated), then zeros; the last request stops the base.
    auto commands = r.device().velocityCommands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands.front().vx_q16, 13107);
    EXPECT_EQ(commands.front().vy_q16, 0);
    EXPECT_EQ(commands.front().omega_q16, 65536);
    bool stopped = false;
    for (const auto& c : commands) {
        bool zero = c.vx_q16 == 0 && c.vy_q16 == 0 && c.omega_q16 == 0;
        if (stopped) {
            EXPECT_TRUE(zero) << "drive request after the stop phase began";
        }
        stopped = stopped || zero;
        if (!zero) {
            EXPECT_EQ(c.vx_q16, 13107);
        }
    }
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(r.device().moving());

    // The base turned at 1 rad/s from the first drive request to the first
    // zero request; the console's heading is the sum of the answers' turns.
    int64_t driveFrom = -1, driveTo = -1, lastAt = -1;
    size_t zeros = 0;
    for (const auto& q : r.device().requests()) {
        if (q.code != zorn::drv::REQ_SET_VELOCITY) continue;
        bool zero = std::all_of(q.args.begin(), q.args.end(), [](uint8_t b) { return b == 0; });
        if (!zero && driveFrom < 0) driveFrom = q.atNs;
        if (zero && driveTo < 0) driveTo = q.atNs;
        zeros += zero;
        lastAt = q.atNs;
    }
    ASSERT_GT(driveFrom, 0);
    ASSERT_GT(driveTo, driveFrom);
    // Two phases of half a second: driving, then zero requests until the
    // run has lasted twice its time, then the final stop. (The first request
    // leaves a moment after the run's clock starts, hence the margin.)
    EXPECT_GE(static_cast<double>(lastAt - driveFrom) / 1e9, 0.95);
    EXPECT_GT(zeros, 2u);
    const double turned = static_cast<double>(driveTo - driveFrom) / 1e9;  // rad
    EXPECT_GE(turned, 0.45);
    EXPECT_NEAR(last.ntheta, turned * 180 / kPi, 0.2);
    // Along an arc of 0.2 m radius. Each answer's dx is rounded to 1/65536 m,
    // which is coarse against the motion between two fast answers, so the
    // position is checked loosely.
    EXPECT_NEAR(last.nx, 0.2 * std::sin(turned), 0.2 * std::sin(turned) * 0.2);
    EXPECT_NEAR(last.ny, 0.2 * (1 - std::cos(turned)), 0.2 * (1 - std::cos(turned)) * 0.25);
}

TEST_P(ConsoleCommands, TraceDumpsEveryFrameBothWays) {
    SimRig r = rig();
    ConsoleOutcome out = r.console({"status"}, milliseconds(30000), true);
    EXPECT_EQ(out.status, 0) << out.err;
    std::vector<std::string> lines = out.outLines();
    // The synchronisation message twice: 68 bytes on five dump lines.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), info(TRACE, "Sending 68 bytes:")), 2);
    auto sync = std::find(lines.begin(), lines.end(), info(TRACE, "Sending 68 bytes:"));
    ASSERT_NE(sync, lines.end());
    ASSERT_GT(lines.end() - sync, 6);
    EXPECT_EQ(sync[1], dumpLine("10 41 00 64  aa 22 39 60  a3 16 25 3e  69 b2 2f 4f  "));
    EXPECT_EQ(sync[5], dumpLine("5b 9a 06 96  "));  // the last four bytes, the checksum last
    // The status request and its answer, each dumped after its header.
    auto request = std::find(lines.begin(), lines.end(), dumpLine("10 02 f8 30  da "));
    ASSERT_NE(request, lines.end()) << out.out;
    EXPECT_EQ(request[-1], info(TRACE, "Sending 5 bytes:"));
    auto answer = std::find(lines.begin(), lines.end(), dumpLine("10 03 02 50  03 42 "));
    ASSERT_NE(answer, lines.end()) << out.out;
    EXPECT_EQ(answer[-1], info(TRACE, "6 bytes received:"));
    EXPECT_LT(request - lines.begin(), answer - lines.begin());
    // The endpoint got the same answer as without tracing.
    EXPECT_TRUE(has(lines, info(BASE, "Battery: 80%")));
    EXPECT_EQ(lines.back(), SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Transports, ConsoleCommands, ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& p) { return transportName(p.param); });

}  // namespace
