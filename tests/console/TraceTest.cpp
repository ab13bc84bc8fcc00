#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console/InterceptProtocol.h"
#include "log/StandardOutput.h"
#include "net/Events.h"
#include "net/InterchipProtocol.h"

using namespace zorn::orbitane::test;
using zorn::net::MessagePtr;

namespace {

std::string dump(const std::vector<uint8_t>& bytes) {
    FILE* file = std::tmpfile();
    InterceptProtocol::dumpBytes(file, bytes.data(), bytes.size());
    std::rewind(file);
    std::string text;
    int c;
    while ((c = std::fgetc(file)) != EOF) text.push_back(static_cast<char>(c));
    std::fclose(file);
    return text;
}

std::vector<uint8_t> counting(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

struct Recorder {
    int onMessage(uint32_t event, zorn::net::MessageDispatcher*, MessagePtr& message) {
        events.push_back(event);
        messages.push_back(message);
        return 0;
    }
    std::vector<uint32_t> events;
    std::vector<MessagePtr> messages;
};

}  // namespace

TEST(TraceDump, GroupsOfFourSixteenPerLine) {
    EXPECT_EQ(dump({0x10, 0x02, 0xF8, 0x30, 0xDA}), "\t10 02 f8 30  da \n");
    EXPECT_EQ(dump({}), "");
    EXPECT_EQ(dump(counting(16)), "\t00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  \n");
    EXPECT_EQ(dump(counting(17)), "\t00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  \n\t10 \n");
}

TEST(TraceDump, SynchronisationFrameTakesFiveLines) {
    zorn::net::InterchipProtocol inner;
    InterceptProtocol trace(&inner);
    MessagePtr sync;
    ASSERT_TRUE(trace.getSyncMessage(sync));
    std::vector<uint8_t> frame(trace.encodedSize(sync));
    uint32_t size = static_cast<uint32_t>(frame.size());
    testing::internal::CaptureStdout();
    trace.encode(sync, frame.data(), size);
    nivo::system::util::StandardOutput::instance().flush();
        std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(size, 68u);
    // Four full lines and one of four bytes; the log line goes to the
    // log, not to this capture, when no appender is registered.
    size_t lines = 0;
    for (char c : out) lines += c == '\n';
    EXPECT_EQ(lines, 5u);
    EXPECT_EQ(out.substr(0, 27), "\t10 41 00 64  aa 22 39 60  ");
    const std::string lastLine = dump({frame[64], frame[65], frame[66], frame[67]});
    ASSERT_GE(out.size(), lastLine.size());
    EXPECT_EQ(out.substr(out.size() - lastLine.size()), lastLine);
}

TEST(TraceRelay, InnerEventsReachTheWrapperUnchanged) {
    zorn::net::InterchipProtocol inner;
    Recorder recorder;
    {
        InterceptProtocol trace(&inner);
        for (uint32_t event : {zorn::net::EVT_MESSAGE, zorn::net::EVT_BAD_FRAME}) {
            trace.addHandler(event, &recorder, &Recorder::onMessage);
        }
        const uint8_t good[] = {0x10, 0x03, 0x02, 0x50, 0x03, 0x42};
        const uint8_t bad[] = {0x10, 0x02, 0xF8, 0x30, 0xDB};
        testing::internal::CaptureStdout();
        trace.decode(good, 0, sizeof good);
        trace.decode(bad, 0, sizeof bad);
        nivo::system::util::StandardOutput::instance().flush();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "\t10 03 02 50  03 42 \n\t10 02 f8 30  db \n");
        ASSERT_EQ(recorder.events, (std::vector<uint32_t>{zorn::net::EVT_MESSAGE, zorn::net::EVT_BAD_FRAME}));
        EXPECT_EQ(recorder.messages[0]->cmd, 2);
        ASSERT_EQ(recorder.messages[0]->payloadLength(), 2u);
        EXPECT_EQ(recorder.messages[0]->payload.at(0), 0x50);
    }
}

namespace {

// Stands in for the endpoint: drops the answers it is told to, as owed to
// getMotorData, while they are delivered.
struct DroppingEndpoint {
    int onMessage(uint32_t, zorn::net::MessageDispatcher*, MessagePtr& message) {
        if (dropNext && trace != nullptr) trace->noteDroppedAnswer(message, 0xF8, 0x31);
        return 0;
    }
    InterceptProtocol* trace = nullptr;
    bool dropNext = false;
};

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

TEST(TraceDecode, OneLinePerFrameBothWays) {
    zorn::net::InterchipProtocol inner;
    TraceSettings settings;
    settings.hexDump = false;
    settings.decode = true;
    InterceptProtocol trace(&inner, settings);
    DroppingEndpoint endpoint;
    endpoint.trace = &trace;
    trace.addHandler(zorn::net::EVT_MESSAGE, &endpoint, &DroppingEndpoint::onMessage);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const uint8_t code = 0x30;
    MessagePtr request = std::make_shared<zorn::net::Message>(0xF8, &code, 1);
    uint8_t frame[16];
    uint32_t size = 0;
    trace.encode(request, frame, size);
    // Noise, the answer, a frame with a bad checksum, split across reads.
    const uint8_t line[] = {0x01, 0x02, 0x03, 0x10, 0x03, 0x02, 0x50, 0x03, 0x42, 0x10, 0x02, 0xF8, 0x30, 0xDB};
    trace.decode(line, 0, 7);
    trace.decode(line, 7, sizeof line - 7);
    endpoint.dropNext = true;
    const uint8_t late[] = {0x10, 0x0A, 0x02, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0x1B};
    trace.decode(late, 0, sizeof late);
    nivo::system::util::StandardOutput::instance().flush();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no hex dump without -t

    const std::vector<std::string> lines = untimed(err);
    ASSERT_EQ(lines.size(), 5u) << err;
    EXPECT_EQ(lines[0], "-> getStatus (0x30)");
    EXPECT_EQ(lines[1], "<- 3 bytes skipped before a frame start");
    EXPECT_EQ(lines[2].rfind("<- ok, 2 bytes: battery 80 %, charging from cable  (rtt ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "<- bad checksum, 5 bytes dropped");
    EXPECT_EQ(lines[4], "<- late answer (owed to getMotorData), dropped: ok, 9 bytes: odometry left 1 mm, right 2 mm, "
                        "motor state 0");
    EXPECT_EQ(err.substr(0, 1), "+");
}
