// The traffic trace: the hex dump, and one decoded line per frame saying
// what the answer rule made of it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "console/TrafficTrace.h"
#include "log/StandardOutput.h"
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

std::string dump(const Bytes& bytes) {
    testing::internal::CaptureStdout();
    TrafficTrace::dumpBytes(bytes.data(), bytes.size());
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

TEST(TraceDump, GroupsOfFourSixteenPerLine) {
    EXPECT_EQ(dump({0x10, 0x02, 0xF8, 0x30, 0xDA}), "\t10 02 f8 30  da \n");
    EXPECT_EQ(dump({}), "");
    EXPECT_EQ(dump(counting(16)), "\t00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  \n");
    EXPECT_EQ(dump(counting(17)), "\t00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  \n\t10 \n");
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
