#include "sim/FrameCodec.h"

#include <algorithm>
#include <random>


namespace zorn {
namespace orbitane {
namespace sim {

FrameCodec::FrameCodec() = default;

FrameCodec::~FrameCodec() = default;

void FrameCodec::onFramerEvent(const zorn::net::FramerEvent& event) {
    if (event.kind == zorn::net::FramerEvent::Kind::Skipped) return;
    Frame f;
    f.good = event.kind == zorn::net::FramerEvent::Kind::Frame;
    f.length = event.hasCommand ? static_cast<uint32_t>(event.payloadSize + 1) : 0;
    f.cmd = event.cmd;
    f.payload.assign(event.payload, event.payload + event.payloadSize);
    completed_.push_back(std::move(f));
}

std::vector<Frame> FrameCodec::feed(const uint8_t* data, size_t size) {
    completed_.clear();
    framer_.push(data, size, zorn::net::Arrival(), *this);
    std::vector<Frame> out;
    out.swap(completed_);
    return out;
}

void FrameCodec::reset() { framer_.reset(); }

bool FrameCodec::midFrame() const { return framer_.midFrame(); }

std::vector<uint8_t> FrameCodec::encode(uint8_t cmd, const std::vector<uint8_t>& payload) {
    return zorn::net::encodeFrame(cmd, payload);
}

std::vector<uint8_t> FrameCodec::encodeSwallowing(uint8_t cmd, const std::vector<uint8_t>& payload, size_t extra) {
    const size_t maxLength = zorn::net::FRAME_MAX_LENGTH;
    if (payload.size() + 1 > zorn::net::FRAME_MAX_LENGTH) return {};
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

std::vector<uint8_t> FrameCodec::lineNoise(size_t size, uint32_t seed, bool endMidFrame) {
    std::mt19937 random(seed);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    auto anyByte = [&random] { return static_cast<uint8_t>(random() & 0xFF); };
    std::vector<uint8_t> noise;
    noise.reserve(size);
    // Built from two kinds of pieces whose effect on a receiver is known
    // without decoding them: runs of stray bytes that are not a flags byte
    // (skipped while it hunts for a frame), and whole frames of random
    // length and content whose checksum byte is wrong. Every piece ends on
    // a frame boundary; the last one is cut to what is left, so the noise
    // is exactly `size` bytes.
    const size_t cut = endMidFrame ? std::min(size, kCutFrameBytes) : 0;
    const size_t whole = size - cut;
    while (noise.size() < whole) {
        const size_t left = whole - noise.size();
        // A frame needs room for its flags, length and checksum bytes.
        if (below(2) == 0 || left < 3) {
            for (size_t n = std::min<size_t>(1 + below(256), left); n > 0; --n) {
                uint8_t b;
                do {
                    b = anyByte();
                } while (b == ::zorn::net::FRAME_FLAGS_SHORT || b == ::zorn::net::FRAME_FLAGS_LONG);
                noise.push_back(b);
            }
        } else {
            const bool wide = below(4) == 0 && left >= 4;
            const size_t overhead = wide ? 4 : 3;
            const uint32_t length =
                static_cast<uint32_t>(std::min<size_t>(wide ? below(0x10000) : below(0x100), left - overhead));
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
    if (cut > 0) {
        // The start of a frame whose length claims far more than follows, so
        // that the receiver is left inside it and takes what comes next (the
        // answer) into it.
        noise.push_back(::zorn::net::FRAME_FLAGS_SHORT);
        if (noise.size() < size) noise.push_back(0xFF);
        while (noise.size() < size) noise.push_back(anyByte());
    }
    return noise;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
