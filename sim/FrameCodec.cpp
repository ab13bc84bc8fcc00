#include "sim/FrameCodec.h"

#include <random>

#include "net/Events.h"

namespace zorn {
namespace orbitane {
namespace sim {

FrameCodec::FrameCodec() {
    protocol_.reset();
    protocol_.addHandler(new zorn::net::MessageHandler<FrameCodec>(zorn::net::EVT_MESSAGE, this, &FrameCodec::onFrame));
    protocol_.addHandler(new zorn::net::MessageHandler<FrameCodec>(zorn::net::EVT_BAD_FRAME, this, &FrameCodec::onFrame));
}

FrameCodec::~FrameCodec() { protocol_.clearHandlers(); }

int FrameCodec::onFrame(uint32_t event, zorn::net::MessageDispatcher*, zorn::net::MessagePtr& message) {
    if (!message) return 0;
    Frame f;
    f.good = event == zorn::net::EVT_MESSAGE;
    f.length = message->length;
    f.cmd = message->cmd;
    uint32_t n = message->payloadLength();
    if (message->data != nullptr && n <= message->capacity) f.payload.assign(message->data, message->data + n);
    else f.payload.assign(n, 0);
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
    out.push_back(wide ? 0x50 : 0x10);
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
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> noise;
    noise.reserve(size + 0x10000);
    // Run the noise through the same decoder the host uses: a frame that
    // happens to check out gets its checksum byte spoilt (the decoder's
    // state after a checksum byte does not depend on its value), and a
    // frame left open at the end is filled up until it closes.
    FrameCodec host;
    auto feedOne = [&](uint8_t b) {
        noise.push_back(b);
        for (const Frame& f : host.feed(&noise.back(), 1)) {
            if (f.good) noise.back() ^= 0xFF;
        }
    };
    while (noise.size() < size) feedOne(static_cast<uint8_t>(byte(random)));
    while (host.midFrame()) feedOne(0);
    return noise;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
