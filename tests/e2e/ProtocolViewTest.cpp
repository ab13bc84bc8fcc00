// Seeing the protocol: the decoded trace (--decode), capture files
// (--capture) read back by tshark with the project's dissector, and the
// simulator replaying a capture (--replay).

#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "drv/CaptureFile.h"
#include "drv/ControlBus.h"
#include "sim/Replay.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ChildProcess.h"

using namespace tests::e2e;
using namespace zorn::orbitane::sim;
using std::chrono::milliseconds;
using tests::support::runChild;

namespace {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/orbitane-capture-XXXXXX";
        dir_ = ::mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempDir() {
        if (!dir_.empty()) runChild("/bin/rm", {"-rf", dir_}, milliseconds(5000));
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Decoded trace lines of standard error, without their times.
std::vector<std::string> traceLines(const ConsoleOutcome& r) {
    std::vector<std::string> out;
    for (const std::string& line : r.errLines()) {
        const size_t mark = line.find(" ms  ");
        if (!line.empty() && line[0] == '+' && mark != std::string::npos) out.push_back(line.substr(mark + 5));
    }
    return out;
}

bool hasLineStarting(const std::vector<std::string>& lines, const std::string& start) {
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0) return true;
    }
    return false;
}

std::string tsharkPath() {
    for (const char* path : {"/usr/bin/tshark", "/usr/local/bin/tshark"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "";
}

// What a user sees with the dissector: tshark's full decode of the file.
std::string tsharkDecode(const std::string& file) {
    const std::string dissector = sourceRoot() + "/packaging/orbitane.lua";
    tests::support::ChildResult r =
        runChild(tsharkPath(), {"-o", "gui.console_open:NEVER", "-X", "lua_script:" + dissector, "-r", file, "-V"},
                 milliseconds(60000));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

}  // namespace

TEST(DecodedTrace, StatusBesideTheUnchangedHexDump) {
    SimRig rig;
    ConsoleOutcome r = rig.console({"-t", "--decode", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, dumpLine("10 02 f8 30  da ", "...0.") + "\n")) << r.out;
    EXPECT_TRUE(contains(r.out, dumpLine("10 03 02 50  03 42 ", "...P.B") + "\n")) << r.out;
    const std::vector<std::string> lines = traceLines(r);
    EXPECT_TRUE(has(lines, "-> synchronisation message, 64 bytes"));
    EXPECT_TRUE(has(lines, "-> getStatus (0x30)"));
    EXPECT_TRUE(hasLineStarting(lines, "<- ok, 2 bytes: battery 80 %, charging from cable  (rtt ")) << r.err;
    EXPECT_TRUE(hasLineStarting(lines, "<- ok, 28 bytes: model \"ORB-BASE\", firmware 1.2")) << r.err;
}

TEST(DecodedTrace, LateAnswerNamesTheRequestItWasOwed) {
    FaultRule late = fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Delay, 0, 1);
    late.delayMs = 1500;
    SimRig rig(scenarioWith([&](Scenario& s) { s.faults = {late}; }));
    // The self-test goes on after the time-out, so the late answer meets the next request.
    ConsoleOutcome r = rig.console({"--decode", "test"});
    const std::vector<std::string> lines = traceLines(r);
    EXPECT_TRUE(has(lines, "-> getMotorData (0x31)")) << r.err;
    EXPECT_TRUE(hasLineStarting(lines, "<- late answer (owed to getMotorData), dropped: ok, 9 bytes: odometry"))
        << r.err;
}

// With --json the trace objects are on standard output with the readings:
// every line there is one JSON object, and standard error holds none.
TEST(DecodedTrace, JsonObjectPerFrameWithFieldsAndUnits) {
    SimRig rig;
    ConsoleOutcome r = rig.console({"--json", "--decode", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('{'), std::string::npos) << r.err;
    bool found = false;
    for (const std::string& line : r.outLines()) {
        Json::Value object;
        std::istringstream in(line);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &object, nullptr)) << line;
        if (object.isMember("command")) continue;  // the reading
        ASSERT_TRUE(object.isMember("trace") && object.isMember("time_ms") && object.isMember("direction")) << line;
        if (object["trace"] == "answer" && object["request"] == "getStatus") {
            found = true;
            EXPECT_EQ(object["fields"]["battery"]["value"].asDouble(), 80);
            EXPECT_EQ(object["fields"]["battery"]["unit"].asString(), "%");
            EXPECT_EQ(object["direction"].asString(), "base->host");
        }
    }
    EXPECT_TRUE(found) << r.err;
}

