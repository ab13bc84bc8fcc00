// The interchip frame decoder on arbitrary byte streams.
//
// Input: one control byte, then the stream.
//   control bit 7 clear: the stream is decoded one byte at a time (the
//     reference, itself compared with a plain model of the frame format)
//     and again in chunks whose sizes and buffer offsets follow
//     from the control byte; both must deliver the same events. Every
//     delivered frame is encoded again, into a buffer of exactly
//     encodedSize bytes, and must give back the bytes it was decoded from
//     (all but the checksum byte for a frame with a bad checksum).
//   control bit 7 set: the stream is a message to send (command byte, two
//     bytes of payload length, then a payload pattern); it is encoded and
//     the frame decoded again must be the same message. Bit 6 asks for the
//     16-bit length form whatever the length, bit 5 for payloads past 600
//     bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "net/InterchipProtocol.h"

using namespace zorn::net;

namespace {

struct Delivery {
    uint32_t code;
    size_t end;  // stream index of the byte that completed the frame
    MessagePtr message;
};

// Collects the protocol's events; `position` is the index of the byte being
// decoded when the reference pass feeds one byte at a time.
class Collector {
public:
    explicit Collector(InterchipProtocol& protocol) {
        for (uint32_t code = EVT_MESSAGE; code <= EVT_CHANNEL_BROKEN; ++code) {
            protocol.addHandler(code, this, &Collector::onEvent);
        }
    }

    int onEvent(uint32_t code, MessageDispatcher*, MessagePtr& message) {
        deliveries.push_back(Delivery{code, position, message});
        return 0;
    }

