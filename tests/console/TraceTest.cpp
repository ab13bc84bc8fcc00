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