// jq reads the stream of --json --decode from its first line: the frames'
// objects and the reading's, in order, and nothing else.
TEST(DecodedTrace, JqReadsTheJsonStreamFromItsFirstLine) {
    if (::access("/usr/bin/jq", X_OK) != 0) GTEST_SKIP() << "jq is not installed (scripts/bootstrap installs it)";
    SimRig rig;
    std::string command = tests::support::builtProgram("orbitane_console");
    for (const std::string& word : rig.argsFor({"--json", "--decode", "status"})) command += " '" + word + "'";
    command += " 2>/dev/null | /usr/bin/jq -s -c "
               "'[.[0].trace, (map(select(.command == \"status\")) | length), (map(select(.trace)) | length)]'";
    ConsoleProcess shell("/bin/sh", {"-c", command});
    const ConsoleOutcome r = shell.wait(milliseconds(30000));
    EXPECT_EQ(r.status, 0) << r.err;
    // Two synchronisation messages, the connect request and its answer, the status request and its answer.
    EXPECT_EQ(r.out, "[\"request\",1,6]\n") << r.err;
}

TEST(Capture, TsharkShowsEveryFieldWithItsUnit) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
    TempDir dir;
    SimRig rig;
    const struct {
        std::vector<std::string> command;
        std::vector<std::string> shown;
    } cases[] = {
        {{"status"},
         {"Direction: base -> host (1)", "[Answer to: getStatus (0x30)]", "Battery: 80 %",
          "..1. = Cable connected: True", "[Checksum matches: True]", "Model: ORB-BASE", "Firmware version: 1.2"}},
        {{"run", "100", "-50", "0.3"},
         {"Request: setMotor (0x40)", "Left wheel speed: 100 mm/s", "Right wheel speed: -50 mm/s",
          "Left wheel speed: 0 mm/s", "Left wheel odometry: ", "Motor state: 0"}},
        {{"config"}, {"Request: getBinaryConfig (0x21)", "Binary configuration: "}},
    };
    for (const auto& c : cases) {
        const std::string file = dir.path(c.command[0] + ".pcap");
        std::vector<std::string> args{"--capture", file};
        args.insert(args.end(), c.command.begin(), c.command.end());
        ConsoleOutcome r = rig.console(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string shown = tsharkDecode(file);
        for (const std::string& part : c.shown) EXPECT_TRUE(contains(shown, part)) << c.command[0] << ": " << part;
    }
    // The legacy configuration record, field by field.
    SimRig legacy(scenarioWith([](Scenario& s) { s.legacyBase = true; }));
    const std::string file = dir.path("legacy.pcap");
    ASSERT_EQ(legacy.console({"--capture", file, "config"}).status, 0);
    const std::string shown = tsharkDecode(file);
    for (const char* part : {"Radius: 170 mm", "Distance sensors: 3", "Distance sensor 0", "yaw: "}) {
        EXPECT_TRUE(contains(shown, part)) << part << "\n" << shown.substr(0, 4000);
    }
}

TEST(Capture, KilledSessionIsReadableUpToItsLastFrame) {
    TempDir dir;
    SimRig rig;
    const std::string file = dir.path("killed.pcap");
    std::unique_ptr<ConsoleProcess> child = rig.start({"--capture", file, "--interval", "0.05", "monitor", "status"});
    ASSERT_TRUE(child->waitForOutput("Battery: 80%", milliseconds(20000)));
    ASSERT_TRUE(child->waitForOutput("Charging Status", milliseconds(20000)));
    child->signal(SIGKILL);
    child->wait(milliseconds(20000));
    std::vector<zorn::drv::CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(zorn::drv::readCapture(file, records, error)) << error;
    // Two synchronisation messages, connect and its answer, at least one status exchange.
    ASSERT_GE(records.size(), 6u);
    EXPECT_EQ(records[0].direction, zorn::drv::CAPTURE_HOST_TO_BASE);
    EXPECT_EQ(records[5].direction, zorn::drv::CAPTURE_BASE_TO_HOST);
    EXPECT_EQ(records[5].bytes, (std::vector<uint8_t>{0x10, 0x03, 0x02, 0x50, 0x03, 0x42}));
}

TEST(Capture, UnwritableFileIsRefusedBeforeConnecting) {
    SimRig rig;
    ConsoleOutcome r = rig.console({"--capture", "/nonexistent-dir/session.pcap", "status"});
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(contains(r.err, "Cannot write the capture file /nonexistent-dir/session.pcap: ")) << r.err;
    EXPECT_TRUE(rig.device().requests().empty());
}

namespace {

// Console output with the simulator's port taken out.
std::string withoutPort(std::string text, const SimRig& rig) {
    const std::string where = rig.channelDescription();
    for (size_t at; (at = text.find(where)) != std::string::npos;) text.replace(at, where.size(), "BASE");
    return text;
}

std::shared_ptr<ReplayScript> loadReplay(const std::string& file) {
    auto script = std::make_shared<ReplayScript>();
    std::string error;
    EXPECT_TRUE(ReplayScript::load(file, *script, error)) << error;
    return script;
}

struct LogLines {
    void operator()(int, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    }
    bool any(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : lines) {
            if (contains(line, part)) return true;
        }
        return false;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace

TEST(Replay, FaultedSessionFailsTheSameWayAgain) {
    TempDir dir;
    const std::string file = dir.path("faulted.pcap");
    FaultRule late = fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Delay, 0, 1);
    late.delayMs = 1500;
    SimRig robot(scenarioWith([&](Scenario& s) {
        s.faults = {late, fault(zorn::drv::REQ_GET_AUTOHOME_DATA, FaultKind::Unsupported),
                    fault(zorn::drv::REQ_GET_BUMPER_DATA, FaultKind::BadChecksum)};
    }));
    ConsoleOutcome first = robot.console({"--capture", file, "test"});
    ASSERT_NE(first.status, 0) << first.out;

