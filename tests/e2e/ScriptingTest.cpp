// The console in scripts: JSON Lines output of every command, paced and
// bounded monitor, and sessions that run many commands over one connection,
// on a pipe and at an interactive prompt.

#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>

#include "drv/ControlBus.h"
#include "log/TextEscape.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ChildProcess.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;
using std::chrono::milliseconds;

namespace {

// Every line of standard output parsed as one JSON object; a line that is
// not one fails the test.
std::vector<Json::Value> jsonLines(const ConsoleOutcome& r) {
    std::vector<Json::Value> objects;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (const std::string& line : r.outLines()) {
        Json::Value value;
        std::string errors;
        EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &value, &errors) && value.isObject())
            << "not a JSON object: " << line << " " << errors;
        objects.push_back(value);
    }
    return objects;
}

std::vector<Json::Value> objectsOf(const std::vector<Json::Value>& all, const std::string& command) {
    std::vector<Json::Value> picked;
    for (const Json::Value& o : all) {
        if (o["command"].asString() == command) picked.push_back(o);
    }
    return picked;
}

std::vector<std::string> withJson(std::vector<std::string> command) {
    command.insert(command.begin(), "--json");
    return command;
}

Scenario distinctiveScenario() {
    return scenarioWith([](Scenario& s) {
        s.batteryPercentage = 57;
        s.chargingFlags = 0x05;  // charging on the dock
        s.sonarMm = {350.5, 1200.0, 800.25};
        s.bumperBits = 0x5;      // bumper #3 and cliff #5
        s.beaconCount = 2;
        s.probes = {1, 3};
        s.pendingCommand = zorn::drv::BASE_CMD_GET_INFO;
    });
}

