#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <thread>

#include "NetTestUtil.h"
#include "net/InterchipProtocol.h"

using namespace zorn::net;
using namespace tests::net;

namespace {

Bytes encode(InterchipProtocol& p, const MessagePtr& m) {
    Bytes out(p.encodedSize(m) + 8, 0xEE);
    uint32_t size = static_cast<uint32_t>(out.size());
    p.encode(m, out.data(), size);
    out.resize(size);
    return out;
}

void feed(InterchipProtocol& p, const Bytes& b) {
    p.decode(b.data(), 0, static_cast<uint16_t>(b.size()));
}

class Decoding : public ::testing::Test {
protected:
    void SetUp() override { rec.listen(proto); }
    Recorder rec;  // outlives proto: the handlers point at it
    InterchipProtocol proto;
};

}  // namespace

TEST(InterchipEncode, WorkedFrames) {
    InterchipProtocol p;
    EXPECT_EQ(hex(encode(p, msg(0xF8, {0x30}))), "10 02 F8 30 DA");
    EXPECT_EQ(hex(encode(p, msg(0xF8, {0x10, 0x01}))), "10 03 F8 10 01 FA");
    EXPECT_EQ(hex(encode(p, msg(0x02, {0x50, 0x03}))), "10 03 02 50 03 42");
}

TEST(InterchipEncode, SizesAndChecksumStored) {
    InterchipProtocol p;
    MessagePtr m = msg(0xF8, {0x30});
    EXPECT_EQ(p.encodedSize(m), 5u);
    encode(p, m);
    EXPECT_EQ(m->checksum, 0xDA);
}

TEST(InterchipEncode, CommandOnlyAndLengthZero) {
    InterchipProtocol p;
    EXPECT_EQ(hex(encode(p, msg(5, {}))), "10 01 05 14");
    MessagePtr zero = std::make_shared<Message>(9, nullptr, -1);
    EXPECT_EQ(p.encodedSize(zero), 3u);
    EXPECT_EQ(hex(encode(p, zero)), "10 00 10");
}

TEST(InterchipEncode, LongMessageUses16BitLength) {
    InterchipProtocol p;
    Bytes payload(299);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    MessagePtr m = msg(0x42, payload);
    ASSERT_EQ(m->length, 300u);
    EXPECT_EQ(p.encodedSize(m), 304u);
    Bytes f = encode(p, m);
    ASSERT_EQ(f.size(), 304u);
    EXPECT_EQ(hex(Bytes(f.begin(), f.begin() + 4)), "50 2C 01 42");
    EXPECT_EQ(m->flags, 0x50);
    uint8_t cs = 0;
    for (size_t i = 0; i + 1 < f.size(); ++i) cs ^= f[i];
    EXPECT_EQ(f.back(), cs);
    EXPECT_EQ(Bytes(f.begin() + 4, f.end() - 1), payload);
}

TEST(InterchipEncode, Length255StaysShortAnd256GoesLong) {
    InterchipProtocol p;
    EXPECT_EQ(p.encodedSize(msg(1, Bytes(254))), 258u);
    EXPECT_EQ(encode(p, msg(1, Bytes(254)))[0], 0x10);
    EXPECT_EQ(p.encodedSize(msg(1, Bytes(255))), 260u);
    EXPECT_EQ(encode(p, msg(1, Bytes(255)))[0], 0x50);
}

TEST(InterchipEncode, OversizedMessageReportsSizeAboveTheChannelLimit) {
    InterchipProtocol p;
    MessagePtr m = msg(1, Bytes(65535));  // length 65536: cannot be framed
    EXPECT_EQ(p.encodedSize(m), 65540u);
    uint8_t out[8];
    uint32_t size = sizeof out;
    p.encode(m, out, size);  // refuses instead of writing past the buffer
    EXPECT_EQ(size, 0u);
}

TEST(InterchipEncode, AddressAndExtensionOptionsAreRefused) {
    InterchipProtocol p;
    MessagePtr m = msg(1, {2});
    m->flags |= 0x20;
    EXPECT_EQ(p.encodedSize(m), 0u);
    uint8_t out[16];
    uint32_t size = sizeof out;
    p.encode(m, out, size);
    EXPECT_EQ(size, 0u);
    m->flags = 0x90;
    EXPECT_EQ(p.encodedSize(m), 0u);
}

