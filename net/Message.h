#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "net/Framer.h"

namespace zorn {
namespace net {

// Frame option bits of Message::flags.
constexpr uint8_t MSG_FLAG_CHECKSUM = 0x10;
constexpr uint8_t MSG_FLAG_ADDRESS = 0x20;
constexpr uint8_t MSG_FLAG_LENGTH16 = 0x40;
constexpr uint8_t MSG_FLAG_EXTENSION = 0x80;

// One control-bus message: command byte plus its payload.
// `length` counts the command byte and the payload (payload + 1), and is 0
// only for a frame that carries no command byte at all. The decoder sets
// `length` from the frame header before it sizes `payload`, so readers bound
// their access by `payload.size()`, never by `length` alone.
class Message {
public:
    int32_t source;
    uint32_t address;
    uint8_t flags;
    uint8_t ext;
    uint32_t length;
    uint8_t cmd;
    uint8_t checksum;
    std::vector<uint8_t> payload;

    // Empty working message: length 1, no buffer, flags 0x10.
    Message();
    // length = len + 1; copies len bytes from src when src is non-null.
    // len == -1 builds a message with length 0 (no command byte); any other
    // negative len is taken as 0.
    Message(uint8_t cmd, const uint8_t* src, int32_t len);
    Message(const Message& other) = default;
    Message& operator=(const Message& other) = default;
    virtual ~Message() = default;

    // length = n + 1 and n payload bytes (n == -1 or below gives 0). The
    // allocation is kept when it is large enough and not more than twice too
    // large, so the decoder's working message does not reallocate for every
    // frame yet does not hold on to one huge frame's buffer.
    void resize(int32_t n);
    // Frees the payload; length 1.
    void clear();
    // Payload bytes: length - 1, or 0 when length is 0.
    uint32_t payloadLength() const { return length ? length - 1 : 0; }
    // The payload's first byte, or null when there is none.
    uint8_t* data() { return payload.empty() ? nullptr : payload.data(); }
    const uint8_t* data() const { return payload.empty() ? nullptr : payload.data(); }
};

typedef std::shared_ptr<Message> MessagePtr;

}  // namespace net
}  // namespace zorn