TEST(Scripting, JsonObjectsOfEveryCommandCarryTheBaseValues) {
    SimRig rig(distinctiveScenario());
    const std::string script =
        "status\nmotor\nsensor\nbumper\nbeacon\nidentity\nconfig\npoll\nevent 7\ntest\n"
        "--interval 0.1 run 100 200 0.5\n--count 3 vrun 0.1 0 0 1\n";
    ConsoleOutcome r = rig.consoleWithInput(withJson({"session"}), script);
    ASSERT_FALSE(r.killed);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> all = jsonLines(r);
    for (const Json::Value& o : all) {
        EXPECT_TRUE(o["t"].isDouble() || o["t"].isIntegral()) << o;
        EXPECT_GE(o["t"].asDouble(), 0.0) << o;
        EXPECT_LT(o["t"].asDouble(), 5.0) << o;
        EXPECT_FALSE(o.isMember("error")) << o;
    }
    // The log lines went to standard error.
    EXPECT_NE(r.err.find("Successfully executed command"), std::string::npos);

    struct Case {
        const char* command;
        size_t objects;
        std::function<void(const Json::Value&)> check;
    };
    const std::vector<Case> cases = {
        {"status", 1,
         [](const Json::Value& o) {
             EXPECT_EQ(o["battery_percent"].asInt(), 57);
             EXPECT_EQ(o["charging"].asString(), "dock");
             EXPECT_TRUE(o["on_dock"].asBool());
             EXPECT_FALSE(o["cable_connected"].asBool());
             EXPECT_EQ(o["charging_flags"].asInt(), 5);
         }},
        {"motor", 1,
         [](const Json::Value& o) {
             EXPECT_EQ(o["left_odometer_mm"].asInt(), 0);
             EXPECT_EQ(o["right_odometer_mm"].asInt(), 0);
         }},
        {"sensor", 1,
         [](const Json::Value& o) {
             const Json::Value& s = o["sensors"];
             ASSERT_EQ(s.size(), 3u);
             const double mm[] = {350.5, 1200.0, 800.25};
             for (Json::ArrayIndex i = 0; i < 3; ++i) {
                 EXPECT_EQ(s[i]["index"].asInt(), static_cast<int>(i));
                 EXPECT_EQ(s[i]["label"].asString(), "Sonar #" + std::to_string(i));
                 EXPECT_NEAR(s[i]["distance_mm"].asDouble(), mm[i], 1e-3);
             }
         }},
        {"bumper", 1,
         [](const Json::Value& o) {
             const Json::Value& s = o["sensors"];
             ASSERT_EQ(s.size(), 4u);
             const char* kinds[] = {"bumper", "bumper", "cliff", "cliff"};
             const bool triggered[] = {true, false, true, false};
             for (Json::ArrayIndex i = 0; i < 4; ++i) {
                 EXPECT_EQ(s[i]["index"].asInt(), static_cast<int>(i) + 3);
                 EXPECT_EQ(s[i]["kind"].asString(), kinds[i]);
                 EXPECT_EQ(s[i]["triggered"].asBool(), triggered[i]) << i;
                 EXPECT_EQ(s[i]["bit"].asInt(), triggered[i] ? 1 : 0) << "the bit as the base sent it";
             }
             EXPECT_NEAR(s[0]["pose"]["x_mm"].asDouble(), 147.0, 1e-3);
             // The decimal the base's fraction stands for, without float noise.
             EXPECT_EQ(s[1]["pose"]["yaw_deg"].asDouble(), -30.0);
         }},
        {"beacon", 1,
         [](const Json::Value& o) {
             EXPECT_EQ(o["beacon_count"].asInt(), 2);
             ASSERT_EQ(o["probes"].size(), 2u);
             ASSERT_EQ(o["probes"][0]["beacons_seen"].size(), 1u);
             EXPECT_EQ(o["probes"][0]["beacons_seen"][0].asInt(), 0);
             EXPECT_EQ(o["probes"][1]["beacons_seen"].size(), 2u);
         }},
        {"identity", 1,
         [](const Json::Value& o) {
             EXPECT_EQ(o["model"].asString(), "ORB-BASE");
             EXPECT_EQ(o["firmware_version"].asString(), "1.2");
             EXPECT_EQ(o["hardware_version"].asString(), "3.0");
             EXPECT_EQ(o["serial_number"].asString(), "4F52426954414E4500000001");
         }},
        {"config", 1,
         [](const Json::Value& o) {
             EXPECT_FALSE(o["legacy"].asBool());
             EXPECT_EQ(o["manufacture_name"].asString(), "Orbitane");
             EXPECT_EQ(o["model_id"].asInt(), 258);
             EXPECT_NEAR(o["robot_diameter_mm"].asDouble(), 340.0, 1e-3);
             EXPECT_EQ(o["sensors"].size(), 7u);
             EXPECT_EQ(o["bumper_policy"].asString(), "stop");
             EXPECT_TRUE(o["has_ir_tower"].asBool());
             // Values from float fields come out as the decimals the base sent.
             EXPECT_EQ(o["side_margin_mm"].asDouble(), 50.0);
             EXPECT_EQ(o["battery_percent_to_go_home"].asDouble(), 20.0);
             EXPECT_EQ(o["battery_percent_to_resume"].asDouble(), 90.0);  // the base's, not the schema's
             EXPECT_EQ(o["decoded"]["base"]["manufacture_id"].asInt(), 4660);
         }},
        {"poll", 1,
         [](const Json::Value& o) {
             EXPECT_EQ(o["pending_command"].asInt(), zorn::drv::BASE_CMD_GET_INFO);
             EXPECT_TRUE(o["get_info_requested"].asBool());
             EXPECT_FALSE(o["answered_get_info"]["host_address"].asString().empty());
         }},
        {"event", 1, [](const Json::Value& o) { EXPECT_EQ(o["event_sent"].asInt(), 7); }},
        {"test", 9,
         [](const Json::Value& o) {
             EXPECT_FALSE(o["name"].asString().empty());
             EXPECT_TRUE(o["passed"].asBool()) << o;
             EXPECT_EQ(o["message"].asString(), "");
         }},
    };
    size_t total = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const std::vector<Json::Value> objects = objectsOf(all, c.command);
        ASSERT_EQ(objects.size(), c.objects);
        for (const Json::Value& o : objects) c.check(o);
        total += objects.size();
    }

    // run: paced steps whose wheel travel adds up to the summary's.
    const std::vector<Json::Value> run = objectsOf(all, "run");
    ASSERT_GE(run.size(), 5u);
    const Json::Value& runSummary = run.back();
    EXPECT_TRUE(runSummary["summary"].asBool());
    EXPECT_EQ(runSummary["steps"].asUInt64(), run.size() - 1);
    double left = 0, right = 0;
    for (size_t i = 0; i + 1 < run.size(); ++i) {
        EXPECT_EQ(run[i]["step"].asUInt64(), i + 1);
        left += run[i]["dl_mm"].asDouble();
        right += run[i]["dr_mm"].asDouble();
        if (i > 0) {
            EXPECT_GT(run[i]["t"].asDouble() - run[i - 1]["t"].asDouble(), 0.05);  // paced, not flat out
        }
    }
    EXPECT_NEAR(runSummary["left_distance_mm"].asDouble(), left, 1e-3);
    EXPECT_NEAR(runSummary["right_distance_mm"].asDouble(), right, 1e-3);
    EXPECT_NEAR(left, 50.0, 15.0);  // 100 mm/s for 0.5 s
    EXPECT_NEAR(right, 100.0, 15.0);
    EXPECT_NEAR(runSummary["x_mm"].asDouble(), run[run.size() - 2]["x_mm"].asDouble(), 1e-3);
    EXPECT_GT(runSummary["heading_deg"].asDouble(), 0.0);  // the right wheel ran faster: a left turn
    EXPECT_GE(runSummary["duration_s"].asDouble(), 0.5);
    // vrun: --count 3 ends it after three steps, then the summary.
    const std::vector<Json::Value> vrun = objectsOf(all, "vrun");
    ASSERT_EQ(vrun.size(), 4u);
    EXPECT_TRUE(vrun[3]["summary"].asBool());
    EXPECT_EQ(vrun[3]["steps"].asInt(), 3);
    EXPECT_TRUE(vrun[2].isMember("dx_mm") && vrun[2].isMember("heading_deg"));
    EXPECT_LT(vrun[3]["duration_s"].asDouble(), 0.5);  // long before its 2 s
    total += run.size() + vrun.size();
    EXPECT_EQ(total, all.size()) << r.out;  // nothing but the readings
    ASSERT_FALSE(rig.device().events().empty());
    EXPECT_EQ(rig.device().events()[0], 7);  // the self-test sends one of its own after it
}

