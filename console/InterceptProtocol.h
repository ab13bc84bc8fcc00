#pragma once

#include "net/EventDispatcher.h"
#include "net/Message.h"
#include "net/Protocol.h"

namespace zorn {
namespace orbitane {
namespace test {

// Traffic trace: a protocol that wraps the real one, forwards every
// operation to it and dumps the bytes on the way. Events of the inner
// protocol are relayed unchanged, so the channel sees exactly what it would
// see without tracing.
class InterceptProtocol : public zorn::net::Protocol {
public:
    explicit InterceptProtocol(zorn::net::Protocol* inner);
    // The inner protocol is destroyed first (it owns the relay handlers), so
    // the destructor never calls into it.
    ~InterceptProtocol() override = default;

    bool getSyncMessage(zorn::net::MessagePtr& out) override;
    void reset() override;
    void decodeByte(uint8_t byte) override;
    void decode(const uint8_t* data, uint16_t offset, uint16_t count) override;
    uint32_t encodedSize(const zorn::net::MessagePtr& message) override;
    void encode(const zorn::net::MessagePtr& message, uint8_t* out, uint32_t& size) override;

    // Writes the hex dump of `count` bytes to `stream`: a tab before every
    // 16 bytes, "%02x " per byte, one more blank after every fourth byte.
    static void dumpBytes(FILE* stream, const uint8_t* data, size_t count);

private:
    int relay(uint32_t event, zorn::net::MessageDispatcher* sender, zorn::net::MessagePtr& message);

    zorn::net::Protocol* inner_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
