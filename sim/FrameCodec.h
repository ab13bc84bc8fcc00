#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/Framer.h"

namespace zorn {
namespace orbitane {
namespace sim {

// One frame as the decoder delivered it.
struct Frame {
    bool good = true;  // false when the checksum did not match
    uint32_t length = 0;  // command byte plus payload; 0 when no command byte
    uint8_t cmd = 0;
    std::vector<uint8_t> payload;
};

// The base's side of the interchip framing, on top of the project's
// framer: bytes in, frames out; answers out as frame bytes. Bytes outside
// any frame are skipped as a base's receiver skips them.
class FrameCodec : private zorn::net::FramerSink {
public:
    FrameCodec();
    ~FrameCodec() override;
    FrameCodec(const FrameCodec&) = delete;
    FrameCodec& operator=(const FrameCodec&) = delete;

    // Decodes any number of bytes; returns the frames completed by them.
    std::vector<Frame> feed(const uint8_t* data, size_t size);
    // Drops a frame that is half-way through.
    void reset();
    bool midFrame() const;

    // Frame bytes of one message; empty when the payload is too large for
    // a frame.
    static std::vector<uint8_t> encode(uint8_t cmd, const std::vector<uint8_t>& payload);

    // Frame bytes of one message whose length header claims `extra` bytes
    // more than the frame carries (at most a length of 65535), so that a
    // receiver takes that many bytes of whatever follows into this frame.
    // Empty when the payload is too large for a frame.
    static std::vector<uint8_t> encodeSwallowing(uint8_t cmd, const std::vector<uint8_t>& payload, size_t extra);

    // Exactly `size` bytes of pseudo-random line noise (the same bytes for
    // the same seed): stray bytes and frames of every length form with
    // random content. A receiver finds only frames with a wrong checksum in
    // it, and the noise ends on a frame boundary, so whatever is sent after
    // it is decoded as usual. With `endMidFrame` its last kCutFrameBytes
    // (or fewer, for smaller noise) start a frame that the noise does not
    // finish, so a receiver takes what follows into that frame.
    static std::vector<uint8_t> lineNoise(size_t size, uint32_t seed, bool endMidFrame = false);
    static constexpr size_t kCutFrameBytes = 16;

private:
    void onFramerEvent(const zorn::net::FramerEvent& event) override;

    zorn::net::Framer framer_;
    std::vector<Frame> completed_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