// Bits that read the other way round: "triggered" follows the option,
// "bit" stays as the base sent it.
TEST(Scripting, ActiveLowBumpersInvertTriggeredButNotTheBit) {
    SimRig rig(distinctiveScenario());
    ConsoleOutcome r = rig.console(withJson({"--bumper-active-low", "bumper"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> all = jsonLines(r);
    ASSERT_EQ(all.size(), 1u);
    for (const Json::Value& sensor : all[0]["sensors"]) {
        EXPECT_EQ(sensor["triggered"].asBool(), sensor["bit"].asInt() == 0) << sensor["index"].asInt();
    }
}

// Each way a command can fail is one object whose "kind" says which; an
// error answer also carries the base's code.
TEST(Scripting, FailureIsOneJsonObjectWhoseKindSaysWhy) {
    using zorn::drv::REQ_CONNECT;
    using zorn::drv::REQ_GET_AUTOHOME_DATA;
    using zorn::drv::REQ_GET_STATUS;
    using zorn::drv::REQ_SEND_EVENT;
    FaultRule refused = fault(REQ_SEND_EVENT, FaultKind::Error);
    refused.errorCode = 7;
    FaultRule shortAnswer = fault(REQ_GET_STATUS, FaultKind::Short);
    shortAnswer.size = 1;
    struct Row {
        std::vector<FaultRule> faults;
        std::vector<std::string> command;
        int status;
        const char* error;
        const char* hex;
        const char* kind;
        int baseError;  // -1: no "base_error"
        const char* option;
        size_t objects = 1;              // the failure is the last of them
        const char* failing = nullptr;   // its "command"; null: the row's command word
    };
    const std::vector<Row> rows = {
        {{fault(REQ_GET_STATUS, FaultKind::Silent)}, {"status"}, STATUS_TIMEOUT, "timeout", "80008002", "timeout", -1,
         ""},
        {{refused}, {"event", "5"}, STATUS_FAILED, "operation failed", "80008001", "base_error", 7, ""},
        {{fault(REQ_GET_AUTOHOME_DATA, FaultKind::Unsupported)}, {"beacon"}, STATUS_NOT_SUPPORTED, "not supported",
         "80008004", "not_supported", 0x8000, ""},
        {{fault(REQ_GET_STATUS, FaultKind::BadChecksum)}, {"status"}, STATUS_INVALID_DATA, "invalid data", "80008000",
         "invalid_answer", -1, ""},
        {{shortAnswer}, {"status"}, STATUS_INVALID_DATA, "invalid data", "80008000", "invalid_answer", -1, ""},
        {{fault(REQ_GET_STATUS, FaultKind::Close)}, {"status"}, STATUS_FAILED, "operation failed", "80008001",
         "link_closed", -1, ""},
        {{fault(REQ_CONNECT, FaultKind::Short)}, {"status"}, 4, "", "00000004", "connect_failed", -1, ""},
        {{}, {"nosuch"}, 5, "unknown command", "00000005", "unknown_command", -1, ""},
        {{}, {"--count", "0", "monitor", "status"}, 5, "invalid options", "00000005", "usage", -1, "--count"},
        {{}, {"event"}, 2, "usage error", "00000002", "usage", -1, ""},
        // An option is named as typed.
        {{}, {"-p", "x", "status"}, 5, "invalid options", "00000005", "usage", -1, "-p"},
        {{}, {"--port", "x", "status"}, 5, "invalid options", "00000005", "usage", -1, "--port"},
        {{}, {"--csv", "status"}, 5, "invalid options", "00000005", "usage", -1, "--csv", 1, "status"},
        {{}, {"--host", "robot7.invalid", "status"}, 4, "host name not found: robot7.invalid", "00000004",
         "host_not_found", -1, ""},
        // A failure inside monitor is the failing reading's.
        {{fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Silent)}, {"monitor", "status,motor"}, STATUS_TIMEOUT,
         "timeout", "80008002", "timeout", -1, "", 2, "motor"},
        {{}, {"monitor", "status,run"}, 2, "usage error", "00000002", "usage", -1, "", 1, "monitor"},
    };
    SimRig rig;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command[0] + " " + row.kind);
        rig.device().setFaults(row.faults);
        ConsoleOutcome r = rig.console(withJson(row.command));
        EXPECT_EQ(r.status, row.status) << r.err;
        const std::vector<Json::Value> objects = jsonLines(r);
        ASSERT_EQ(objects.size(), row.objects) << r.out;
        const Json::Value& o = objects.back();
        if (*row.error != '\0') {
            EXPECT_EQ(o["error"].asString(), row.error);
        }
        EXPECT_EQ(o["kind"].asString(), row.kind);
        EXPECT_EQ(o.isMember("base_error") ? o["base_error"].asInt() : -1, row.baseError);
        EXPECT_EQ(o["option"].asString(), row.option);
        EXPECT_EQ(o["result_hex"].asString(), row.hex);
        EXPECT_EQ(o["result"].asInt(), static_cast<int32_t>(std::stoul(row.hex, nullptr, 16)));
        EXPECT_LT(o["t"].asDouble(), 5.0);
        EXPECT_EQ(o["command"].asString(),
                  row.failing != nullptr ? row.failing : row.command[row.command.size() > 2 ? 2 : 0]);
    }
    // A serial line that goes away is the link failing, not the base closing a connection.
    SimRig serial(scenarioWith([](Scenario& s) { s.faults = {fault(REQ_GET_STATUS, FaultKind::Close)}; }),
                  Transport::Serial);
    const std::vector<Json::Value> lost = jsonLines(serial.console(withJson({"status"})));
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0]["kind"].asString(), "link_failed");
}

