#include <gtest/gtest.h>

#include "drv/ControlBus.h"
#include "sim/FrameCodec.h"
#include "sim/WireLine.h"

using namespace zorn::orbitane::sim;

namespace {

constexpr int64_t kMs = 1000000;

TEST(LinePacerTest, BytesCrossAtATenthOfTheBaudRateAndIdleEarnsNoCredit) {
    LinePacer line(115200);  // 11.52 bytes a millisecond
    line.start(0);
    EXPECT_EQ(line.take(100 * kMs - 1, 5000), 1151u);
    EXPECT_EQ(line.take(100 * kMs, 5000), 1u);
    // Over a long run no rounding adds up: 115200 baud is 11520 bytes a second.
    EXPECT_EQ(line.take(1000 * kMs, 100000), 11520u - 1152u);
    EXPECT_EQ(line.nextNs(), 1000 * kMs + 86806);
    // A line left idle starts afresh when bytes come.
    line.start(5000 * kMs);
    EXPECT_EQ(line.take(5000 * kMs, 10), 0u);
    EXPECT_EQ(line.nextNs(), 5000 * kMs + 86806);
}

TEST(BitErrorsTest, RateSeedAndStreamDecideTheFlips) {
    auto flipped = [](double rate, uint64_t seed, uint64_t stream) {
        std::vector<uint8_t> bytes(125000, 0x5A);  // a million bits
        BitErrors errors(rate, seed, stream);
        // Fed in uneven pieces: where a piece ends changes nothing.
        unsigned count = 0;
        for (size_t at = 0; at < bytes.size(); at += 977) {
            count += errors.apply(bytes.data() + at, std::min<size_t>(977, bytes.size() - at));
        }
        return std::make_pair(count, bytes);
    };
    EXPECT_EQ(flipped(0, 1, 0).first, 0u);
    auto all = flipped(1, 1, 0);
    EXPECT_EQ(all.first, 1000000u);
    EXPECT_EQ(all.second, std::vector<uint8_t>(125000, 0xA5));
    // One in a hundred, within five standard deviations.
    auto some = flipped(0.01, 1, 0);
    EXPECT_NEAR(some.first, 10000.0, 500.0);
    EXPECT_EQ(flipped(0.01, 1, 0).second, some.second);
    EXPECT_NE(flipped(0.01, 2, 0).second, some.second);
    EXPECT_NE(flipped(0.01, 1, 1).second, some.second);
}

TEST(WireLineTest, AdapterHoldsBytesUntilItsLatencyOrAFullPacket) {
    WireSettings settings;
    settings.latencyMs = 16;
    WireCounts counts;
    WireLine line(settings, 0, &counts);
    std::vector<uint8_t> out;
    line.send(std::vector<uint8_t>(10, 1), 0);
    line.release(16 * kMs - 1, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(line.nextNs(), 16 * kMs);
    line.release(16 * kMs, out);
    EXPECT_EQ(out.size(), 10u);
    // Whole packets go at once, the rest waits for the timer.
    out.clear();
    line.send(std::vector<uint8_t>(130, 2), 20 * kMs);
    line.release(20 * kMs, out);
    EXPECT_EQ(out.size(), 128u);
    EXPECT_EQ(line.outgoingBytes(), 2u);
    line.release(36 * kMs, out);
    EXPECT_EQ(out.size(), 130u);
    EXPECT_EQ(line.nextNs(), -1);
}

TEST(WireLineTest, PacedLineTakesRequestsInAtItsSpeedAndFeedsTheAdapter) {
    WireSettings settings;
    settings.baud = 9600;  // 1.04167 ms a byte
    settings.latencyMs = 5;
    WireCounts counts;
    WireLine line(settings, 0, &counts);
    const std::vector<uint8_t> status = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, {0x30});
    line.arrive(status.data(), status.size(), 0);
    EXPECT_EQ(line.takeIn(5 * kMs).size(), 4u);
    EXPECT_EQ(line.takeIn(6 * kMs).size(), 1u);
    // 64 bytes cross in 66.7 ms and leave as one packet; the last 6 wait.
    std::vector<uint8_t> out;
    line.send(std::vector<uint8_t>(70, 3), 100 * kMs);
    line.release(166 * kMs, out);
    EXPECT_TRUE(out.empty());
    line.release(167 * kMs, out);
    EXPECT_EQ(out.size(), 64u);
    line.release(173 * kMs, out);  // all 70 crossed at 172.9 ms
    EXPECT_EQ(out.size(), 64u);
    EXPECT_EQ(line.nextNs(), 178 * kMs);
    line.release(178 * kMs, out);
    EXPECT_EQ(out.size(), 70u);
}

TEST(WireLineTest, CountsTheBitsAndFramesItDamaged) {
    WireSettings settings;
    settings.bitErrorRate = 1;
    WireCounts counts;
    WireLine line(settings, 0, &counts);
    std::vector<uint8_t> out;
    line.send({0x10, 0x01, 0x02, 0x13}, 0);
    line.send({0x10, 0x01, 0x02, 0x13}, 0);
    line.release(0, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xEF, 0xFE, 0xFD, 0xEC, 0xEF, 0xFE, 0xFD, 0xEC}));
    // Stray bytes, a frame with a two-byte length, stray bytes, a frame.
    std::vector<uint8_t> in{0x00, 0x77};
    for (uint8_t b : {0x50, 0x01, 0x00, 0x02, 0x43, 0x33}) in.push_back(b);
    in.push_back(0xFF);
    for (uint8_t b : {0x10, 0x02, 0xF8, 0x30, 0xDA}) in.push_back(b);
    line.arrive(in.data(), in.size(), 0);
    EXPECT_EQ(line.takeIn(0).size(), in.size());
    EXPECT_EQ(counts.bitsSent, 64u);
    EXPECT_EQ(counts.answersHit, 2u);
    EXPECT_EQ(counts.bitsReceived, 8 * in.size());
    EXPECT_EQ(counts.framesHit, 2u);
}

}  // namespace