    SimRig desk;  // every answer comes from the capture
    auto log = std::make_shared<LogLines>();
    desk.sim().setLogSink([log](int level, const std::string& line) { (*log)(level, line); });
    desk.sim().setReplay(loadReplay(file));
    ConsoleOutcome again = desk.console({"test"});
    EXPECT_EQ(again.status, first.status);
    EXPECT_EQ(withoutPort(again.out, desk), withoutPort(first.out, robot));
    EXPECT_EQ(withoutPort(again.err, desk), withoutPort(first.err, robot));
    EXPECT_TRUE(log->any("getStatus (0x30) -> ok, 2 bytes: battery 80 %, charging from cable (from the capture)"));
    EXPECT_FALSE(log->any("not in the capture"));
}

TEST(Replay, SessionThatLeavesTheCaptureIsToldSo) {
    TempDir dir;
    const std::string file = dir.path("run.pcap");
    const std::vector<std::string> captured{"--interval", "0.1", "--count", "3", "run", "100", "100", "1"};
    SimRig robot;
    std::vector<std::string> capturing{"--capture", file};
    capturing.insert(capturing.end(), captured.begin(), captured.end());
    ASSERT_EQ(robot.console(capturing).status, 0);
    const struct {
        const char* name;
        std::vector<std::string> command;
        int status;
        const char* logged;  // the simulator's line for the first request off the capture, "" for none
        bool stopAnswered;   // the stop was answered from the capture
    } cases[] = {
        {"the same run", captured, 0, "", true},
        {"other wheel speeds", {"--interval", "0.1", "--count", "3", "run", "-300", "300", "1"}, STATUS_NOT_SUPPORTED,
         "setMotor left=-300 mm/s right=300 mm/s (0x40) -> not in the capture (its arguments differ: the capture's "
         "next one is setMotor left=100 mm/s right=100 mm/s (0x40)), answered not supported (1 request of this host "
         "off the capture)",
         true},
        {"more steps than captured", {"--interval", "0.1", "--count", "5", "run", "100", "100", "1"},
         STATUS_NOT_SUPPORTED,
         "getMotorData (0x31) -> not in the capture (it holds no further request of this kind), answered not "
         "supported",
         true},
        {"a reading never captured", {"status"}, STATUS_NOT_SUPPORTED,
         "getStatus (0x30) -> not in the capture (it holds no request of this kind), answered not supported", false},
    };
    for (const auto& c : cases) {
        SimRig desk;
        auto log = std::make_shared<LogLines>();
        desk.sim().setLogSink([log](int level, const std::string& line) { (*log)(level, line); });
        desk.sim().setReplay(loadReplay(file));
        const ConsoleOutcome r = desk.console(c.command);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        if (*c.logged == '\0') {
            EXPECT_FALSE(log->any("not in the capture")) << c.name;
        } else {
            EXPECT_TRUE(log->any(c.logged)) << c.name;
            // The console hears that the base cannot answer it, not a time-out.
            EXPECT_TRUE(contains(r.err, "80008004: the base does not support this request")) << c.name << r.err;
        }
        EXPECT_EQ(contains(r.out + r.err, "Stop request answered: motors stopped"), c.stopAnswered) << c.name;
    }
}

TEST(Replay, UnusableCaptureIsRefusedWithItsReason) {
    TempDir dir;
    SimRig robot;
    const std::string good = dir.path("good.pcap");
    ASSERT_EQ(robot.console({"--capture", good, "status"}).status, 0);
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string ethernet = bytes;
    ethernet[20] = 1;  // link type in the file header: Ethernet
    const struct {
        const char* name;
        std::string content;
        const char* reason;
    } cases[] = {
        {"truncated.pcap", bytes.substr(0, bytes.size() - 3), "truncated"},
        {"text.pcap", "status\n", "unknown file format"},
        {"ethernet.pcap", ethernet, "link type 1, not the control bus's 147 (DLT_USER0)"},
        {"empty.pcap", bytes.substr(0, 24), "the capture holds no request"},
    };
    for (const auto& c : cases) {
        const std::string file = dir.path(c.name);
        std::ofstream(file, std::ios::binary) << c.content;
        tests::support::ChildResult r =
            runChild(tests::support::builtProgram("orbitane_base_sim"), {"--replay", file}, milliseconds(20000));
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_TRUE(contains(r.err, "orbitane_base_sim: cannot replay " + file + ": ")) << r.err;
        EXPECT_TRUE(contains(r.err, c.reason)) << c.name << ": " << r.err;
    }
}