// Readings of a paced monitor stay on the grid start + k * interval: a slow
// base makes each reading later by its delay, never the ones after it.
TEST(Scripting, PacedMonitorMakesCountReadingsWithoutDrift) {
    for (int delayMs : {0, 30}) {
        SCOPED_TRACE(delayMs);
        Scenario s = defaultScenario();
        if (delayMs > 0) {
            FaultRule slow = fault(zorn::drv::REQ_GET_STATUS, FaultKind::Delay);
            slow.delayMs = delayMs;
            s.faults = {slow};
        }
        SimRig rig(s);
        ConsoleOutcome r = rig.console(withJson({"--interval", "0.05", "--count", "20", "monitor", "status"}));
        ASSERT_FALSE(r.killed);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<Json::Value> objects = jsonLines(r);
        ASSERT_EQ(objects.size(), 20u) << r.out;
        for (size_t i = 0; i < objects.size(); ++i) {
            const double lateness = objects[i]["t"].asDouble() - 0.05 * static_cast<double>(i);
            EXPECT_GE(lateness, 0.0) << i;
            EXPECT_LT(lateness, 0.2) << i;  // drift of 30 ms per reading would reach 0.6 s
        }
        const double last = objects.back()["t"].asDouble();
        EXPECT_GE(last, 0.95);
        EXPECT_LT(last, 1.15);
    }
}

// --keep-going never goes on past a command that moved the base and could
// not confirm its stop: the base may still be moving.
TEST(Scripting, KeepGoingEndsTheSessionAtAnUnconfirmedStop) {
    FaultRule refusedStop = fault(zorn::drv::REQ_SET_MOTOR, FaultKind::Error, 1);
    refusedStop.errorCode = 7;
    SimRig rig(scenarioWith([&](Scenario& s) { s.faults = {refusedStop}; }));
    ConsoleOutcome r =
        rig.consoleWithInput(withJson({"--keep-going", "session"}), "--interval 0.1 run 100 100 0.2\nstatus\n");
    ASSERT_FALSE(r.killed);
    EXPECT_NE(r.status, 0);
    const std::vector<Json::Value> objects = jsonLines(r);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back()["command"].asString(), "run") << r.out;
    EXPECT_FALSE(objects.back()["stop_confirmed"].asBool()) << objects.back();
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_GET_STATUS), 0u) << "the line after it ran";
    EXPECT_NE(r.err.find("The base may still be moving: the session ends here"), std::string::npos) << r.err;
}

// --duration ends monitor with success: no round starts once it is over, so
// a round of 0.1 s in 0.45 s makes at most five rounds. A session line may
// carry it. Each reading of a round writes its own object.
TEST(Scripting, DurationEndsAMonitorOfSeveralReadingsWithSuccess) {
    SimRig rig;
    ConsoleOutcome r =
        rig.consoleWithInput(withJson({"session"}), "--interval 0.1 --duration 0.45 monitor status,motor\n");
    ASSERT_FALSE(r.killed);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> objects = jsonLines(r);
    ASSERT_FALSE(objects.empty());
    EXPECT_LE(objects.size(), 10u) << r.out;
    ASSERT_EQ(objects.size() % 2, 0u) << r.out;
    for (size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(objects[i]["command"].asString(), i % 2 == 0 ? "status" : "motor");
        EXPECT_FALSE(objects[i].isMember("error")) << objects[i];
    }
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_GET_STATUS), objects.size() / 2);
}

