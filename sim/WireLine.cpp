#include "sim/WireLine.h"

#include <algorithm>
#include <cmath>

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

// One byte of 8N1 (10 bits) in units of ns x baud.
constexpr int64_t kByteUnits = 10LL * 1000 * 1000 * 1000;
constexpr int64_t kNsPerMs = 1000 * 1000;

uint32_t low32(uint64_t v) { return static_cast<uint32_t>(v); }
uint32_t high32(uint64_t v) { return static_cast<uint32_t>(v >> 32); }

}  // namespace

LinePacer::LinePacer(int64_t baud) : baud_(baud > 0 ? baud : 0) {}

void LinePacer::start(int64_t nowNs) {
    // frac_ is less than one nanosecond, so a line free before nowNs is idle.
    if (atNs_ < nowNs) {
        atNs_ = nowNs;
        frac_ = 0;
    }
}

size_t LinePacer::take(int64_t nowNs, size_t waiting) {
    if (baud_ == 0) return waiting;
    if (waiting == 0 || nowNs < atNs_) return 0;
    // Bytes that fit between the line's free time and now.
    const __int128 budget = static_cast<__int128>(nowNs - atNs_) * baud_ - frac_;
    if (budget < kByteUnits) return 0;
    const __int128 crossed = std::min<__int128>(budget / kByteUnits, static_cast<__int128>(waiting));
    const __int128 total = frac_ + crossed * kByteUnits;
    atNs_ += static_cast<int64_t>(total / baud_);
    frac_ = static_cast<int64_t>(total % baud_);
    return static_cast<size_t>(crossed);
}

int64_t LinePacer::nextNs() const {
    if (baud_ == 0) return atNs_;
    return atNs_ + (frac_ + kByteUnits + baud_ - 1) / baud_;
}

BitErrors::BitErrors(double rate, uint64_t seed, uint64_t stream) : rate_(rate) {
    std::seed_seq sequence{low32(seed), high32(seed), low32(stream), high32(stream)};
    rng_.seed(sequence);
    if (rate_ > 0) drawGap();
}

void BitErrors::drawGap() {
    if (rate_ >= 1) {
        cleanBits_ = 0;
        return;
    }
    // Bits before the next flip follow the geometric distribution:
    // floor(ln(u) / ln(1 - rate)) for u uniform in (0, 1].
    const double u = 1.0 - std::generate_canonical<double, 53>(rng_);
    const double gap = std::floor(std::log(u) / std::log1p(-rate_));
    cleanBits_ = gap < 1e18 ? static_cast<uint64_t>(gap) : static_cast<uint64_t>(1e18);
}

unsigned BitErrors::apply(uint8_t* data, size_t size) {
    if (rate_ <= 0 || size == 0) return 0;
    const uint64_t bits = static_cast<uint64_t>(size) * 8;
    uint64_t at = 0;
    unsigned flipped = 0;
    while (cleanBits_ < bits - at) {
        at += cleanBits_;
        data[at / 8] ^= static_cast<uint8_t>(1u << (at % 8));
        ++flipped;
        ++at;
        drawGap();
    }
    cleanBits_ -= bits - at;
    return flipped;
}

bool FrameBounds::next(uint8_t byte) {
    switch (state_) {
        case State::Hunt:
            if (byte == 0x10) state_ = State::Length;
            if (byte == 0x50) state_ = State::LengthLow;
            return false;
        case State::Length:
            left_ = byte + 1u;  // command and payload, then the checksum
            state_ = State::Body;
            return false;
        case State::LengthLow:
            low_ = byte;
            state_ = State::LengthHigh;
            return false;
        case State::LengthHigh:
            left_ = (low_ | static_cast<uint32_t>(byte) << 8) + 1u;
            state_ = State::Body;
            return false;
        case State::Body:
            if (--left_ > 0) return false;
            state_ = State::Hunt;
            return true;
    }
    return false;
}

WireLine::WireLine(const WireSettings& settings, uint64_t stream, WireCounts* counts)
    : settings_(settings),
      counts_(counts),
      outPacer_(settings.baud),
      inPacer_(settings.baud),
      outErrors_(settings.bitErrorRate, settings.seed, 2 * stream),
      inErrors_(settings.bitErrorRate, settings.seed, 2 * stream + 1) {}

