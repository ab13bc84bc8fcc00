#pragma once

#include <mutex>

#include "net/Channel.h"
#include "net/Socket.h"
#include "net/arch/WakeSignal.h"

namespace zorn {
namespace net {

// Channel over a connected StreamSocket. Runs nothing until bind().
class TCPChannel : public Channel {
public:
    // Largest chunk read at once.
    static constexpr uint32_t CHUNK_SIZE = 1024;
    // Bound of waitForData, in ms.
    static constexpr uint32_t WAIT_MS = 1000;
    // Bound of a write to a peer that stopped reading, in ms.
    static constexpr uint32_t SEND_TIMEOUT_MS = 1000;

    explicit TCPChannel(Protocol* protocol);
    ~TCPChannel() override;

    // Stops a previous binding, then starts and syncs the channel on the
    // socket (not owned). RESULT_INVALID_DATA for a null socket.
    int32_t bind(StreamSocket* socket);
    StreamSocket* getSocket() const { return socket; }

    int32_t writeBytes(const uint8_t* data, uint32_t length) override;
    int32_t readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) override;
    int32_t waitForData(uint32_t& available) override;

protected:
    int32_t waitForDataFor(uint32_t ms, uint32_t& available) override;
    int32_t readNow(uint8_t* data, uint32_t capacity, uint32_t& got) override;
    void interruptWait() override { wake.signal(); }
    void clearInterrupt() override { wake.clear(); }

    StreamSocket* socket;
    std::mutex bindLock;
    ::zorn::arch::net::WakeSignal wake;
};

}  // namespace net
}  // namespace zorn
