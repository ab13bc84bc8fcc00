#pragma once

#include <cstdint>

#include "net/Protocol.h"

namespace zorn {
namespace net {

// The length-prefixed, XOR-checksummed interchip framing:
//   flags(0x10 | 0x50) length(1 or 2 bytes, LE) cmd payload checksum
// Frames with the address (0x20) or extension (0x80) option are neither
// accepted nor produced: encodedSize reports 0 for such a message and
// encode writes nothing.
class InterchipProtocol : public Protocol {
public:
    InterchipProtocol();
    ~InterchipProtocol() override;

    bool getSyncMessage(MessagePtr& out) override;
    void reset() override;
    void decodeByte(uint8_t b) override;
    // Same result as decodeByte for every byte in turn; the payload of a
    // frame is taken as one block (copied and checksummed together) instead
    // of byte by byte.
    void decode(const uint8_t* data, uint16_t offset, uint16_t count) override;
    uint32_t encodedSize(const MessagePtr& message) override;
    void encode(const MessagePtr& message, uint8_t* out, uint32_t& size) override;

    // Decoder state, for tests and diagnostics.
    uint8_t decoderState() const { return rxState; }

    // Largest value of the length field.
    static constexpr uint32_t MAX_LENGTH = 0xFFFF;

private:
    enum : uint8_t {
        ST_HUNT = 0,
        ST_LEN_LOW = 3,
        ST_LEN_HIGH = 4,
        ST_CMD = 5,
        ST_PAYLOAD = 6,
        ST_CHECKSUM = 7,
    };

    // One step of the state machine (the body of decodeByte).
    void step(uint8_t b);
    // Takes up to `available` payload bytes at p; returns how many it took.
    uint32_t takePayload(const uint8_t* p, uint32_t available);
    void endOfFrame();
    void deliver(uint32_t code);

    Message rxMessage;
    uint8_t rxState;
    uint16_t rxCount;
};

}  // namespace net
}  // namespace zorn
