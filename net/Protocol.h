#pragma once

#include <cstdint>

#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/Message.h"

namespace zorn {
namespace net {

// Abstract framing layer: messages to bytes and bytes back to messages.
// Decoded frames are announced on the protocol's own dispatcher as
// EVT_MESSAGE or EVT_BAD_FRAME.
class Protocol : public MessageDispatcher {
public:
    Protocol() {}
    ~Protocol() override {}

    // The synchronisation message sent after a channel starts; false when
    // the protocol has none.
    virtual bool getSyncMessage(MessagePtr& out) {
        (void)out;
        return false;
    }
    virtual void reset() = 0;
    virtual void decodeByte(uint8_t b) = 0;
    // Feeds data[offset] .. data[offset + count - 1] to decodeByte.
    virtual void decode(const uint8_t* data, uint16_t offset, uint16_t count) {
        if (!data) return;
        const uint8_t* p = data + offset;
        for (uint16_t i = 0; i < count; ++i) decodeByte(p[i]);
    }
    // Size in bytes of the frame of the message.
    virtual uint32_t encodedSize(const MessagePtr& message) = 0;
    // Writes the frame at out and sets size to the bytes written.
    virtual void encode(const MessagePtr& message, uint8_t* out, uint32_t& size) = 0;
};

}  // namespace net
}  // namespace zorn
