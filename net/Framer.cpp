#include "net/Framer.h"

#include <cstring>

namespace zorn {
namespace net {

namespace {

// XOR of n bytes, eight at a time.
uint8_t xorOf(const uint8_t* p, size_t n) {
    uint64_t wide = 0;
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        wide ^= w;
        p += 8;
        n -= 8;
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    uint8_t cs = static_cast<uint8_t>(wide);
    while (n--) cs ^= *p++;
    return cs;
}

bool isFrameStart(uint8_t b) { return b == FRAME_FLAGS_SHORT || b == FRAME_FLAGS_LONG; }

// Header bytes (flags and length) of a frame starting with `flags`.
size_t headerSize(uint8_t flags) { return flags == FRAME_FLAGS_LONG ? 3 : 2; }

std::vector<uint8_t> buildSyncFrame() {
    uint8_t payload[64];
    uint32_t v = 100;
    for (uint8_t& b : payload) {
        b = static_cast<uint8_t>(v);
        v = (v * 17 / 10) % 255;
    }
    std::vector<uint8_t> frame(frameSize(sizeof payload));
    encodeFrame(0, payload, sizeof payload, frame.data());
    return frame;
}

}  // namespace

size_t frameSize(size_t payloadSize) {
    const size_t length = payloadSize + 1;
    return (length < 256 ? 2 : 3) + length + 1;
}

size_t encodeFrame(uint8_t cmd, const uint8_t* payload, size_t payloadSize, uint8_t* out) {
    const size_t length = payloadSize + 1;
    if (length > FRAME_MAX_LENGTH) return 0;
    size_t n = 0;
    out[n++] = length < 256 ? FRAME_FLAGS_SHORT : FRAME_FLAGS_LONG;
    out[n++] = static_cast<uint8_t>(length & 0xFF);
    if (length >= 256) out[n++] = static_cast<uint8_t>(length >> 8);
    out[n++] = cmd;
    if (payloadSize != 0) std::memcpy(out + n, payload, payloadSize);
    n += payloadSize;
    out[n] = xorOf(out, n);
    return n + 1;
}

std::vector<uint8_t> encodeFrame(uint8_t cmd, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame(frameSize(payload.size()));
    const size_t n = encodeFrame(cmd, payload.data(), payload.size(), frame.data());
    frame.resize(n);
    return frame;
}

const std::vector<uint8_t>& syncFrame() {
    static const std::vector<uint8_t> frame = buildSyncFrame();
    return frame;
}

template <class ArrivalAt>
size_t Framer::scan(const uint8_t* buf, size_t size, ArrivalAt arrivalAt, FramerSink& sink) {
    size_t i = 0;
    while (i < size) {
        size_t j = i;
        while (j < size && !isFrameStart(buf[j])) ++j;
        if (j > i) {
            FramerEvent skipped;
            skipped.kind = FramerEvent::Kind::Skipped;
            skipped.bytes = buf + i;
            skipped.size = j - i;
            skipped.first = arrivalAt(i);
            skipped.last = arrivalAt(j - 1);
            skippedBytes_ += skipped.size;
            sink.onFramerEvent(skipped);
            i = j;
            continue;
        }
        const size_t header = headerSize(buf[i]);
        if (size - i < header) return i;
        const uint32_t length = buf[i + 1] | (header == 3 ? static_cast<uint32_t>(buf[i + 2]) << 8 : 0u);
        const size_t total = header + length + 1;
        if (size - i < total) return i;
        FramerEvent frame;
        const bool good = xorOf(buf + i, total - 1) == buf[i + total - 1];
        frame.kind = good ? FramerEvent::Kind::Frame : FramerEvent::Kind::Rejected;
        frame.bytes = buf + i;
        frame.size = total;
        frame.first = arrivalAt(i);
        frame.last = arrivalAt(i + total - 1);
        frame.hasCommand = length > 0;
        if (frame.hasCommand) {
            frame.cmd = buf[i + header];
            frame.payload = buf + i + header + 1;
            frame.payloadSize = length - 1;
        }
        (good ? framedBytes_ : rejectedBytes_) += total;
        sink.onFramerEvent(frame);
        i += total;
    }
    return size;
}

Arrival Framer::pendingArrival(size_t offset) const {
    Arrival found = marks_.empty() ? Arrival() : marks_.front().arrival;
    for (const Mark& mark : marks_) {
        if (mark.offset > offset) break;
        found = mark.arrival;
    }
    return found;
}

void Framer::keepPending(size_t used) {
    if (used == 0) return;
    if (used >= pending_.size()) {
        pending_.clear();
        marks_.clear();
        return;
    }
    const Arrival head = pendingArrival(used);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    std::vector<Mark> kept{Mark{0, head}};
    for (const Mark& mark : marks_) {
        if (mark.offset > used) kept.push_back(Mark{mark.offset - used, mark.arrival});
    }
    marks_.swap(kept);
}

void Framer::push(const uint8_t* data, size_t size, const Arrival& arrival, FramerSink& sink) {
    if (size == 0) return;
    bytesIn_ += size;
    if (pending_.empty()) {
        // Nearly always: whole frames straight from the caller's buffer.
        const size_t used = scan(data, size, [&arrival](size_t) { return arrival; }, sink);
        if (used < size) {
            pending_.assign(data + used, data + size);
            marks_.assign(1, Mark{0, arrival});
        }
        return;
    }
    marks_.push_back(Mark{pending_.size(), arrival});
    pending_.insert(pending_.end(), data, data + size);
    const size_t used = scan(pending_.data(), pending_.size(), [this](size_t o) { return pendingArrival(o); }, sink);
    keepPending(used);
}

TimePoint Framer::deadline() const {
    if (pending_.empty()) return TimePoint::max();
    return marks_.back().arrival.at + GAP;
}

void Framer::expire(TimePoint now, FramerSink& sink) {
    while (!pending_.empty() && now >= deadline()) {
        FramerEvent given;
        given.kind = FramerEvent::Kind::Skipped;
        given.bytes = pending_.data();
        given.size = 1;
        given.first = given.last = pendingArrival(0);
        given.abandoned = true;
        given.held = pending_.size();
        if (pending_.size() >= headerSize(pending_[0])) {
            given.claimedLength = pending_[1] | (headerSize(pending_[0]) == 3 ? pending_[2] << 8 : 0);
        }
        ++skippedBytes_;
        ++abandoned_;
        sink.onFramerEvent(given);
        // A good frame may hide behind the false start: scan the rest again.
        const size_t used =
            1 + scan(pending_.data() + 1, pending_.size() - 1, [this](size_t o) { return pendingArrival(o + 1); }, sink);
        keepPending(used);
    }
}

void Framer::reset() {
    pending_.clear();
    marks_.clear();
}

}  // namespace net
}  // namespace zorn