// --csv: a header with the JSON's names, command and t first, then one row
// per reading with a cell for every column; for monitor of several readings
// one header for them all. Only readings have rows.
TEST(Scripting, CsvHasAHeaderThenOneRowPerReading) {
    SimRig rig(distinctiveScenario());
    const auto cells = [](const std::string& line) {
        std::vector<std::string> out;
        std::string cell;
        std::istringstream in(line);
        while (std::getline(in, cell, ',')) out.push_back(cell);
        if (!line.empty() && line.back() == ',') out.push_back("");
        return out;
    };
    ConsoleOutcome r = rig.console({"--csv", "--count", "2", "monitor", "status,sensor"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = r.outLines();
    ASSERT_EQ(lines.size(), 5u) << r.out;
    const std::vector<std::string> header = cells(lines[0]);
    ASSERT_GE(header.size(), 4u);
    EXPECT_EQ(header[0], "command");
    EXPECT_EQ(header[1], "t");
    const auto column = [&](const std::string& name) {
        return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
    };
    ASSERT_LT(column("battery_percent"), header.size());
    ASSERT_LT(column("sensors.1.distance_mm"), header.size());
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> row = cells(lines[i]);
        ASSERT_EQ(row.size(), header.size()) << lines[i];
        const bool status = i % 2 == 1;
        EXPECT_EQ(row[0], status ? "status" : "sensor");
        EXPECT_EQ(row[column("battery_percent")], status ? "57" : "");
        EXPECT_EQ(row[column("sensors.1.distance_mm")], status ? "" : "1200.0");
        EXPECT_EQ(row[column("sensors.1.label")], status ? "" : "Sonar #1");
    }
    EXPECT_NE(r.err.find("Successfully executed command"), std::string::npos) << "log lines on standard error";
    for (const std::vector<std::string>& command : {std::vector<std::string>{"--csv", "run", "100", "100", "1"},
                                                    std::vector<std::string>{"--csv", "monitor", "status,run"}}) {
        const ConsoleOutcome refused = rig.console(command);
        EXPECT_EQ(refused.status, 5) << command[1];
        EXPECT_NE(refused.err.find("--csv writes the rows of readings"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_SET_MOTOR), 0u);
}

class ScriptSession : public ::testing::TestWithParam<Transport> {};

TEST_P(ScriptSession, FiveCommandsShareOneConnectionAndOneSynchronisation) {
    SimRig rig(defaultScenario(), GetParam());
    const ConsoleOutcome single = rig.console({"status"});
    ASSERT_EQ(single.status, 0) << single.err;
    const size_t connectsBefore = rig.device().requestCount(zorn::drv::REQ_CONNECT);
    const int acceptedBefore = rig.sim().connectionsAccepted();

    const std::string script = "# end-of-line check\nstatus\n\nmotor\nsensor  # distances\nbumper\nbeacon\n";
    ConsoleOutcome r = rig.consoleWithInput(withJson({"session"}), script);
    ASSERT_FALSE(r.killed);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> objects = jsonLines(r);
    std::vector<std::string> commands;
    for (const Json::Value& o : objects) commands.push_back(o["command"].asString());
    EXPECT_EQ(commands, (std::vector<std::string>{"status", "motor", "sensor", "bumper", "beacon"}));
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_CONNECT) - connectsBefore, 1u);
    if (GetParam() == Transport::Tcp) {
        EXPECT_EQ(rig.sim().connectionsAccepted() - acceptedBefore, 1);
    }
    EXPECT_LT(r.seconds, 1.5 * single.seconds) << "one invocation took " << single.seconds << " s";
}

TEST_P(ScriptSession, FailingCommandStopsAPipedSessionWithItsStatus) {
    SimRig rig(defaultScenario(), GetParam());
    ConsoleOutcome r = rig.consoleWithInput({"session"}, "status\nevent\nmotor\n");
    ASSERT_FALSE(r.killed);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.outLines(), info(BASE, "Battery: 80%")));
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_GET_MOTOR_DATA), 0u);  // never reached
    EXPECT_EQ(r.out.find("orbitane> "), std::string::npos);                    // no prompt on a pipe
}

INSTANTIATE_TEST_SUITE_P(Transports, ScriptSession, ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& i) { return transportName(i.param); });

