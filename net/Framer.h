#pragma once

// The interchip framing, with no I/O:
//   flags (0x10 | 0x50)  length (1 or 2 bytes, LE)  cmd  payload  checksum
// The length counts the command byte and the payload; a length of 0 means
// a frame without a command byte. The checksum is the XOR of every byte
// before it. Bytes and the time they were read go in; frames, rejected
// frames and skipped bytes come out, in the order of the line, and every
// byte that went in ends in exactly one of the three (or still waits in an
// unfinished frame).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/arch/Transport.h"

namespace zorn {
namespace net {

constexpr uint8_t FRAME_FLAGS_SHORT = 0x10;  // checksum, 8-bit length
constexpr uint8_t FRAME_FLAGS_LONG = 0x50;   // checksum, 16-bit length (from a length of 256 on)
constexpr uint32_t FRAME_MAX_LENGTH = 0xFFFF;

// Answer command bytes of the base.
constexpr uint8_t ANS_OK = 2;
constexpr uint8_t ANS_ERROR = 3;
// The error code of an ANS_ERROR answer meaning "request not supported".
constexpr uint16_t ANS_ERROR_NOT_SUPPORTED = 0x8000;

// Bytes of a frame carrying `payloadSize` payload bytes after its command.
size_t frameSize(size_t payloadSize);
// Writes the frame into `out` (frameSize bytes); returns its size, or 0
// when the payload is too large for the length field.
size_t encodeFrame(uint8_t cmd, const uint8_t* payload, size_t payloadSize, uint8_t* out);
std::vector<uint8_t> encodeFrame(uint8_t cmd, const std::vector<uint8_t>& payload);
// The synchronisation frame the host sends twice when it opens a link: 64
// payload bytes starting 100, 170, 34, ... (each the one before × 17 / 10
// mod 255) under command 0, 68 bytes in all.
const std::vector<uint8_t>& syncFrame();

// When bytes were read: the time, and the number of the read that brought
// them (the link tells what arrived before a request was written by it).
struct Arrival {
    TimePoint at{};
    uint64_t read = 0;
};

struct FramerEvent {
    enum class Kind {
        Frame,     // a whole frame whose checksum matched
        Rejected,  // a whole frame whose checksum did not match
        Skipped,   // bytes outside any frame: noise, or a frame start given up
    };
    Kind kind = Kind::Frame;
    const uint8_t* bytes = nullptr;  // every byte of it, valid during the call only
    size_t size = 0;
    Arrival first;  // of its first byte
    Arrival last;   // of its last byte
    // Frame and Rejected: the command byte (absent when the length is 0)
    // and the payload after it.
    bool hasCommand = false;
    uint8_t cmd = 0;
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
    // Skipped: the byte was a frame start whose frame did not come whole
    // before the line fell quiet for Framer::GAP; it claimed this length
    // and `held` bytes of it (its own included) had come. The bytes after it
    // are scanned again.
    bool abandoned = false;
    uint32_t claimedLength = 0;
    size_t held = 0;
};

class FramerSink {
public:
    virtual ~FramerSink() = default;
    virtual void onFramerEvent(const FramerEvent& event) = 0;
};

class Framer {
public:
    // An unfinished frame is given up when no byte has come for this long:
    // more than three times the 16 ms latency timer of common USB serial
    // adapters, which hold back what they received for up to that long.
    static constexpr std::chrono::milliseconds GAP{50};

    // Frames the bytes; events go to `sink` as they complete. A frame that
    // ends past `data` waits for the next push.
    void push(const uint8_t* data, size_t size, const Arrival& arrival, FramerSink& sink);
    // Gives up an unfinished frame when its last byte came GAP or more
    // before `now`: its first byte is skipped and the rest scanned again.
    void expire(TimePoint now, FramerSink& sink);
    // When expire() next has work: TimePoint::max() while no frame waits.
    TimePoint deadline() const;
    bool midFrame() const { return !pending_.empty(); }
    // Forgets an unfinished frame (its bytes count as neither).
    void reset();

    // Byte accounting since construction: bytesIn() = framed + rejected +
    // skipped + what waits in an unfinished frame.
    uint64_t bytesIn() const { return bytesIn_; }
    uint64_t framedBytes() const { return framedBytes_; }
    uint64_t rejectedBytes() const { return rejectedBytes_; }
    uint64_t skippedBytes() const { return skippedBytes_; }
    uint64_t abandonedStarts() const { return abandoned_; }
    size_t pendingBytes() const { return pending_.size(); }

private:
    // One mark per push whose bytes wait in pending_: where they start.
    struct Mark {
        size_t offset;
        Arrival arrival;
    };
    // Frames buf[0..size) from the start; returns how many bytes it used
    // (the rest is an unfinished frame). `arrivalAt` gives a byte's arrival.
    template <class ArrivalAt>
    size_t scan(const uint8_t* buf, size_t size, ArrivalAt arrivalAt, FramerSink& sink);
    // Keeps the unfinished tail of a push, or of pending_ itself.
    void keepPending(size_t used);
    Arrival pendingArrival(size_t offset) const;

    std::vector<uint8_t> pending_;
    std::vector<Mark> marks_;
    uint64_t bytesIn_ = 0;
    uint64_t framedBytes_ = 0;
    uint64_t rejectedBytes_ = 0;
    uint64_t skippedBytes_ = 0;
    uint64_t abandoned_ = 0;
};

}  // namespace net
}  // namespace zorn
