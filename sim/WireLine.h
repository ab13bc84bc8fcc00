#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace zorn {
namespace orbitane {
namespace sim {

// Seed of the bit-error generator when none is given.
constexpr uint64_t kDefaultWireSeed = 1;

// How the simulated line carries bytes between the base and its host. The
// defaults make a perfect line: every byte at once, none damaged.
struct WireSettings {
    // Line speed in baud with 8N1 framing (10 bits a byte) in each
    // direction; 0: unlimited.
    int64_t baud = 0;
    // Like a USB-serial adapter, bytes sent to the host are held until this
    // many milliseconds passed or a packet of kAdapterPacketBytes gathered;
    // 0: no hold.
    int latencyMs = 0;
    // Probability of each data bit being flipped, both ways; 0: none.
    double bitErrorRate = 0;
    uint64_t seed = kDefaultWireSeed;

    bool perfect() const { return baud == 0 && latencyMs == 0 && bitErrorRate == 0; }
};

// Bytes a USB-serial adapter gathers before it sends them without waiting
// for its latency timer.
constexpr size_t kAdapterPacketBytes = 64;

// Bits and frames the line damaged, over every link of a simulator.
struct WireCounts {
    uint64_t bitsSent = 0;        // flipped in what the base sent
    uint64_t answersHit = 0;      // answers with at least one of those
    uint64_t bitsReceived = 0;    // flipped in what the host sent
    uint64_t framesHit = 0;       // host frames with at least one of those
};

// One direction of a line at a fixed baud rate: a running "line free at"
// clock. Each byte crosses 10/baud seconds after the one before it, and an
// idle line earns no credit for later bytes. Time is kept in whole
// nanoseconds plus a remainder in units of 1/baud ns, so no rounding
// accumulates however long the line runs.
class LinePacer {
public:
    explicit LinePacer(int64_t baud);
    // Bytes arrived at nowNs on a line with nothing waiting: the first of
    // them starts crossing now unless the line is still busy.
    void start(int64_t nowNs);
    // How many of `waiting` bytes have crossed by nowNs; the clock moves on
    // by that many.
    size_t take(int64_t nowNs, size_t waiting);
    // When the next byte will have crossed.
    int64_t nextNs() const;

private:
    int64_t baud_;
    int64_t atNs_ = 0;  // the line is free from atNs_ + frac_ / baud_
    int64_t frac_ = 0;
};

// Flips each bit of a byte stream with a fixed probability. The distance to
// the next flipped bit is drawn at once (geometric), so a low rate costs
// nothing per bit. The same seed and stream number give the same flips.
class BitErrors {
public:
    BitErrors(double rate, uint64_t seed, uint64_t stream);
    // Flips bits of `data` in place; returns how many.
    unsigned apply(uint8_t* data, size_t size);

private:
    void drawGap();

    double rate_;
    std::mt19937_64 rng_;
    uint64_t cleanBits_ = 0;  // bits that pass untouched before the next flip
};

// Follows the frames of a byte stream (flags, length, command and payload,
// checksum) to tell where each one ends, the way a receiver hunting for
// flags bytes would; bytes between frames belong to none.
class FrameBounds {
public:
    // Takes the next byte; true when it ends a frame.
    bool next(uint8_t byte);
    bool inFrame() const { return state_ != State::Hunt; }

private:
    enum class State { Hunt, Length, LengthLow, LengthHigh, Body };
    State state_ = State::Hunt;
    uint32_t low_ = 0;
    uint32_t left_ = 0;
};

// The line of one link as the host sees it (see WireSettings). The server
// hands it each answer as it is due and each chunk read from the host; the
// line says what may be written to the host or taken in by the base now,
// and when to look again.
class WireLine {
public:
    // `stream` tells the links of one simulator apart for the bit errors;
    // `counts` (not owned, outliving the line) adds up what was damaged.
    WireLine(const WireSettings& settings, uint64_t stream, WireCounts* counts);

    // One answer (or noise and answer) going to the host at nowNs.
    void send(std::vector<uint8_t> answer, int64_t nowNs);
    // Appends to `out` the bytes that reached the host's end by nowNs.
    void release(int64_t nowNs, std::vector<uint8_t>& out);
    // Sent bytes not yet released (on the line or in the adapter).
    size_t outgoingBytes() const { return (outgoing_.size() - outgoingFrom_) + held_.size() + ready_.size(); }
    void dropOutgoing();

    // Bytes read from the host at nowNs.
    void arrive(const uint8_t* data, size_t size, int64_t nowNs);
    // The bytes the base has taken in by nowNs, with their bit errors.
    std::vector<uint8_t> takeIn(int64_t nowNs);
    size_t incomingBytes() const { return incoming_.size() - incomingFrom_; }

    // Earliest time more bytes go out or are taken in; -1 when none wait.
    int64_t nextNs() const;

private:
    // Bytes that crossed the line at nowNs, into the adapter's buffer.
    void hold(const uint8_t* data, size_t size, int64_t nowNs);
    static void consume(std::vector<uint8_t>& buffer, size_t& from, size_t count);

    WireSettings settings_;
    WireCounts* counts_;
    LinePacer outPacer_;
    LinePacer inPacer_;
    BitErrors outErrors_;
    BitErrors inErrors_;
    FrameBounds inFrames_;
    bool inFrameHit_ = false;
    // Outgoing bytes on the line, from outgoingFrom_ on; then the adapter's
    // buffer and when its timer started; then what the adapter let go.
    std::vector<uint8_t> outgoing_;
    size_t outgoingFrom_ = 0;
    std::vector<uint8_t> held_;
    int64_t heldSinceNs_ = 0;
    std::vector<uint8_t> ready_;
    std::vector<uint8_t> incoming_;
    size_t incomingFrom_ = 0;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