// What reaches the session is checked before it runs: a NUL, bytes that are
// not UTF-8 or an overlong line are refused as a usage error, echoed
// escaped; standard output stays valid UTF-8 and no control character
// reaches the log lines raw. An option of the console's own in a line is
// refused by name, with the line's command.
TEST(Scripting, SessionLinesAreCheckedBeforeTheyRun) {
    SimRig rig(scenarioWith([](Scenario& s) { s.identity.model = "ORB\xFF\x1B[2J"; }));
    const std::string longLine(5000, 'a');
    const size_t widestLine = 4096;  // bytes, line ending not counted
    const std::string widest = "status" + std::string(widestLine - 6, ' ');
    struct Row {
        const char* what;
        std::string input;
        std::vector<std::string> commands;  // "command" of each object, in order
        int status;
        std::string error;                  // of the last object, when it is a failure
        std::string option = "";            // "option" of the first failure
        bool keepGoing = false;             // session --keep-going
    };
    const std::vector<Row> rows = {
        {"CRLF endings", "status\r\nmotor\r\n", {"status", "motor"}, 0, ""},
        {"widest line, CRLF", widest + "\r\n", {"status"}, 0, ""},
        {"one byte too wide", widest + " \nmotor\n", {widest.substr(0, 64) + "..."}, 2,
         "invalid line: longer than 4096 bytes"},
        {"not UTF-8", "\xFF\xFEstatus\n", {"\\xFF\\xFEstatus"}, 2, "invalid line: not valid UTF-8"},
        {"NUL", std::string("status\0garbage\nmotor\n", 21), {"status\\x00garbage"}, 2,
         "invalid line: contains a NUL byte"},
        {"overlong after a good one", "status\n" + longLine + "\nmotor\n", {"status", longLine.substr(0, 64) + "..."},
         2, "invalid line: longer than 4096 bytes"},
        {"escape sequence", "\x1B[31mstatus\n", {"\x1B[31mstatus"}, 5, "unknown command"},
        {"drive, which takes the terminal", "drive\nmotor\n", {"drive"}, 2,
         "invalid line: drive takes over the terminal; run it on its own"},
        {"channel option, then a good line", "-c tcp status\nmotor\n", {"status"}, 2, "invalid options", "-c"},
        {"--json after the command", "motor --json\n", {"motor"}, 2, "invalid options", "--json"},
        {"unknown option", "status --bogus\n", {"status"}, 2, "invalid options", "--bogus"},
        {"bad count", "--count x motor\n", {"motor"}, 2, "invalid options", "--count"},
        // Every failure reported, every line run, the first failure's status.
        {"--keep-going past every failure", "status\nevent\n\xFF\nnosuch\nmotor\n",
         {"status", "event", "\\xFF", "nosuch", "motor"}, 2, "", "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::vector<std::string> session =
            row.keepGoing ? std::vector<std::string>{"--keep-going", "session"} : std::vector<std::string>{"session"};
        ConsoleOutcome r = rig.consoleWithInput(withJson(session), row.input);
        ASSERT_FALSE(r.killed);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_TRUE(nivo::system::util::isValidUtf8(r.out)) << r.out;
        EXPECT_TRUE(nivo::system::util::isValidUtf8(r.err)) << r.err;
        EXPECT_EQ(r.err.find('\x1B'), std::string::npos) << r.err;
        const std::vector<Json::Value> objects = jsonLines(r);
        std::vector<std::string> commands;
        for (const Json::Value& o : objects) commands.push_back(o["command"].asString());
        EXPECT_EQ(commands, row.commands);
        ASSERT_FALSE(objects.empty());
        EXPECT_EQ(objects.back()["error"].asString(), row.error);
        for (const Json::Value& o : objects) {
            if (!o.isMember("error")) continue;
            EXPECT_EQ(o["kind"].asString(), o["error"] == "unknown command" ? "unknown_command" : "usage") << o;
            EXPECT_EQ(o["option"].asString(), row.option);
            break;
        }
    }
    // No line after a refusal ran: a piped session stops at it (the first
    // row's motor ran, and the last line of --keep-going's).
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_GET_MOTOR_DATA), 2u);
    // A name the base sent with such bytes comes out escaped the same way.
    const ConsoleOutcome identity = rig.consoleWithInput(withJson({"session"}), "identity\n");
    EXPECT_EQ(identity.status, 0);
    EXPECT_TRUE(nivo::system::util::isValidUtf8(identity.out) && identity.err.find('\x1B') == std::string::npos);
    ASSERT_EQ(jsonLines(identity).size(), 1u);
    EXPECT_EQ(jsonLines(identity)[0]["model"].asString(), "ORB\\xFF\x1B[2J");
}

// A signal during any command of a session: one "interrupted" object for
// that command, and the session ends with 128 + the signal.
TEST(Scripting, SignalDuringASessionCommandWritesOneInterruptedObject) {
    SimRig rig(scenarioWith([](Scenario& s) { s.faults = {fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Silent)}; }));
    std::unique_ptr<ConsoleProcess> console = std::make_unique<ConsoleProcess>(
        rig.argsFor(withJson({"session"})), "status\nmotor\nstatus\n");
    // The reading of the motor waits for an answer that never comes.
    ASSERT_TRUE(rig.sim().waitFor([&] { return rig.device().requestCount(zorn::drv::REQ_GET_MOTOR_DATA) > 0; },
                                  milliseconds(10000)));
    console->signal(SIGTERM);
    const ConsoleOutcome r = console->wait(milliseconds(10000));
    ASSERT_FALSE(r.killed);
    EXPECT_EQ(r.status, 143);
    const std::vector<Json::Value> objects = jsonLines(r);
    ASSERT_EQ(objects.size(), 2u) << r.out;
    EXPECT_EQ(objects[0]["command"].asString(), "status");
    EXPECT_EQ(objects[1]["command"].asString(), "motor");
    EXPECT_EQ(objects[1]["kind"].asString(), "interrupted");
    EXPECT_EQ(objects[1]["error"].asString(), "interrupted by SIGTERM");
    EXPECT_EQ(objects[1]["result"].asInt(), 143);
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_GET_STATUS), 1u);  // the line after it never ran
}

