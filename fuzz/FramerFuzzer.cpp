// The framer on arbitrary byte streams.
//
// Input: one control byte, then the stream.
//   control bit 7 clear: the stream is framed whole (the reference) and
//     again in chunks whose sizes follow from the control byte, with a quiet
//     line (the framer's gap) after some of them; without the quiet spells
//     both must give the same events. Every byte that went in must come out
//     once: framed, rejected or skipped, or still wait in an unfinished
//     frame. A whole frame must encode back to its own bytes.
//   control bit 7 set: the stream is a message to send (command byte, two
//     bytes of payload length, then a payload pattern); it is encoded and
//     the frame framed again must be the same message.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "net/Framer.h"

using namespace zorn::net;

namespace {

const TimePoint T0 = TimePoint() + std::chrono::hours(1);

struct Event {
    FramerEvent::Kind kind;
    std::vector<uint8_t> bytes;
    bool abandoned;
    bool operator==(const Event& o) const { return kind == o.kind && bytes == o.bytes && abandoned == o.abandoned; }
};

struct Collector : FramerSink {
    std::vector<Event> events;
    void onFramerEvent(const FramerEvent& e) override {
        FUZZ_CHECK(e.size > 0, "an event of no bytes");
        events.push_back(Event{e.kind, std::vector<uint8_t>(e.bytes, e.bytes + e.size), e.abandoned});
        if (e.kind == FramerEvent::Kind::Frame) {
            FUZZ_CHECK(e.hasCommand || e.payloadSize == 0, "a payload without a command byte");
            if (e.hasCommand) {
                const std::vector<uint8_t> payload(e.payload, e.payload + e.payloadSize);
                const std::vector<uint8_t> again = encodeFrame(e.cmd, payload);
                // A frame sent with the 16-bit form while short, or without a
                // command, encodes differently; its bytes must still agree
                // after the header.
                if (!again.empty() && again[0] == e.bytes[0]) {
                    FUZZ_CHECK(again == events.back().bytes, "a frame does not encode back to its bytes");
                }
            }
        }
    }
};

// Skipped runs merged: chunks cut a run of noise where they end.
std::vector<Event> merged(const std::vector<Event>& events) {
    std::vector<Event> out;
    for (const Event& e : events) {
        if (!out.empty() && e.kind == FramerEvent::Kind::Skipped && !e.abandoned &&
            out.back().kind == FramerEvent::Kind::Skipped && !out.back().abandoned) {
            out.back().bytes.insert(out.back().bytes.end(), e.bytes.begin(), e.bytes.end());
        } else {
            out.push_back(e);
        }
    }
    return out;
}

void checkAccounting(const Framer& framer, const char* pass) {
    FUZZ_CHECK(framer.bytesIn() ==
                   framer.framedBytes() + framer.rejectedBytes() + framer.skippedBytes() + framer.pendingBytes(),
               "%s: bytes in %llu, framed %llu, rejected %llu, skipped %llu, pending %zu", pass,
               static_cast<unsigned long long>(framer.bytesIn()),
               static_cast<unsigned long long>(framer.framedBytes()),
               static_cast<unsigned long long>(framer.rejectedBytes()),
               static_cast<unsigned long long>(framer.skippedBytes()), framer.pendingBytes());
}

void frameStream(uint8_t control, const uint8_t* data, size_t size) {
    Framer whole;
    Collector reference;
    whole.push(data, size, Arrival{T0, 1}, reference);
    checkAccounting(whole, "whole");

    const bool quiet = (control & 0x40) != 0;
    Framer chunked;
    Collector pieces;
    size_t step = 1 + (control & 0x1F);
    uint64_t read = 0;
    for (size_t at = 0; at < size; at += step, step = 1 + (step * 7 + control) % 61) {
        const TimePoint when = T0 + std::chrono::milliseconds(read * 100);
        chunked.push(data + at, std::min(step, size - at), Arrival{when, ++read}, pieces);
        if (quiet && (read % 3) == 0) chunked.expire(when + Framer::GAP, pieces);
        checkAccounting(chunked, "chunked");
    }
    if (!quiet) {
        FUZZ_CHECK(merged(reference.events) == merged(pieces.events), "chunks gave %zu events, the whole stream %zu",
                   pieces.events.size(), reference.events.size());
    }
    chunked.expire(TimePoint::max() - std::chrono::hours(1), pieces);
    FUZZ_CHECK(chunked.pendingBytes() == 0, "a quiet line leaves %zu bytes waiting", chunked.pendingBytes());
    checkAccounting(chunked, "quiet");
}

void roundTrip(uint8_t control, const uint8_t* data, size_t size) {
    if (size < 3) return;
    const uint8_t cmd = data[0];
    size_t length = data[1] | (data[2] << 8);
    if (control & 0x20) length += 600;
    std::vector<uint8_t> payload(length);
    for (size_t i = 0; i < length; ++i) payload[i] = size > 3 ? data[3 + i % (size - 3)] : static_cast<uint8_t>(i);
    const std::vector<uint8_t> frame = encodeFrame(cmd, payload);
    if (length + 1 > FRAME_MAX_LENGTH) {
        FUZZ_CHECK(frame.empty(), "a payload of %zu bytes was encoded past the length field", length);
        return;
    }
    FUZZ_CHECK(frame.size() == frameSize(length), "encoded %zu bytes, frameSize says %zu", frame.size(),
               frameSize(length));
    Framer framer;
    Collector out;
    framer.push(frame.data(), frame.size(), Arrival{T0, 1}, out);
    FUZZ_CHECK(out.events.size() == 1 && out.events[0].kind == FramerEvent::Kind::Frame,
               "an encoded frame framed as %zu events", out.events.size());
    FUZZ_CHECK(out.events[0].bytes == frame, "the frame changed on the way");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    if (control & 0x80) roundTrip(control, data + 1, size - 1);
    else frameStream(control, data + 1, size - 1);
    return 0;
}
