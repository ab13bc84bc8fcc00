#include "net/InterchipProtocol.h"

#include <cstring>

namespace zorn {
namespace net {

namespace {

MessagePtr buildSyncMessage() {
    uint8_t payload[64];
    uint32_t v = 100;
    for (int i = 0; i < 64; ++i) {
        payload[i] = static_cast<uint8_t>(v);
        v = (v * 17 / 10) % 255;
    }
    MessagePtr m = std::make_shared<Message>(0, payload, 64);
    // Pre-compute the checksum the encoder will store, so that encoding the
    // shared message from several channels never writes to it.
    uint8_t cs = static_cast<uint8_t>(m->flags ^ (m->length & 0xFF) ^ m->cmd);
    for (int i = 0; i < 64; ++i) cs ^= payload[i];
    m->checksum = cs;
    return m;
}

}  // namespace

InterchipProtocol::InterchipProtocol() : rxState(ST_HUNT), rxCount(0) {}

InterchipProtocol::~InterchipProtocol() { rxMessage.clear(); }

bool InterchipProtocol::getSyncMessage(MessagePtr& out) {
    // Built once, on first use, under the thread-safe static initialisation.
    static const MessagePtr sync = buildSyncMessage();
    out = sync;
    return true;
}

void InterchipProtocol::reset() {
    rxMessage.clear();
    rxState = ST_HUNT;
    rxCount = 0;
}

void InterchipProtocol::endOfFrame() {
    if (rxMessage.flags & MSG_FLAG_CHECKSUM) rxState = ST_CHECKSUM;
    else deliver(EVT_MESSAGE);
}

void InterchipProtocol::deliver(uint32_t code) {
    // A frame without payload is decoded without resizing: drop whatever the
    // previous frame left, so its bytes never travel with this one.
    if (rxMessage.payload.size() != rxMessage.payloadLength()) rxMessage.payload.resize(rxMessage.payloadLength());
    MessagePtr copy = std::make_shared<Message>(rxMessage);
    rxState = ST_HUNT;
    dispatch(code, copy);
}

namespace {

// XOR of n bytes into cs, eight bytes at a time.
uint8_t xorInto(uint8_t cs, const uint8_t* p, uint32_t n) {
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
    cs ^= static_cast<uint8_t>(wide);
    while (n--) cs ^= *p++;
    return cs;
}

}  // namespace

uint32_t InterchipProtocol::takePayload(const uint8_t* p, uint32_t available) {
    Message& m = rxMessage;
    const uint32_t expected = m.length - 1;
    uint32_t n = expected > rxCount ? expected - rxCount : 1;
    if (n > available) n = available;
    // resize() sizes the payload to length - 1; the bound keeps the copy in
    // range whatever the state was entered with.
    if (rxCount < m.payload.size()) {
        const size_t room = m.payload.size() - rxCount;
        std::memcpy(m.payload.data() + rxCount, p, n < room ? n : room);
    }
    rxCount = static_cast<uint16_t>(rxCount + n);
    // With the checksum option the end of the payload only moves to the
    // checksum state, so the bytes may join the checksum first; without it
    // they never join it and the frame is delivered at once.
    if (m.flags & MSG_FLAG_CHECKSUM) m.checksum = xorInto(m.checksum, p, n);
    if (rxCount >= expected) endOfFrame();
    return n;
}

inline void InterchipProtocol::step(uint8_t b) {
    Message& m = rxMessage;
    switch (rxState) {
        case ST_HUNT:
            m.flags = b;
            m.checksum = 0;
            if (b == FRAME_FLAGS_SHORT || b == FRAME_FLAGS_LONG) {
                // A frame of length 0 carries no command byte: do not let
                // the previous frame's command leak into it.
                m.cmd = 0;
                rxCount = 0;
                rxState = ST_LEN_LOW;
            }
            break;
        case ST_LEN_LOW:
            m.length = b;
            if (m.flags & MSG_FLAG_LENGTH16) rxState = ST_LEN_HIGH;
            else if (m.length == 0) endOfFrame();
            else rxState = ST_CMD;
            break;
        case ST_LEN_HIGH:
            m.length += static_cast<uint32_t>(b) * 256u;
            if (m.length == 0) endOfFrame();
            else rxState = ST_CMD;
            break;
        case ST_CMD:
            m.cmd = b;
            if (m.length <= 1) {
                endOfFrame();
            } else {
                rxCount = 0;
                m.resize(static_cast<int32_t>(m.length - 1));
                rxState = ST_PAYLOAD;
            }
            break;
        case ST_PAYLOAD:
            // resize() sizes the payload to length - 1; the check keeps the
            // write in bounds whatever the state was entered with.
            if (rxCount < m.payload.size()) m.payload[rxCount] = b;
            ++rxCount;
            if (rxCount >= m.length - 1) endOfFrame();
            break;
        case ST_CHECKSUM: {
            uint32_t code = (b == m.checksum) ? EVT_MESSAGE : EVT_BAD_FRAME;
            // The message is delivered with the checksum as accumulated; the
            // checksum byte itself never takes part in it.
            deliver(code);
            return;
        }
        default:
            rxState = ST_HUNT;
            return;
    }
    if (m.flags & MSG_FLAG_CHECKSUM) m.checksum ^= b;
}

void InterchipProtocol::decodeByte(uint8_t b) { step(b); }

void InterchipProtocol::decode(const uint8_t* data, uint16_t offset, uint16_t count) {
    if (!data) return;
    const uint8_t* p = data + offset;
    uint32_t left = count;
    while (left > 0) {
        if (rxState == ST_PAYLOAD) {
            uint32_t n = takePayload(p, left);
            p += n;
            left -= n;
        } else {
            step(*p++);
            --left;
        }
    }
}

uint32_t InterchipProtocol::encodedSize(const MessagePtr& message) {
    if (!message) return 0;
    if (message->flags & (MSG_FLAG_ADDRESS | MSG_FLAG_EXTENSION)) return 0;
    // Two length bytes when the length needs them or when the message already
    // asks for the 16-bit form (a received 0x50 frame keeps its flags, and
    // encode writes them as they are).
    const bool wide = message->length >= 256 || (message->flags & MSG_FLAG_LENGTH16) != 0;
    return wide ? message->length + 4 : message->length + 3;
}

void InterchipProtocol::encode(const MessagePtr& message, uint8_t* out, uint32_t& size) {
    size = 0;
    if (!message || !out) return;
    Message& m = *message;
    if (m.flags & (MSG_FLAG_ADDRESS | MSG_FLAG_EXTENSION)) return;
    if (m.length > MAX_LENGTH) return;
    if (m.length >= 256 && !(m.flags & MSG_FLAG_LENGTH16)) m.flags |= MSG_FLAG_LENGTH16;

    uint8_t* p = out;
    uint8_t cs = 0;
    auto put = [&p, &cs](uint8_t v) {
        *p++ = v;
        cs ^= v;
    };
    put(m.flags);
    put(static_cast<uint8_t>(m.length & 0xFF));
    if (m.flags & MSG_FLAG_LENGTH16) put(static_cast<uint8_t>((m.length >> 8) & 0xFF));
    if (m.length != 0) {
        put(m.cmd);
        uint32_t n = m.length - 1;
        const uint32_t have = m.payload.size() < n ? static_cast<uint32_t>(m.payload.size()) : n;
        for (uint32_t i = 0; i < have; ++i) put(m.payload[i]);
        for (uint32_t i = have; i < n; ++i) put(0);
    }
    if (m.checksum != cs) m.checksum = cs;
    if (m.flags & MSG_FLAG_CHECKSUM) *p++ = cs;
    size = static_cast<uint32_t>(p - out);
}

}  // namespace net
}  // namespace zorn