TEST(InterchipSync, FrameBytesAndChecksum) {
    InterchipProtocol p;
    MessagePtr s;
    ASSERT_TRUE(p.getSyncMessage(s));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->cmd, 0);
    EXPECT_EQ(s->flags, 0x10);
    EXPECT_EQ(s->length, 65u);
    Bytes pl = payloadOf(s);
    ASSERT_EQ(pl.size(), 64u);
    EXPECT_EQ(hex(Bytes(pl.begin(), pl.begin() + 10)), "64 AA 22 39 60 A3 16 25 3E 69");  // 100 170 34 57 96 163 22 37 62 105
    Bytes f = encode(p, s);
    ASSERT_EQ(f.size(), 68u);
    EXPECT_EQ(hex(Bytes(f.begin(), f.begin() + 8)), "10 41 00 64 AA 22 39 60");
    // "checksum 96" is the hexadecimal byte 0x96.
    EXPECT_EQ(f.back(), 0x96);
    EXPECT_EQ(hex(f),
              "10 41 00 64 AA 22 39 60 A3 16 25 3E 69 B2 2F 4F 86 E3 82 DD 78 CC 5B 9A 06 0A 11 1C 2F 4F 86 E3 82 "
              "DD 78 CC 5B 9A 06 0A 11 1C 2F 4F 86 E3 82 DD 78 CC 5B 9A 06 0A 11 1C 2F 4F 86 E3 82 DD 78 CC 5B 9A "
              "06 96");
}

TEST(InterchipSync, SameObjectAcrossCallsProtocolsAndThreads) {
    InterchipProtocol a, b;
    MessagePtr s1, s2, s3;
    a.getSyncMessage(s1);
    b.getSyncMessage(s2);
    std::thread t([&] { a.getSyncMessage(s3); });
    t.join();
    EXPECT_EQ(s1.get(), s2.get());
    EXPECT_EQ(s1.get(), s3.get());
}

TEST(InterchipSync, BaseProtocolHasNone) {
    BareProtocol bare;
    MessagePtr m;
    EXPECT_FALSE(bare.getSyncMessage(m));
    EXPECT_FALSE(m);
}

TEST_F(Decoding, WorkedFramesDecode) {
    feed(proto, {0x10, 0x02, 0xF8, 0x30, 0xDA});
    feed(proto, {0x10, 0x03, 0x02, 0x50, 0x03, 0x42});
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].event, EVT_MESSAGE);
    EXPECT_EQ(ev[0].message->cmd, 0xF8);
    EXPECT_EQ(payloadOf(ev[0].message), Bytes({0x30}));
    EXPECT_EQ(ev[0].message->length, 2u);
    EXPECT_EQ(ev[1].message->cmd, 2);
    EXPECT_EQ(payloadOf(ev[1].message), Bytes({0x50, 0x03}));
    EXPECT_EQ(ev[1].message->source, 0);
    EXPECT_EQ(proto.decoderState(), 0);
}

TEST_F(Decoding, CommandOnlyFrame) {
    feed(proto, {0x10, 0x01, 0x05, 0x14});
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].event, EVT_MESSAGE);
    EXPECT_EQ(ev[0].message->cmd, 5);
    EXPECT_EQ(ev[0].message->length, 1u);
    EXPECT_TRUE(ev[0].message->payload.empty());
}

TEST_F(Decoding, LengthZeroFramesInBothForms) {
    // A previous frame's command and payload must not leak into a frame
    // without them.
    feed(proto, {0x10, 0x02, 0x02, 0xAA, 0xBA});
    feed(proto, {0x10, 0x00, 0x10});
    feed(proto, {0x50, 0x00, 0x00, 0x50});
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(ev[i].event, EVT_MESSAGE);
        EXPECT_EQ(ev[i].message->length, 0u);
        EXPECT_EQ(ev[i].message->cmd, 0);
        EXPECT_TRUE(ev[i].message->payload.empty());
    }
}

TEST_F(Decoding, SixteenBitFrameWithShortLengthIsAccepted) {
    // 0x50 frame with length 2: 50 02 00 F8 30 checksum
    uint8_t cs = 0x50 ^ 0x02 ^ 0x00 ^ 0xF8 ^ 0x30;
    feed(proto, {0x50, 0x02, 0x00, 0xF8, 0x30, cs});
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].event, EVT_MESSAGE);
    EXPECT_EQ(ev[0].message->cmd, 0xF8);
    EXPECT_EQ(payloadOf(ev[0].message), Bytes({0x30}));
    EXPECT_EQ(ev[0].message->flags, 0x50);
}

