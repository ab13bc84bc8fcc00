#pragma once

#include "net/arch/Socket.h"

namespace zorn {
namespace arch {
namespace net {

// StreamSocket over a BSD socket descriptor.
class StreamSocketImpl : public StreamSocket {
public:
    // Takes ownership of fd and applies SO_REUSEADDR, TCP_NODELAY,
    // SO_KEEPALIVE and 10 s receive and send time-outs.
    explicit StreamSocketImpl(int fd);
    ~StreamSocketImpl() override;

    void dispose() override;
    int32_t bind(const SocketAddress& address) override;
    int32_t getLocalAddress(SocketAddress& out) override;
    int32_t setTimeout(uint32_t milliseconds, uint32_t flags) override;
    int32_t waitForWrite(uint32_t milliseconds) override;
    int32_t waitForRead(uint32_t milliseconds) override;
    int32_t connect(const SocketAddress& address) override;
    int lastConnectError() const override { return connectError_; }
    int32_t listen(int32_t backlog) override;
    StreamSocket* accept(SocketAddress* peer) override;
    int32_t waitForIncoming(uint32_t milliseconds) override;
    int32_t send(const uint8_t* data, uint32_t length) override;
    int32_t recv(uint8_t* buffer, uint32_t size, uint32_t& got) override;
    int32_t recvNow(uint8_t* buffer, uint32_t size, uint32_t& got) override;
    int32_t getPeerAddress(SocketAddress& out) override;
    int32_t shutdown(int32_t direction) override;
    int32_t setKeepAlive(bool on) override;
    int32_t setNoDelay(bool on) override;
    int32_t waitForReadOrWake(uint32_t milliseconds, int wakeFd) override;
    int32_t sendOrWake(const uint8_t* data, uint32_t length, uint32_t milliseconds, int wakeFd) override;

    int handle() const override { return fd_; }

private:
    int32_t pollFor(short events, uint32_t milliseconds, int wakeFd);

    int fd_;
    int connectError_ = 0;
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
