// The traffic trace: the hex dump, and one decoded line per frame saying
// what the answer rule made of it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "console/TrafficTrace.h"
#include "log/StandardOutput.h"
#include "tests/console/ConsoleRig.h"
#include "tests/support/JsonText.h"
#include "tests/support/LinkRig.h"

using namespace zorn::orbitane::test;
using tests::support::Bytes;
using tests::support::LinkRig;
using tests::support::Millis;
using tests::support::ScriptedBase;

namespace {

std::string flushed() {
    nivo::system::util::StandardOutput::instance().flush();
    return testing::internal::GetCapturedStdout();
}

std::string dump(const Bytes& bytes, bool textColumn = false) {
    testing::internal::CaptureStdout();
    TrafficTrace::dumpBytes(bytes.data(), bytes.size(), textColumn);
    return flushed();
}

Bytes counting(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

// The decoded lines without their "+N.NNN ms  " time.
std::vector<std::string> untimed(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        const size_t mark = line.find(" ms  ");
        lines.push_back(line[0] == '+' && mark != std::string::npos ? line.substr(mark + 5) : line);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

}  // namespace

// A dump line with --text-column: the bytes as they always are, then, where
// a full line's bytes end, the text column.
std::string dumpLine(const std::string& hex, const std::string& text) {
    return "\t" + hex + std::string(52 - hex.size(), ' ') + "|" + text + "|\n";
}

TEST(TraceDump, GroupsOfFourSixteenPerLine) {
    EXPECT_EQ(dump({0x10, 0x02, 0xF8, 0x30, 0xDA}), "\t10 02 f8 30  da \n");
    EXPECT_EQ(dump({}), "");
    const std::string full = "00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  ";
    EXPECT_EQ(dump(counting(16)), "\t" + full + "\n");
    EXPECT_EQ(dump(counting(17)), "\t" + full + "\n\t10 \n");
}

TEST(TraceDump, TheTextColumnFollowsTheBytes) {
    const std::string full = "00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  ";
    EXPECT_EQ(dump({0x10, 0x02, 0xF8, 0x30, 0xDA}, true), dumpLine("10 02 f8 30  da ", "...0."));
    EXPECT_EQ(dump(counting(17), true), dumpLine(full, "................") + dumpLine("10 ", "."));
    // Printable ASCII shows as itself; a DEL and bytes above 0x7E as a dot.
    EXPECT_EQ(dump({'O', 'K', ' ', '~', 0x7F, 0xC3}, true), dumpLine("4f 4b 20 7e  7f c3 ", "OK ~.."));
    const std::string sync = dump(zorn::net::syncFrame());
    EXPECT_EQ(5, std::count(sync.begin(), sync.end(), '\n')) << "four full lines and one of four bytes";
}

TEST(TraceDecode, SaysWhatBecameOfEveryByte) {
    LinkRig rig;
    TraceSettings settings;
    settings.hexDump = false;
    settings.decode = true;
    TrafficTrace trace(settings);
    rig.link.setObserver(&trace);
    // A late motor answer, noise, the status answer, a frame with a bad
    // checksum nobody asked for, and a false frame start given up.
    rig.line.latencyOnce(zorn::drv::REQ_GET_MOTOR_DATA, Millis(1500));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(rig.reading(zorn::drv::REQ_GET_MOTOR_DATA, 9));
    rig.line.inject(Bytes{0x01, 0x02, 0x03}, rig.clock.at(Millis(1400)));
    rig.base.scriptOnce(zorn::drv::REQ_GET_STATUS, tests::support::BaseReply::raw(
        {0x10, 0x03, 0x02, 0x50, 0x03, 0x42, 0x10, 0x02, 0xF8, 0x30, 0xDB, 0x50, 0x40}));
    EXPECT_TRUE(rig.reading(zorn::drv::REQ_GET_STATUS, 2));
    rig.clock.advanceTo(rig.clock.at(Millis(3000)));
    rig.link.sync();
    nivo::system::util::StandardOutput::instance().flush();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no hex dump without -t";

    const std::vector<std::string> lines = untimed(err);
    ASSERT_EQ(lines.size(), 10u) << err;
    EXPECT_EQ(lines[0], "-> getMotorData (0x31)");
    EXPECT_EQ(lines[1], "-> getStatus (0x30)") << "sizes tell the owed motor answer from the status's";
    EXPECT_EQ(lines[2], "<- 3 bytes skipped before a frame start");
    EXPECT_EQ(lines[3].rfind("<- late answer (owed to getMotorData), dropped: ok, 9 bytes:", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind("<- ok, 2 bytes: battery 80 %, charging from cable  (rtt ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "<- bad checksum, 5 bytes dropped");
    EXPECT_EQ(lines[6], "-> synchronisation message, 64 bytes");
    EXPECT_EQ(lines[7], "<- frame start 0x50 given up: no byte for 50 ms; the 1 byte after it scanned again");
    EXPECT_EQ(lines[8], "<- 1 byte skipped before a frame start");
    EXPECT_EQ(lines[9], "-> synchronisation message, 64 bytes");
    EXPECT_EQ(err.substr(0, 1), "+");
}

// What the console reads in an answer is shown: the keys and values of the
// binary configuration as config reads them, and an answer of the wrong size
// flagged.
TEST(TraceDecode, AnswersShowWhatTheConsoleReadsInThem) {
    const struct {
        const char* what;
        uint8_t code;
        Bytes answer;
        std::string line;  // the answer's line, up to its round trip
    } rows[] = {
        {"binary configuration", zorn::drv::REQ_GET_BINARY_CONFIG,
         tests::console::binaryConfig(
             R"({"base": {"model_name": "ORB", "robot_size": 0.34, "low_battery_auto_homing": true,
                          "sensors": [{"id": 1}]}})"),
         "<- ok, 31 bytes: binary configuration: base.low_battery_auto_homing=true, base.model_name=\"ORB\", "
         "base.robot_size=0.34, base.sensors.0.id=1"},
        {"unreadable configuration", zorn::drv::REQ_GET_BINARY_CONFIG, Bytes{0xFF, 0x01},
         "<- ok, 2 bytes: binary configuration, not readable as a configuration"},
        {"status of the wrong size", zorn::drv::REQ_GET_STATUS, Bytes{80},
         "<- ok, 1 byte, wrong size (getStatus answers 2 bytes; too short to read)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        LinkRig rig;
        TraceSettings settings;
        settings.hexDump = false;
        settings.decode = true;
        TrafficTrace trace(settings);
        rig.link.setObserver(&trace);
        rig.base.answer(row.code, row.answer);
        testing::internal::CaptureStderr();
        rig.request(row.code, tests::support::LinkRig::RequestKind{});
        nivo::system::util::StandardOutput::instance().flush();
        const std::vector<std::string> lines = untimed(testing::internal::GetCapturedStderr());
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].substr(0, lines[1].find("  (rtt ")), row.line);
    }
}

// With --json the trace objects go to standard output, one per line, with
// the readings: the answer's fields with their types, and what is wrong
// with an answer.
TEST(TraceDecode, JsonObjectsGoToStandardOutput) {
    LinkRig rig;
    TraceSettings settings;
    settings.hexDump = false;
    settings.decode = true;
    settings.json = true;
    TrafficTrace trace(settings);
    rig.link.setObserver(&trace);
    rig.base.answer(zorn::drv::REQ_GET_BINARY_CONFIG,
                    tests::console::binaryConfig(R"({"base": {"low_battery_auto_homing": true}})"));
    rig.base.answer(zorn::drv::REQ_GET_STATUS, Bytes{80});
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    rig.request(zorn::drv::REQ_GET_BINARY_CONFIG, tests::support::LinkRig::RequestKind{});
    rig.reading(zorn::drv::REQ_GET_STATUS, 2);
    nivo::system::util::StandardOutput::instance().flush();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::vector<std::string> lines = untimed(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 4u);
    const Json::Value config = tests::support::parseJson(lines[1]);
    EXPECT_EQ(config["trace"], "answer");
    EXPECT_EQ(config["fields"]["base.low_battery_auto_homing"]["value"], true);
    const Json::Value status = tests::support::parseJson(lines[3]);
    EXPECT_EQ(status["warning"], "wrong size (getStatus answers 2 bytes; too short to read)");
    EXPECT_EQ(status["expected_bytes"], 2);
    EXPECT_FALSE(status.isMember("fields"));
}

// Every byte that came is in the capture once: frames, rejected frames, and
// skipped bytes (noise, a frame start given up) as packets of their own.
TEST(TraceCapture, HoldsEveryByteThatCame) {
    LinkRig rig;
    char path[] = "/tmp/orbitane-trace-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TraceSettings settings;
    settings.hexDump = false;
    settings.capture = std::make_shared<zorn::drv::CaptureWriter>();
    std::string error;
    ASSERT_TRUE(settings.capture->open(path, error)) << error;
    TrafficTrace trace(settings);
    rig.link.setObserver(&trace);
    rig.line.inject(Bytes{0x01, 0x02}, rig.clock.at(Millis(0)));
    rig.base.scriptOnce(zorn::drv::REQ_GET_STATUS,
                        tests::support::BaseReply::raw({0x50, 0x40, 0x10, 0x03, 0x02, 0x50, 0x03, 0x42, 0x10, 0x01}));
    EXPECT_TRUE(rig.reading(zorn::drv::REQ_GET_STATUS, 2));
    rig.link.sync();  // the line falls quiet: the last frame start is given up
    settings.capture->close();
    ASSERT_FALSE(settings.capture->failed()) << settings.capture->failure();

    std::vector<zorn::drv::CaptureRecord> records;
    ASSERT_TRUE(zorn::drv::readCapture(path, records, error)) << error;
    ::unlink(path);
    size_t received = 0, skipped = 0;
    for (const auto& record : records) {
        if (record.direction == zorn::drv::CAPTURE_BASE_TO_HOST) received += record.bytes.size();
        if (record.direction == zorn::drv::CAPTURE_SKIPPED) skipped += record.bytes.size();
    }
    EXPECT_EQ(rig.link.stats().bytesIn, received + skipped);
    EXPECT_EQ(rig.link.stats().skippedBytes, skipped);
    EXPECT_GE(skipped, 6u) << "the noise, a given-up frame start and what it held";
}