TEST_F(Decoding, ReceivedShortLongFormFramesReencodeWithinTheirAnnouncedSize) {
    // A received 0x50 frame keeps its flags; sending it again writes two
    // length bytes, and encodedSize must count them (it once said length + 3,
    // one byte short of what encode wrote). Lengths 0, 1, 3 and 255.
    const Bytes frames[] = {
        {0x50, 0x00, 0x00, 0x50},
        {0x50, 0x01, 0x00, 0x07, 0x56},
        {0x50, 0x03, 0x00, 0x02, 0x50, 0x03, 0x02},
    };
    Bytes longest = {0x50, 0xFF, 0x00, 0x09};
    longest.resize(4 + 254, 0xA7);
    uint8_t cs = 0;
    for (uint8_t b : longest) cs ^= b;
    longest.push_back(cs);
    std::vector<Bytes> all(std::begin(frames), std::end(frames));
    all.push_back(longest);
    for (const Bytes& frame : all) {
        rec.clear();
        feed(proto, frame);
        auto ev = rec.entries();
        ASSERT_EQ(ev.size(), 1u) << hex(frame);
        ASSERT_EQ(ev[0].event, EVT_MESSAGE) << hex(frame);
        const uint32_t announced = proto.encodedSize(ev[0].message);
        EXPECT_EQ(announced, frame.size()) << hex(frame);
        Bytes out(frame.size() + 8, 0xEE);
        uint32_t size = static_cast<uint32_t>(out.size());
        proto.encode(ev[0].message, out.data(), size);
        EXPECT_EQ(size, announced) << hex(frame);
        out.resize(size);
        EXPECT_EQ(hex(out), hex(frame));
    }
}

TEST_F(Decoding, ThreeHundredByteMessageRoundTrip) {
    Bytes payload(299);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(255 - i);
    Bytes f = encode(proto, msg(0x33, payload));
    ASSERT_EQ(hex(Bytes(f.begin(), f.begin() + 3)), "50 2C 01");
    feed(proto, f);
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].event, EVT_MESSAGE);
    EXPECT_EQ(ev[0].message->length, 300u);
    EXPECT_EQ(ev[0].message->cmd, 0x33);
    EXPECT_EQ(payloadOf(ev[0].message), payload);
}

TEST_F(Decoding, GarbageBeforeAFrameIsSkipped) {
    feed(proto, {0xFF, 0x00, 0x10, 0x02, 0xF8, 0x30, 0xDA});
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].event, EVT_MESSAGE);
    EXPECT_EQ(ev[0].message->cmd, 0xF8);
}

TEST_F(Decoding, BadChecksumThenGoodFrame) {
    feed(proto, {0x10, 0x02, 0xF8, 0x30, 0xDB, 0x10, 0x03, 0x02, 0x50, 0x03, 0x42});
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].event, EVT_BAD_FRAME);
    EXPECT_EQ(ev[0].message->cmd, 0xF8);
    EXPECT_EQ(ev[0].message->checksum, 0xDA);  // as accumulated
    EXPECT_EQ(ev[1].event, EVT_MESSAGE);
    EXPECT_EQ(ev[1].message->cmd, 2);
    EXPECT_EQ(rec.count(EVT_MESSAGE), 1u);
    EXPECT_EQ(rec.count(EVT_BAD_FRAME), 1u);
}

TEST_F(Decoding, BytesOfABadFrameAreNotRescanned) {
    // The payload of the bad frame holds a complete good frame; it is not
    // found again because hunting restarts after the checksum byte.
    Bytes inner = {0x10, 0x01, 0x05, 0x14};
    Bytes outer = {0x10, 0x05, 0x07};
    outer.insert(outer.end(), inner.begin(), inner.end());
    outer.push_back(0x00);  // wrong checksum
    feed(proto, outer);
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].event, EVT_BAD_FRAME);
}