// --tag and --wall-clock label every object, failures included; without
// --json there is nothing to label and they are refused.
TEST(Scripting, TagAndWallClockLabelEveryObject) {
    SimRig rig;
    const auto before = std::chrono::system_clock::now();
    ConsoleOutcome r =
        rig.consoleWithInput(withJson({"--tag", "robot 7", "--wall-clock", "session"}), "status\nnosuch\n");
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(r.status, 5) << r.err;
    const std::vector<Json::Value> objects = jsonLines(r);
    ASSERT_EQ(objects.size(), 2u) << r.out;
    const std::regex iso(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z)");
    for (const Json::Value& o : objects) {
        EXPECT_EQ(o["tag"].asString(), "robot 7") << o;
        std::smatch m;
        const std::string time = o["time"].asString();
        ASSERT_TRUE(std::regex_match(time, m, iso)) << time;
        std::tm utc{};
        utc.tm_year = std::stoi(m[1]) - 1900;
        utc.tm_mon = std::stoi(m[2]) - 1;
        utc.tm_mday = std::stoi(m[3]);
        utc.tm_hour = std::stoi(m[4]);
        utc.tm_min = std::stoi(m[5]);
        utc.tm_sec = std::stoi(m[6]);
        const auto written = std::chrono::system_clock::from_time_t(timegm(&utc)) + milliseconds(std::stoi(m[7]));
        EXPECT_GE(written, before - milliseconds(1));
        EXPECT_LE(written, after);
    }
    EXPECT_EQ(objects[1]["kind"].asString(), "unknown_command");
    const ConsoleOutcome plain = rig.console({"--tag", "robot 7", "status"});
    EXPECT_EQ(plain.status, 5);
    EXPECT_NE(plain.err.find("--tag needs --json"), std::string::npos) << plain.err;
}

// A failed case says the result of the request that failed; a case a
// signal cut short, and those it kept from starting, are skipped.
TEST(Scripting, SelfTestCasesCarryTheFailedRequestsResultOrSkipped) {
    FaultRule refused = fault(zorn::drv::REQ_SEND_EVENT, FaultKind::Error);
    refused.errorCode = 7;
    SimRig rig(scenarioWith([&](Scenario& s) { s.faults = {refused}; }));
    ConsoleOutcome r = rig.console(withJson({"test"}));
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<Json::Value> objects = jsonLines(r);
    ASSERT_EQ(objects.size(), 10u) << r.out;
    const Json::Value& event = objects[8];
    EXPECT_EQ(event["name"].asString(), "sendEvent");
    EXPECT_FALSE(event["passed"].asBool());
    EXPECT_FALSE(event["skipped"].asBool());
    EXPECT_EQ(event["result_hex"].asString(), "80008001");
    EXPECT_EQ(event["kind"].asString(), "base_error");
    EXPECT_EQ(event["base_error"].asInt(), 7);
    EXPECT_FALSE(objects[7].isMember("result")) << "a passed case has none";
    EXPECT_EQ(objects[9]["error"].asString(), "1 self-test case failed");
    EXPECT_EQ(objects[9]["kind"].asString(), "base_error");

    rig.device().setFaults({fault(zorn::drv::REQ_GET_STATUS, FaultKind::Silent)});
    const size_t asked = rig.device().requestCount(zorn::drv::REQ_GET_STATUS);
    std::unique_ptr<ConsoleProcess> console = rig.start(withJson({"test"}));
    ASSERT_TRUE(rig.sim().waitFor([&] { return rig.device().requestCount(zorn::drv::REQ_GET_STATUS) > asked; },
                                  milliseconds(10000)));
    console->signal(SIGINT);
    r = console->wait(milliseconds(10000));
    EXPECT_EQ(r.status, 130);
    objects = jsonLines(r);
    ASSERT_EQ(objects.size(), 10u) << r.out;  // nine cases, then the interruption
    for (size_t i = 0; i < 9; ++i) {
        SCOPED_TRACE(objects[i]["name"].asString());
        EXPECT_EQ(objects[i]["passed"].asBool(), i < 2);
        EXPECT_EQ(objects[i]["skipped"].asBool(), i >= 2);
        EXPECT_FALSE(objects[i].isMember("kind")) << "a skipped case did not fail";
    }
    EXPECT_EQ(objects[2]["message"].asString(), "cut short: the run was stopped");
    EXPECT_EQ(objects[9]["kind"].asString(), "interrupted");
    // The text summary tells the same story.
    EXPECT_NE(r.err.find("[INFO] ControlBus: 9 total, 7 skipped, 2 pass, 0 failed"), std::string::npos) << r.err;
}