void WireLine::consume(std::vector<uint8_t>& buffer, size_t& from, size_t count) {
    from += count;
    if (from == buffer.size()) {
        buffer.clear();
        from = 0;
    } else if (from > 65536 && from > buffer.size() / 2) {
        // Taken bytes are dropped from the front now and then, not per take.
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(from));
        from = 0;
    }
}

void WireLine::send(std::vector<uint8_t> answer, int64_t nowNs) {
    if (answer.empty()) return;
    const unsigned flipped = outErrors_.apply(answer.data(), answer.size());
    if (flipped > 0) {
        counts_->bitsSent += flipped;
        ++counts_->answersHit;
    }
    if (settings_.baud == 0) {
        hold(answer.data(), answer.size(), nowNs);
        return;
    }
    if (outgoing_.size() == outgoingFrom_) outPacer_.start(nowNs);
    outgoing_.insert(outgoing_.end(), answer.begin(), answer.end());
}

void WireLine::hold(const uint8_t* data, size_t size, int64_t nowNs) {
    std::vector<uint8_t>& out = ready_;
    if (settings_.latencyMs <= 0) {
        out.insert(out.end(), data, data + size);
        return;
    }
    if (held_.empty() && size > 0) heldSinceNs_ = nowNs;
    held_.insert(held_.end(), data, data + size);
    // Each full packet goes at once; the timer starts again for the rest.
    size_t whole = held_.size() - held_.size() % kAdapterPacketBytes;
    if (whole > 0) {
        out.insert(out.end(), held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(whole));
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(whole));
        heldSinceNs_ = nowNs;
    }
}

void WireLine::release(int64_t nowNs, std::vector<uint8_t>& out) {
    if (settings_.baud > 0) {
        const size_t crossed = outPacer_.take(nowNs, outgoing_.size() - outgoingFrom_);
        hold(outgoing_.data() + outgoingFrom_, crossed, nowNs);
        consume(outgoing_, outgoingFrom_, crossed);
    }
    if (!held_.empty() && nowNs >= heldSinceNs_ + settings_.latencyMs * kNsPerMs) {
        ready_.insert(ready_.end(), held_.begin(), held_.end());
        held_.clear();
    }
    out.insert(out.end(), ready_.begin(), ready_.end());
    ready_.clear();
}

void WireLine::dropOutgoing() {
    outgoing_.clear();
    outgoingFrom_ = 0;
    held_.clear();
    ready_.clear();
}

void WireLine::arrive(const uint8_t* data, size_t size, int64_t nowNs) {
    if (size == 0) return;
    if (incomingBytes() == 0) inPacer_.start(nowNs);
    incoming_.insert(incoming_.end(), data, data + size);
}

std::vector<uint8_t> WireLine::takeIn(int64_t nowNs) {
    const size_t crossed = inPacer_.take(nowNs, incomingBytes());
    const auto first = incoming_.begin() + static_cast<std::ptrdiff_t>(incomingFrom_);
    std::vector<uint8_t> bytes(first, first + static_cast<std::ptrdiff_t>(crossed));
    consume(incoming_, incomingFrom_, crossed);
    if (settings_.bitErrorRate > 0) {
        // Frames are told apart on the bytes as the host sent them.
        for (uint8_t& byte : bytes) {
            const bool ends = inFrames_.next(byte);
            const unsigned flipped = inErrors_.apply(&byte, 1);
            if (flipped > 0) {
                counts_->bitsReceived += flipped;
                if (inFrames_.inFrame() || ends) inFrameHit_ = true;
            }
            if (ends) {
                if (inFrameHit_) ++counts_->framesHit;
                inFrameHit_ = false;
            }
        }
    }
    return bytes;
}

int64_t WireLine::nextNs() const {
    int64_t next = -1;
    auto consider = [&next](int64_t t) {
        if (next < 0 || t < next) next = t;
    };
    if (!ready_.empty()) consider(0);
    if (outgoing_.size() > outgoingFrom_) consider(outPacer_.nextNs());
    if (!held_.empty()) consider(heldSinceNs_ + settings_.latencyMs * kNsPerMs);
    if (incomingBytes() > 0) consider(inPacer_.nextNs());
    return next;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
