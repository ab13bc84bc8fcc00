// The framer: whole frames out of any split of the bytes, every byte
// accounted for, and a false frame start given up once the line is quiet.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/Framer.h"
#include "tests/support/ScriptedBase.h"

namespace tests {
namespace net {
namespace {

using namespace zorn::net;
using support::Bytes;
using support::ScriptedBase;
using Millis = std::chrono::milliseconds;

// What came out, in order: "frame:<cmd>:<payload size>", "rejected:<size>",
// "skipped:<size>" or "abandoned" for a given-up frame start.
struct Recorder : FramerSink {
    std::vector<std::string> events;
    void onFramerEvent(const FramerEvent& e) override {
        switch (e.kind) {
            case FramerEvent::Kind::Frame:
                events.push_back("frame:" + std::to_string(e.cmd) + ":" + std::to_string(e.payloadSize));
                break;
            case FramerEvent::Kind::Rejected: events.push_back("rejected:" + std::to_string(e.size)); break;
            case FramerEvent::Kind::Skipped:
                events.push_back(e.abandoned ? "abandoned" : "skipped:" + std::to_string(e.size));
                break;
        }
    }
};

const TimePoint T0 = TimePoint() + std::chrono::hours(1);

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes STATUS_ANSWER = ScriptedBase::frame(2, {80, 3});

struct LineCase {
    const char* name;
    Bytes bytes;
    size_t chunk;  // bytes per push, each 1 ms after the one before; 0: all at once
    int quietMs;   // the line then falls quiet this long
    std::vector<std::string> expected;
};

class FramerLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(FramerLines, FrameEveryByteOnce) {
    const LineCase& c = GetParam();
    Framer framer;
    Recorder out;
    const size_t chunk = c.chunk == 0 ? c.bytes.size() : c.chunk;
    TimePoint at = T0;
    uint64_t read = 0;
    for (size_t i = 0; i < c.bytes.size(); i += chunk) {
        at = T0 + Millis(read);
        framer.push(c.bytes.data() + i, std::min(chunk, c.bytes.size() - i), Arrival{at, ++read}, out);
    }
    framer.expire(at + Millis(c.quietMs), out);
    EXPECT_EQ(c.expected, out.events) << c.name;
    EXPECT_EQ(framer.bytesIn(),
              framer.framedBytes() + framer.rejectedBytes() + framer.skippedBytes() + framer.pendingBytes())
        << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Framer, FramerLines,
    ::testing::Values(
        LineCase{"two frames in one chunk", cat({STATUS_ANSWER, ScriptedBase::frame(3, {0, 0x80})}), 0, 0,
                 {"frame:2:2", "frame:3:2"}},
        LineCase{"an answer split into single bytes", STATUS_ANSWER, 1, 0, {"frame:2:2"}},
        LineCase{"noise before a frame", cat({{0x01, 0x02, 0x03}, STATUS_ANSWER}), 0, 0, {"skipped:3", "frame:2:2"}},
        LineCase{"a bad checksum", cat({Bytes{0x10, 0x03, 0x02, 0x50, 0x03, 0x43}, STATUS_ANSWER}), 0, 0,
                 {"rejected:6", "frame:2:2"}},
        LineCase{"frames without a command byte, in both forms", Bytes{0x10, 0x00, 0x10, 0x50, 0x00, 0x00, 0x50}, 0,
                 0, {"frame:0:0", "frame:0:0"}},
        LineCase{"the 16-bit form with a short length", Bytes{0x50, 0x03, 0x00, 0x02, 0x50, 0x03, 0x02}, 0, 0,
                 {"frame:2:2"}},
        LineCase{"the largest frame", ScriptedBase::frame(2, Bytes(65533, 1)), 4096, 0, {"frame:2:65533"}},
        // A flipped bit makes a flags byte claim 515 bytes; once the line is
        // quiet it is given up and the answer behind it found.
        LineCase{"a false header swallowing an answer", cat({Bytes{0x50, 0x03, 0x02}, STATUS_ANSWER}), 0, 50,
                 {"abandoned", "skipped:2", "frame:2:2"}},
        LineCase{"a false header, not yet quiet", cat({Bytes{0x50, 0x03, 0x02}, STATUS_ANSWER}), 0, 49, {}},
        LineCase{"a 16-bit length frame in pieces", ScriptedBase::frame(2, Bytes(300, 7)), 64, 0, {"frame:2:300"}},
        // Text on the line: 'P' is 0x50, a frame start claiming a length the
        // text cannot fill; given up once quiet, the answer behind it is found.
        LineCase{"text on the line", cat({Bytes{'$', 'G', 'P', 'G', 'G', 'A', ',', '1', '\r', '\n'}, STATUS_ANSWER}), 3,
                 50, {"skipped:2", "abandoned", "skipped:7", "frame:2:2"}},
        LineCase{"text without a frame start", Bytes{'o', 'k', '\r', '\n'}, 0, 0, {"skipped:4"}}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::to_string(info.index); });

TEST(Framer, EncodesTheDocumentedFrames) {
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {{0x30}, {0x10, 0x02, 0xF8, 0x30, 0xDA}},
        {{0x10, 0x01}, {0x10, 0x03, 0xF8, 0x10, 0x01, 0xFA}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, encodeFrame(0xF8, c.first));
    const Bytes& sync = syncFrame();
    ASSERT_EQ(68u, sync.size());
    EXPECT_EQ((Bytes{0x10, 0x41, 0x00, 0x64, 0xAA, 0x22, 0x39, 0x60}), Bytes(sync.begin(), sync.begin() + 8));
    EXPECT_EQ(0x96, sync.back());
    EXPECT_EQ(0x10, encodeFrame(2, Bytes(254, 0))[0]) << "a length of 255 keeps the 8-bit form";
    EXPECT_EQ(0x50, encodeFrame(2, Bytes(255, 0))[0]) << "a length of 256 takes the 16-bit form";
    EXPECT_TRUE(encodeFrame(2, Bytes(65535, 0)).empty()) << "too long for the length field";
}

TEST(Framer, AFrameSplitAtAnyPointComesOutOnce) {
    const Bytes line = cat({Bytes{0x07}, STATUS_ANSWER, ScriptedBase::frame(2, Bytes(300, 9))});
    for (size_t split = 1; split < line.size(); ++split) {
        Framer framer;
        Recorder out;
        framer.push(line.data(), split, Arrival{T0, 1}, out);
        framer.push(line.data() + split, line.size() - split, Arrival{T0, 2}, out);
        EXPECT_EQ((std::vector<std::string>{"skipped:1", "frame:2:2", "frame:2:300"}), out.events) << split;
    }
}

TEST(Framer, RandomBytesAreAllAccountedFor) {
    uint32_t seed = 12345;
    Framer framer;
    Recorder out;
    Bytes chunk(97);
    for (int round = 0; round < 2000; ++round) {
        for (uint8_t& b : chunk) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        framer.push(chunk.data(), chunk.size(), Arrival{T0 + Millis(round * 100), 0}, out);
        framer.expire(T0 + Millis(round * 100 + 60), out);
    }
    EXPECT_EQ(0u, framer.pendingBytes()) << "each chunk was followed by a quiet line";
    EXPECT_EQ(framer.bytesIn(), framer.framedBytes() + framer.rejectedBytes() + framer.skippedBytes());
}

TEST(Framer, ReportsWhenEachFrameBeganToArrive) {
    Framer framer;
    struct Firsts : FramerSink {
        std::vector<uint64_t> reads;
        void onFramerEvent(const FramerEvent& e) override { reads.push_back(e.first.read); }
    } out;
    framer.push(STATUS_ANSWER.data(), 3, Arrival{T0, 1}, out);
    framer.push(STATUS_ANSWER.data() + 3, STATUS_ANSWER.size() - 3, Arrival{T0 + Millis(1), 2}, out);
    EXPECT_EQ(std::vector<uint64_t>{1}, out.reads) << "the read that brought its first byte";
}

}  // namespace
}  // namespace net
}  // namespace tests