// A paced run follows the arc its wheels drive, whatever the interval: the
// final pose is that of the exact arc of the summed wheel travel, and the
// simulator's.
TEST(Scripting, PacedRunPoseDoesNotDependOnTheInterval) {
    for (const char* interval : {"0.05", "0.3", "1"}) {
        SCOPED_TRACE(interval);
        SimRig rig;
        ConsoleOutcome r = rig.console(withJson({"--interval", interval, "run", "150", "250", "2"}));
        ASSERT_EQ(r.status, 0) << r.err;
        const Json::Value summary = jsonLines(r).back();
        ASSERT_TRUE(summary["summary"].asBool()) << r.out;
        const double left = summary["left_distance_mm"].asDouble();
        const double right = summary["right_distance_mm"].asDouble();
        const double turn = summary["heading_deg"].asDouble() * M_PI / 180.0;
        const double chord = (left + right) / 2 * std::sin(turn / 2) / (turn / 2);
        const double x = summary["x_mm"].asDouble(), y = summary["y_mm"].asDouble();
        EXPECT_NEAR(x, chord * std::cos(turn / 2), 1.0);
        EXPECT_NEAR(y, chord * std::sin(turn / 2), 1.0);
        const zorn::orbitane::sim::DeviceState base = rig.device().state();
        EXPECT_NEAR(x, base.x * 1000, 3.0);  // the base also moved before the first reading
        EXPECT_NEAR(y, base.y * 1000, 3.0);
    }
}

// A private tmux server shows the interactive prompt on a real terminal.
class Tmux {
public:
    Tmux() {
        char pattern[] = "/tmp/orbitane-tmux-XXXXXX";
        dir_ = ::mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~Tmux() {
        run({"kill-server"});
        if (!dir_.empty()) tests::support::runChild("/bin/rm", {"-rf", dir_}, milliseconds(5000));
    }
    bool ok() const { return !dir_.empty(); }
    const std::string& dir() const { return dir_; }
    int run(const std::vector<std::string>& args) {
        std::vector<std::string> words{"-S", dir_ + "/sock"};
        words.insert(words.end(), args.begin(), args.end());
        return tests::support::runChild("/usr/bin/tmux", words, milliseconds(5000)).status;
    }
    std::string screen() {
        return tests::support::runChild("/usr/bin/tmux", {"-S", dir_ + "/sock", "capture-pane", "-p", "-J"},
                                     milliseconds(5000))
            .out;
    }
    // Polls the pane until it shows `text`, for at most `limit`.
    bool waitForScreen(const std::string& text, milliseconds limit) {
        return waitUntil([&] { return screen().find(text) != std::string::npos; }, limit);
    }

private:
    std::string dir_;
};

TEST(Scripting, InteractivePromptRunsCommandsUntilQuit) {
    if (::access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
    SimRig rig;
    Tmux tmux;
    ASSERT_TRUE(tmux.ok());
    std::string command = tests::support::builtProgram("orbitane_console");
    for (const std::string& word : rig.argsFor({"session"})) command += " " + word;
    const std::string statusFile = tmux.dir() + "/status";
    command += "; echo $? > " + statusFile + "; sleep 60";
    ASSERT_EQ(tmux.run({"new-session", "-d", "-x", "160", "-y", "50", command}), 0);
    ASSERT_TRUE(tmux.waitForScreen("orbitane> ", milliseconds(10000))) << tmux.screen();
    tmux.run({"send-keys", "status", "Enter"});
    ASSERT_TRUE(tmux.waitForScreen("Battery: 80%", milliseconds(5000))) << tmux.screen();
    tmux.run({"send-keys", "nosuch", "Enter"});  // a failing command: the session goes on
    ASSERT_TRUE(tmux.waitForScreen("Command nosuch not found", milliseconds(5000))) << tmux.screen();
    // Ctrl-C stops a running monitor and returns to the prompt.
    tmux.run({"send-keys", "monitor motor", "Enter"});
    ASSERT_TRUE(tmux.waitForScreen("Left Wheel:", milliseconds(5000))) << tmux.screen();
    tmux.run({"send-keys", "C-c"});
    ASSERT_TRUE(tmux.waitForScreen("Interrupted by SIGINT, monitor stopped", milliseconds(5000))) << tmux.screen();
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string screen = tmux.screen();
            return screen.rfind("orbitane> ") > screen.rfind("monitor stopped");
        },
        milliseconds(5000)))
        << tmux.screen();
    tmux.run({"send-keys", "quit", "Enter"});
    std::string status;
    ASSERT_TRUE(waitUntil(
        [&] {
            std::ifstream in(statusFile);
            return static_cast<bool>(std::getline(in, status));
        },
        milliseconds(5000)))
        << tmux.screen();
    EXPECT_EQ(status, "0");
    EXPECT_EQ(rig.device().requestCount(zorn::drv::REQ_GET_STATUS), 1u);
}

}  // namespace
