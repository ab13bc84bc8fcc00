#include "sim/FrameCodec.h"

#include <random>

#include "net/Events.h"
#include "net/Message.h"

namespace zorn {
namespace orbitane {
namespace sim {

FrameCodec::FrameCodec() {
    protocol_.reset();
    protocol_.addHandler(zorn::net::EVT_MESSAGE, this, &FrameCodec::onFrame);
    protocol_.addHandler(zorn::net::EVT_BAD_FRAME, this, &FrameCodec::onFrame);
}

FrameCodec::~FrameCodec() { protocol_.clearHandlers(); }

int FrameCodec::onFrame(uint32_t event, zorn::net::MessageDispatcher*, zorn::net::MessagePtr& message) {
    if (!message) return 0;
    Frame f;
    f.good = event == zorn::net::EVT_MESSAGE;
    f.length = message->length;
    f.cmd = message->cmd;
    uint32_t n = message->payloadLength();
    f.payload = message->payload;
    f.payload.resize(n, 0);
    completed_.push_back(std::move(f));
    return 0;
}

std::vector<Frame> FrameCodec::feed(const uint8_t* data, size_t size) {
    completed_.clear();
    // The decoder takes at most 65535 bytes per call.
    while (size > 0) {
        uint16_t chunk = size > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(size);
        protocol_.decode(data, 0, chunk);
        data += chunk;
        size -= chunk;
    }
    std::vector<Frame> out;
    out.swap(completed_);
    return out;
}

void FrameCodec::reset() { protocol_.reset(); }

bool FrameCodec::midFrame() const { return protocol_.decoderState() != 0; }

std::vector<uint8_t> FrameCodec::encode(uint8_t cmd, const std::vector<uint8_t>& payload) {
    if (payload.size() + 1 > zorn::net::InterchipProtocol::MAX_LENGTH) return {};
    auto message = std::make_shared<zorn::net::Message>(cmd, payload.data(), static_cast<int32_t>(payload.size()));
    zorn::net::InterchipProtocol protocol;
    std::vector<uint8_t> out(protocol.encodedSize(message));
    uint32_t size = static_cast<uint32_t>(out.size());
    protocol.encode(message, out.data(), size);
    out.resize(size);
    return out;
}

std::vector<uint8_t> FrameCodec::encodeSwallowing(uint8_t cmd, const std::vector<uint8_t>& payload, size_t extra) {
    const size_t maxLength = 0xFFFF;
    if (payload.size() + 1 > zorn::net::InterchipProtocol::MAX_LENGTH) return {};
    size_t length = payload.size() + 1 + extra;
    if (length > maxLength) length = maxLength;
    std::vector<uint8_t> out;
    out.reserve(payload.size() + 5);
    const bool wide = length >= 256;
    out.push_back(wide ? ::zorn::net::FRAME_FLAGS_LONG : ::zorn::net::FRAME_FLAGS_SHORT);
    out.push_back(static_cast<uint8_t>(length & 0xFF));
    if (wide) out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(cmd);
    out.insert(out.end(), payload.begin(), payload.end());
    uint8_t checksum = 0;
    for (uint8_t b : out) checksum ^= b;
    out.push_back(checksum);
    return out;
}

std::vector<uint8_t> FrameCodec::lineNoise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    auto anyByte = [&random] { return static_cast<uint8_t>(random() & 0xFF); };
    std::vector<uint8_t> noise;
    noise.reserve(size + 0x10000 + 4);
    // Built from two kinds of pieces whose effect on a receiver is known
    // without decoding them: runs of stray bytes that are not a flags byte
    // (skipped while it hunts for a frame), and whole frames of random
    // length and content whose checksum byte is wrong. Every piece ends on
    // a frame boundary, and so does the noise.
    while (noise.size() < size) {
        if (below(2) == 0) {
            for (uint32_t n = 1 + below(256); n > 0; --n) {
                uint8_t b;
                do {
                    b = anyByte();
                } while (b == ::zorn::net::FRAME_FLAGS_SHORT || b == ::zorn::net::FRAME_FLAGS_LONG);
                noise.push_back(b);
            }
        } else {
            const bool wide = below(4) == 0;
            const uint32_t length = wide ? below(0x10000) : below(0x100);
            const size_t start = noise.size();
            noise.push_back(wide ? ::zorn::net::FRAME_FLAGS_LONG : ::zorn::net::FRAME_FLAGS_SHORT);
            noise.push_back(static_cast<uint8_t>(length & 0xFF));
            if (wide) noise.push_back(static_cast<uint8_t>(length >> 8));
            for (uint32_t n = 0; n < length; ++n) noise.push_back(anyByte());  // command and payload
            uint8_t checksum = 0;
            for (size_t k = start; k < noise.size(); ++k) checksum ^= noise[k];
            noise.push_back(static_cast<uint8_t>(checksum ^ (1 + below(255))));
        }
    }
    return noise;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