TEST_F(Decoding, FramesPackedIntoOneChunk) {
    Bytes chunk = {0x10, 0x02, 0xF8, 0x30, 0xDA, 0x10, 0x03, 0xF8, 0x10, 0x01, 0xFA, 0x10, 0x01, 0x05, 0x14};
    feed(proto, chunk);
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(payloadOf(ev[0].message), Bytes({0x30}));
    EXPECT_EQ(payloadOf(ev[1].message), Bytes({0x10, 0x01}));
    EXPECT_EQ(ev[2].message->cmd, 5);
    // Each delivery is its own copy.
    EXPECT_NE(ev[0].message.get(), ev[1].message.get());
}

TEST_F(Decoding, FrameSplitAtEveryPossiblePoint) {
    Bytes f = {0x10, 0x03, 0xF8, 0x10, 0x01, 0xFA};
    for (size_t cut = 1; cut < f.size(); ++cut) {
        rec.clear();
        feed(proto, Bytes(f.begin(), f.begin() + cut));
        EXPECT_EQ(rec.total(), 0u) << "cut " << cut;
        feed(proto, Bytes(f.begin() + cut, f.end()));
        ASSERT_EQ(rec.total(), 1u) << "cut " << cut;
        EXPECT_EQ(payloadOf(rec.entries()[0].message), Bytes({0x10, 0x01}));
    }
}

TEST_F(Decoding, OneByteAtATime) {
    Bytes f = encode(proto, msg(0x44, Bytes(1000, 0xAB)));
    for (uint8_t b : f) proto.decodeByte(b);
    ASSERT_EQ(rec.total(), 1u);
    EXPECT_EQ(payloadOf(rec.entries()[0].message), Bytes(1000, 0xAB));
}

TEST_F(Decoding, DecodeHonoursOffset) {
    Bytes buf = {0xAA, 0xAA, 0x10, 0x01, 0x05, 0x14, 0x10};
    proto.decode(buf.data(), 2, 4);
    ASSERT_EQ(rec.total(), 1u);
    EXPECT_EQ(proto.decoderState(), 0);
}

TEST_F(Decoding, ResetDropsAHalfFrame) {
    feed(proto, {0x10, 0x05, 0x01, 0x02});
    proto.reset();
    feed(proto, {0x10, 0x01, 0x05, 0x14});
    ASSERT_EQ(rec.total(), 1u);
    EXPECT_EQ(rec.entries()[0].event, EVT_MESSAGE);
}

TEST_F(Decoding, BufferReusedAcrossFramesOfDifferentSizes) {
    feed(proto, encode(proto, msg(1, Bytes(500, 1))));
    feed(proto, encode(proto, msg(2, Bytes(3, 2))));
    feed(proto, encode(proto, msg(3, Bytes(400, 3))));
    auto ev = rec.entries();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(payloadOf(ev[0].message), Bytes(500, 1));
    EXPECT_EQ(payloadOf(ev[1].message), Bytes(3, 2));
    EXPECT_EQ(payloadOf(ev[2].message), Bytes(400, 3));
}

TEST_F(Decoding, LargestFrame) {
    Bytes payload(65534, 0x5A);
    Bytes f = encode(proto, msg(7, payload));
    ASSERT_EQ(f.size(), 65539u);
    // decode takes at most 65535 bytes a call
    feed(proto, Bytes(f.begin(), f.begin() + 60000));
    feed(proto, Bytes(f.begin() + 60000, f.end()));
    ASSERT_EQ(rec.total(), 1u);
    EXPECT_EQ(rec.entries()[0].event, EVT_MESSAGE);
    EXPECT_EQ(rec.entries()[0].message->length, 65535u);
}

TEST_F(Decoding, RandomBytesNeverBreakTheDecoder) {
    // Run under AddressSanitizer this also shows no write goes out of bounds.
    std::mt19937 rng(1234);
    Bytes b(4096);
    for (int round = 0; round < 200; ++round) {
        for (auto& x : b) {
            uint32_t r = rng();
            // Bias towards flag bytes so that frames actually start.
            x = (r % 5 == 0) ? ((r & 0x100) ? 0x10 : 0x50) : static_cast<uint8_t>(r >> 8);
        }
        feed(proto, b);
    }
    // A good frame still decodes after resynchronisation.
    proto.reset();
    rec.clear();
    feed(proto, {0x10, 0x02, 0xF8, 0x30, 0xDA});
    ASSERT_EQ(rec.count(EVT_MESSAGE), 1u);
}
