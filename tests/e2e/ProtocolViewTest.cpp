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
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "drv/CaptureFile.h"
#include "drv/ControlBus.h"
#include "net/Framer.h"
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

// tshark with the project's dissector on `file`, and `args`.
std::string tshark(const std::string& file, const std::vector<std::string>& args) {
    const std::string dissector = sourceRoot() + "/packaging/orbitane.lua";
    std::vector<std::string> all{"-o", "gui.console_open:NEVER", "-X", "lua_script:" + dissector, "-r", file};
    all.insert(all.end(), args.begin(), args.end());
    tests::support::ChildResult r = runChild(tsharkPath(), all, milliseconds(60000));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// What a user sees with the dissector: tshark's full decode of the file.
std::string tsharkDecode(const std::string& file) { return tshark(file, {"-V"}); }

// One line per frame: the fields asked for, tab-separated.
std::vector<std::string> tsharkFields(const std::string& file, const std::vector<std::string>& fields,
                                      const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-T", "fields"});
    for (const std::string& field : fields) args.insert(args.end(), {"-e", field});
    return ConsoleOutcome::splitLines(tshark(file, args));
}

// A capture written packet by packet, at times of the test's choosing.
struct CapturedPacket {
    double ms;          // after the first
    uint8_t direction;  // 0 host to base, 1 base to host
    std::vector<uint8_t> bytes;
};

void writeCapture(const std::string& path, const std::vector<CapturedPacket>& packets) {
    std::ofstream out(path, std::ios::binary);
    auto put = [&out](uint32_t value, int size) {
        for (int i = 0; i < size; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    put(0xA1B2C3D4, 4);  // microsecond time stamps
    put(2, 2);
    put(4, 2);
    put(0, 4);
    put(0, 4);
    put(65535, 4);
    put(zorn::drv::CAPTURE_LINK_TYPE, 4);
    for (const CapturedPacket& packet : packets) {
        const uint64_t us = 1700000000ull * 1000000 + static_cast<uint64_t>(packet.ms * 1000.0 + 0.5);
        put(static_cast<uint32_t>(us / 1000000), 4);
        put(static_cast<uint32_t>(us % 1000000), 4);
        put(static_cast<uint32_t>(packet.bytes.size() + 1), 4);
        put(static_cast<uint32_t>(packet.bytes.size() + 1), 4);
        out.put(static_cast<char>(packet.direction));
        out.write(reinterpret_cast<const char*>(packet.bytes.data()), static_cast<std::streamsize>(packet.bytes.size()));
    }
}

CapturedPacket request(double ms, std::vector<uint8_t> payload) {
    return CapturedPacket{ms, 0, zorn::net::encodeFrame(zorn::drv::CMD_CONTROL_BUS, payload)};
}

CapturedPacket answer(double ms, size_t size, uint8_t cmd = zorn::net::ANS_OK) {
    return CapturedPacket{ms, 1, zorn::net::encodeFrame(cmd, std::vector<uint8_t>(size, 0))};
}

CapturedPacket damaged(double ms, size_t size) {
    CapturedPacket packet = answer(ms, size);
    packet.bytes.back() ^= 0xFF;
    return packet;
}

const std::vector<uint8_t> kStatus{zorn::drv::REQ_GET_STATUS};
const std::vector<uint8_t> kMotor{zorn::drv::REQ_GET_MOTOR_DATA};
const std::vector<uint8_t> kSensors{zorn::drv::REQ_GET_SENSOR_DATA};
const std::vector<uint8_t> kStop(17, 0);  // setMotor 0 0: kStop[0] is set below

}  // namespace

TEST(DecodedTrace, StatusBesideTheUnchangedHexDumpAndItsTextColumn) {
    SimRig rig;
    ConsoleOutcome plain = rig.console({"-t", "status"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_TRUE(contains(plain.out, dumpLine("10 02 f8 30  da ") + "\n")) << plain.out;
    ConsoleOutcome r = rig.console({"-t", "--text-column", "--decode", "status"});
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

// The console's answer rule, in a capture's times: each case a line's
// traffic, and for each answer the request it goes to (its frame number,
// 0 for none) and what the console makes of it.
TEST(Dissector, PairsAnswersByTheConsolesRule) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
    std::vector<uint8_t> stop = kStop;
    stop[0] = zorn::drv::REQ_SET_MOTOR;
    const std::string answered = "its request's answer", late = "a late answer, dropped",
                      unasked = "an answer no request awaited or owed, dropped",
                      confirms = "an earlier stop's late answer, taken as the awaited stop's";
    const struct {
        const char* name;
        std::vector<CapturedPacket> packets;
        std::vector<std::string> answers;  // "frame:request frame:taken as", one per answer
    } cases[] = {
        {"a late motor reading is not the sensors' answer",
         {request(0, kMotor), request(1001, kSensors), answer(1500, 9), answer(1500.1, 64)},
         {"3:1:" + late, "4:2:" + answered}},
        {"an answer in time is its request's",
         {request(0, kStatus), answer(0.2, 2), request(1, kStatus), answer(999, 2)},
         {"2:1:" + answered, "4:3:" + answered}},
        {"an answer past the 3 s an answer is owed is nobody's",
         {request(0, kStatus), answer(3000.5, 2)}, {"2::" + unasked}},
        {"the owed answer cannot have the size: it was lost",
         {request(0, kMotor), request(1001, kStatus), answer(1001.3, 2)}, {"3:2:" + answered}},
        {"an error answer fits every request: the oldest owed takes it",
         {request(0, kMotor), request(1001, kStatus), answer(1001.3, 2, zorn::net::ANS_ERROR)}, {"3:1:" + late}},
        {"a bad frame where an answer is awaited is that answer", {request(0, kStatus), damaged(0.3, 2)},
         {"2:1:" + answered}},
        {"an earlier stop's answer confirms the awaited stop",
         {request(0, stop), request(1200, stop), answer(1200.2, 0), answer(1200.4, 0)},
         {"3:1:" + confirms, "4:2:" + late}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string file = dir.path("rule.pcap");
        writeCapture(file, c.packets);
        std::vector<std::string> answers;
        for (const std::string& line :
             tsharkFields(file, {"frame.number", "orbitane.request_in", "orbitane.fate"}, {"-Y", "orbitane.direction == 1"})) {
            std::string fields = line;
            for (char& ch : fields) ch = ch == '\t' ? ':' : ch;
            answers.push_back(fields);
        }
        EXPECT_EQ(answers, c.answers) << c.name;
    }
}

// What the pairing shows of a real session: the fields linking the two
// frames, the response time, the expert info and the statistics.
TEST(Dissector, LinksPairsMarksTroubleAndCountsResponseTimes) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
    TempDir dir;
    const std::string file = dir.path("faulted.pcap");
    FaultRule slow = fault(zorn::drv::REQ_GET_MOTOR_DATA, FaultKind::Delay, 0, 1);
    slow.delayMs = 1500;
    FaultRule refused = fault(zorn::drv::REQ_GET_AUTOHOME_DATA, FaultKind::Error);
    refused.errorCode = 7;
    SimRig robot(scenarioWith([&](Scenario& s) {
        s.faults = {slow, refused, fault(zorn::drv::REQ_GET_BUMPER_DATA, FaultKind::BadChecksum)};
    }));
    ConsoleOutcome r = robot.console({"--capture", file, "test"});
    ASSERT_NE(r.status, 0) << r.err;

    // Requests (with -2, which sees answers that come later) name their
    // answer's frame, and answers their request's, with the time between.
    std::map<std::string, std::string> requestOf, responseOf, timeOf;
    for (const std::string& line :
         tsharkFields(file, {"frame.number", "orbitane.request", "orbitane.answer_to", "orbitane.request_in",
                             "orbitane.response_in", "orbitane.response_time"}, {"-2"})) {
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
        f.resize(6);
        if (!f[1].empty()) responseOf[f[1] + "@" + f[0]] = f[4];
        if (!f[2].empty()) {
            requestOf[f[0]] = f[3];
            timeOf[f[2]] = f[5];
        }
    }
    std::string motorRequest;
    for (const auto& entry : responseOf) {
        if (entry.first.rfind("0x31@", 0) == 0) motorRequest = entry.first.substr(5);
    }
    ASSERT_FALSE(motorRequest.empty());
    const std::string motorAnswer = responseOf["0x31@" + motorRequest];
    ASSERT_FALSE(motorAnswer.empty());
    EXPECT_EQ(requestOf[motorAnswer], motorRequest);
    // The late motor reading's time is its own, not the sensors' request's.
    EXPECT_EQ(timeOf["0x31"].substr(0, 3), "1.5") << timeOf["0x31"];
    EXPECT_LT(std::stod(timeOf["0x32"]), 1.0) << timeOf["0x32"];

    std::vector<std::string> experts;
    for (const std::string& line : tsharkFields(file, {"_ws.expert.message"}, {"-Y", "_ws.expert"})) {
        experts.push_back(line);
    }
    EXPECT_EQ(experts, (std::vector<std::string>{"Late answer (owed to getMotorData): the console drops it",
                                                 "Bad checksum: the frame is dropped",
                                                 "The base refused getAutoHomeData: error code 0x0007"}));

    const std::string stats = tshark(file, {"-q", "-z", "orbitane,srt"});
    for (const char* row : {"getMotorData            1        0      1          -", "getSensorData           1        1      0"}) {
        EXPECT_TRUE(contains(stats, row)) << row << "\n" << stats;
    }
}

// The binary configuration, key by key, as the decoded trace (and so the
// config command) reads it: numbers of every width and sign, texts with
// quotes and bytes beyond ASCII, empty and nested containers, null.
TEST(Dissector, DecodesTheBinaryConfigurationAsConfigReadsIt) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
    Json::Value config;
    std::istringstream in(R"({"base": {"model_name": "say \"hi\" \\ caf\u00e9", "model_id": -5,
        "hardware_version": 70000, "robot_size": 1e-9, "sensors": [],
        "features": {}, "lidar": null, "type": "sonar", "x": [1, [2, -300000, 0.5]], "low_battery_auto_homing": false}})");
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &config, nullptr));
    SimRig rig(scenarioWith([&](Scenario& s) { s.binaryConfig = config; }));
    TempDir dir;
    const std::string file = dir.path("config.pcap");
    const ConsoleOutcome r = rig.console({"--capture", file, "--decode", "config"});
    std::string decoded;
    for (const std::string& line : traceLines(r)) {
        const size_t at = line.find("binary configuration: ");
        if (at != std::string::npos) decoded = line.substr(at, line.find("  (rtt") - at);
    }
    ASSERT_FALSE(decoded.empty()) << r.err;
    EXPECT_TRUE(contains(decoded, "base.x.1.1=-300000")) << decoded;
    const std::string shown = tshark(file, {"-Y", "orbitane.answer_to == 0x21"});
    EXPECT_TRUE(contains(shown, decoded)) << decoded << "\n" << shown;
    // Each key is a field of its own, its value beside it.
    std::string keys, values;
    const std::string pairs = decoded.substr(std::string("binary configuration: ").size());
    for (size_t from = 0; from < pairs.size();) {
        const size_t end = std::min(pairs.find(", ", from), pairs.size());
        const size_t equals = pairs.find('=', from);
        keys += (keys.empty() ? "" : ",") + pairs.substr(from, equals - from);
        values += (values.empty() ? "" : ",") + pairs.substr(equals + 1, end - equals - 1);
        from = end + 2;
    }
    EXPECT_EQ(tsharkFields(file, {"orbitane.config.key", "orbitane.config.value"}, {"-Y", "orbitane.config.key"}),
              std::vector<std::string>{keys + "\t" + values});
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
    // Whether one line holds every part (a replayed answer's line may carry
    // its capture's delay between them).
    bool any(const std::string& part, const std::string& also = "") {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : lines) {
            if (contains(line, part) && contains(line, also)) return true;
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
    EXPECT_TRUE(log->any("getStatus (0x30) -> ok, 2 bytes: battery 80 %, charging from cable", "(from the capture)"));
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
