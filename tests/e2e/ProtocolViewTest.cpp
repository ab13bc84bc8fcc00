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
    EXPECT_TRUE(contains(r.out, "\t10 02 f8 30  da \n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\t10 03 02 50  03 42 \n")) << r.out;
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

TEST(DecodedTrace, JsonObjectPerFrameWithFieldsAndUnits) {
    SimRig rig;
    ConsoleOutcome r = rig.console({"--json", "--decode", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    bool found = false;
    for (const std::string& line : r.errLines()) {
        if (line.empty() || line[0] != '{') continue;
        Json::Value object;
        std::istringstream in(line);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &object, nullptr)) << line;
        ASSERT_TRUE(object.isMember("time_ms") && object.isMember("direction")) << line;
        if (object["trace"] == "answer" && object["request"] == "getStatus") {
            found = true;
            EXPECT_EQ(object["fields"]["battery"]["value"].asDouble(), 80);
            EXPECT_EQ(object["fields"]["battery"]["unit"].asString(), "%");
            EXPECT_EQ(object["direction"].asString(), "base->host");
        }
    }
    EXPECT_TRUE(found) << r.err;
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

TEST(Replay, RequestTheCaptureDoesNotHoldIsLoggedAndUnanswered) {
    TempDir dir;
    const std::string file = dir.path("status.pcap");
    SimRig robot;
    ASSERT_EQ(robot.console({"--capture", file, "status"}).status, 0);
    SimRig desk;
    auto log = std::make_shared<LogLines>();
    desk.sim().setLogSink([log](int level, const std::string& line) { (*log)(level, line); });
    desk.sim().setReplay(loadReplay(file));
    EXPECT_EQ(desk.console({"motor"}).status, STATUS_TIMEOUT);
    EXPECT_TRUE(log->any("getMotorData (0x31) -> not in the capture")) << log->lines.size();
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