    size_t position = 0;
    std::vector<Delivery> deliveries;
};

std::vector<uint8_t> payloadOf(const Message& m) {
    const uint32_t n = m.payloadLength();
    FUZZ_CHECK(m.payload.size() == n, "payload of %zu bytes for length %u", m.payload.size(), m.length);
    return m.payload;
}

bool sameMessage(const Message& a, const Message& b) {
    return a.flags == b.flags && a.length == b.length && a.cmd == b.cmd && a.checksum == b.checksum &&
           payloadOf(a) == payloadOf(b);
}

// Encodes into a heap block of exactly encodedSize bytes, so that a write
// past the announced size is a heap overflow.
std::vector<uint8_t> encodeExactly(InterchipProtocol& protocol, const MessagePtr& message) {
    const uint32_t announced = protocol.encodedSize(message);
    FUZZ_CHECK(announced > 0, "encodedSize is 0 for a frame of length %u", message->length);
    std::unique_ptr<uint8_t[]> block(new uint8_t[announced]);
    uint32_t size = announced;
    protocol.encode(message, block.get(), size);
    FUZZ_CHECK(size <= announced, "encode wrote %u bytes, encodedSize said %u", size, announced);
    return std::vector<uint8_t>(block.get(), block.get() + size);
}

uint32_t nextRandom(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// The frame format as a plain state machine over the whole stream, written
// from the format description and kept apart from the protocol class: hunt
// for 0x10 or 0x50, one or two length bytes, the command byte when the
// length is not 0, length - 1 payload bytes, then the checksum byte, which
// is compared with the XOR of every byte before it in the frame.
struct ModelFrame {
    uint32_t code;
    size_t end;
    uint8_t flags;
    uint32_t length;
    uint8_t cmd;
    uint8_t checksum;
    std::vector<uint8_t> payload;
};

std::vector<ModelFrame> modelDecode(const uint8_t* stream, size_t size) {
    enum { HUNT, LENGTH_LOW, LENGTH_HIGH, COMMAND, PAYLOAD, CHECKSUM } state = HUNT;
    std::vector<ModelFrame> frames;
    ModelFrame f{};
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = stream[i];
        switch (state) {
        case HUNT:
            if (b == zorn::net::FRAME_FLAGS_SHORT || b == zorn::net::FRAME_FLAGS_LONG) {
                f = ModelFrame{};
                f.flags = b;
                state = LENGTH_LOW;
            }
            break;
        case LENGTH_LOW:
            f.length = b;
            state = (f.flags & 0x40) ? LENGTH_HIGH : (f.length == 0 ? CHECKSUM : COMMAND);
            break;
        case LENGTH_HIGH:
            f.length += b * 256u;
            state = f.length == 0 ? CHECKSUM : COMMAND;
            break;
        case COMMAND:
            f.cmd = b;
            state = f.length == 1 ? CHECKSUM : PAYLOAD;
            break;
        case PAYLOAD:
            f.payload.push_back(b);
            if (f.payload.size() >= f.length - 1) state = CHECKSUM;
            break;
        case CHECKSUM:
            f.code = b == f.checksum ? EVT_MESSAGE : EVT_BAD_FRAME;
            f.end = i;
            frames.push_back(f);
            state = HUNT;
            continue;
        }
        if (state != HUNT) f.checksum ^= b;
    }
    return frames;
}

void checkStream(uint8_t control, const uint8_t* stream, size_t size) {
    // Reference: one byte at a time, remembering where each frame ended.
    InterchipProtocol reference;
    Collector expected(reference);
    for (size_t i = 0; i < size; ++i) {
        expected.position = i;
        reference.decodeByte(stream[i]);
    }

    const std::vector<ModelFrame> frames = modelDecode(stream, size);
    FUZZ_CHECK(frames.size() == expected.deliveries.size(), "%zu frames delivered, the format gives %zu",
               expected.deliveries.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const ModelFrame& f = frames[i];
        const Delivery& d = expected.deliveries[i];
        FUZZ_CHECK(d.message != nullptr, "frame %zu: empty message delivered", i);
        const Message& m = *d.message;
        FUZZ_CHECK(d.code == f.code && d.end == f.end, "frame %zu: event %u at %zu, the format gives %u at %zu", i,
                   d.code, d.end, f.code, f.end);
        FUZZ_CHECK(m.flags == f.flags && m.length == f.length && m.checksum == f.checksum,
                   "frame %zu: flags/length/checksum %02X/%u/%02X, the format gives %02X/%u/%02X", i, m.flags,
                   m.length, m.checksum, f.flags, f.length, f.checksum);
        // A frame of length 0 has no command byte; its cmd field is not
        // compared.
        FUZZ_CHECK(f.length == 0 || m.cmd == f.cmd, "frame %zu: command %02X, the format gives %02X", i, m.cmd,
                   f.cmd);
        FUZZ_CHECK(payloadOf(m) == f.payload, "frame %zu: payload differs", i);
    }

    size_t previousEnd = 0;
    bool first = true;
    for (const Delivery& d : expected.deliveries) {
        const Message& m = *d.message;
        FUZZ_CHECK(m.flags == zorn::net::FRAME_FLAGS_SHORT || m.flags == zorn::net::FRAME_FLAGS_LONG, "accepted flags 0x%02X", m.flags);
        const std::vector<uint8_t> frame = encodeExactly(reference, d.message);
        FUZZ_CHECK(frame.size() <= d.end + 1, "frame of %zu bytes ends at %zu", frame.size(), d.end);
        const size_t start = d.end + 1 - frame.size();
        FUZZ_CHECK(first || start > previousEnd, "frame at %zu overlaps the one ending at %zu", start, previousEnd);
        const size_t compared = d.code == EVT_MESSAGE ? frame.size() : frame.size() - 1;
        FUZZ_CHECK(std::memcmp(frame.data(), stream + start, compared) == 0,
                   "re-encoded frame differs from the received bytes at %zu", start);
        if (d.code == EVT_BAD_FRAME) {
            FUZZ_CHECK(frame.back() != stream[d.end], "bad frame whose checksum matches");
        }
        previousEnd = d.end;
        first = false;
    }

    // The same stream in chunks, each placed at an offset in a larger buffer.
    InterchipProtocol chunked;
    Collector actual(chunked);
    uint32_t state = 0x9E3779B9u ^ (static_cast<uint32_t>(control) * 0x01000193u) ^ static_cast<uint32_t>(size);
    const uint32_t largest = 1u + (control & 0x3Fu) * 4u;
    std::vector<uint8_t> buffer;
    size_t done = 0;
    while (done < size) {
        size_t chunk = 1 + nextRandom(state) % largest;
        if ((control & 0x40) != 0 && nextRandom(state) % 8 == 0) chunk = size - done;  // the rest at once
        if (chunk > size - done) chunk = size - done;
        if (chunk > 0xFFFF) chunk = 0xFFFF;
        const uint16_t offset = static_cast<uint16_t>(nextRandom(state) % 17);
        buffer.assign(offset + chunk, 0xA5);
        std::memcpy(buffer.data() + offset, stream + done, chunk);
        chunked.decode(buffer.data(), offset, static_cast<uint16_t>(chunk));
        done += chunk;
    }
    FUZZ_CHECK(actual.deliveries.size() == expected.deliveries.size(), "%zu events in chunks, %zu byte by byte",
               actual.deliveries.size(), expected.deliveries.size());
    for (size_t i = 0; i < expected.deliveries.size(); ++i) {
        FUZZ_CHECK(actual.deliveries[i].code == expected.deliveries[i].code, "event %zu differs in code", i);
        FUZZ_CHECK(sameMessage(*actual.deliveries[i].message, *expected.deliveries[i].message),
                   "event %zu differs in content", i);
    }
    FUZZ_CHECK(chunked.decoderState() == reference.decoderState(), "decoder states differ at the end");
}

void checkRoundTrip(uint8_t control, const uint8_t* data, size_t size) {
    if (size < 3) return;
    const uint8_t cmd = data[0];
    // Up to the largest payload the format carries; the pattern repeats.
    // Most runs stay below 600 bytes (both length forms), so that the costly
    // long frames do not slow the search down; bit 5 asks for the full range.
    uint32_t wanted = static_cast<uint32_t>(data[1]) | (static_cast<uint32_t>(data[2]) << 8);
    if ((control & 0x20) == 0) wanted %= 600;
    const uint32_t largest = InterchipProtocol::MAX_LENGTH - 1;
    const uint32_t payloadSize = wanted > largest ? largest : wanted;
    const uint8_t* pattern = data + 3;
    const size_t patternSize = size - 3;
    std::vector<uint8_t> payload(payloadSize);
    for (uint32_t i = 0; i < payloadSize; ++i) {
        payload[i] = patternSize ? pattern[i % patternSize] : static_cast<uint8_t>(i);
    }
    MessagePtr message = std::make_shared<Message>(cmd, payload.empty() ? nullptr : payload.data(),
                                                   static_cast<int32_t>(payload.size()));
    if (control & 0x40) message->flags |= MSG_FLAG_LENGTH16;

    InterchipProtocol protocol;
    const std::vector<uint8_t> frame = encodeExactly(protocol, message);
    InterchipProtocol receiver;
    Collector collected(receiver);
    receiver.decode(frame.data(), 0, static_cast<uint16_t>(frame.size() > 0xFFFF ? 0xFFFF : frame.size()));
    if (frame.size() > 0xFFFF) {
        receiver.decode(frame.data(), 0xFFFF, static_cast<uint16_t>(frame.size() - 0xFFFF));
    }
    FUZZ_CHECK(collected.deliveries.size() == 1, "%zu events for one frame of %zu bytes",
               collected.deliveries.size(), frame.size());
    const Message& got = *collected.deliveries[0].message;
    FUZZ_CHECK(collected.deliveries[0].code == EVT_MESSAGE, "own frame has a bad checksum");
    FUZZ_CHECK(got.cmd == cmd && got.length == payloadSize + 1 && payloadOf(got) == payload,
               "frame decodes to another message (cmd %u length %u)", got.cmd, got.length);
    FUZZ_CHECK(receiver.decoderState() == 0, "decoder not hunting after a whole frame");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    if (control & 0x80) {
        checkRoundTrip(control, data + 1, size - 1);
    } else {
        checkStream(control, data + 1, size - 1);
    }
    return 0;
}
