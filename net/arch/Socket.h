#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/arch/Result.h"

namespace zorn {
namespace arch {
namespace net {

constexpr int32_t ADDRESS_TYPE_IPV4 = 1;
constexpr int32_t ADDRESS_TYPE_IPV6 = 2;

// Shutdown directions of StreamSocket::shutdown.
constexpr int32_t SHUTDOWN_RECEIVE = 1;
constexpr int32_t SHUTDOWN_SEND = 2;
constexpr int32_t SHUTDOWN_BOTH = 3;

// Flag bits of SocketBase::setTimeout.
constexpr uint32_t SOCKET_TIMEOUT_RECEIVE = 1;
constexpr uint32_t SOCKET_TIMEOUT_SEND = 2;

// An IPv4 or IPv6 socket address held in an owned 128-byte storage block.
// Only numeric addresses are parsed; host names are never resolved.
class SocketAddress {
public:
    static constexpr uint32_t STORAGE_SIZE = 128;

    // 0.0.0.0 port 0.
    SocketAddress();
    // Numeric IPv4 host text and port. A text that does not parse leaves
    // 0.0.0.0 and marks the address invalid: connecting to it fails without
    // reaching the network.
    SocketAddress(const char* host, uint16_t port);
    SocketAddress(const std::string& host, uint16_t port);
    SocketAddress(const SocketAddress& other);
    SocketAddress& operator=(const SocketAddress& other);
    virtual ~SocketAddress();

    virtual uint16_t getPort() const;
    virtual int32_t setPort(uint16_t port);
    virtual int32_t setAddress(const char* text, int32_t type);
    virtual int32_t getAddress(char* buffer, uint32_t size) const;
    virtual int32_t getAddressType() const;
    virtual int32_t getRawAddress(uint8_t* out, uint32_t size) const;
    virtual int32_t setLoopback(int32_t type);
    virtual int32_t setBroadcast();
    virtual int32_t setAny(int32_t type);

    // False after a setAddress whose text did not parse, until an address
    // is set successfully again.
    bool isValid() const { return valid_; }
    // "a.b.c.d:port" (or "[v6]:port"), for messages.
    std::string toString() const;

    // The storage block (a struct sockaddr_storage) and the length of the
    // socket address it holds.
    void* raw() { return storage_.get(); }
    const void* raw() const { return storage_.get(); }
    uint32_t rawLength() const;

private:
    std::unique_ptr<uint8_t[]> storage_;
    bool valid_;
};

// Interface of every socket.
class SocketBase {
public:
    virtual ~SocketBase() {}
    virtual void dispose() = 0;
    virtual int32_t bind(const SocketAddress& address) = 0;
    virtual int32_t getLocalAddress(SocketAddress& out) = 0;
    virtual int32_t setTimeout(uint32_t milliseconds, uint32_t flags) = 0;
    virtual int32_t waitForWrite(uint32_t milliseconds) = 0;
    virtual int32_t waitForRead(uint32_t milliseconds) = 0;
};

// A TCP stream socket.
class StreamSocket : public SocketBase {
public:
    // A new IPv4 stream socket, or null when the system refuses one.
    static StreamSocket* createSocket();
    // A new stream socket for addresses of `addressType` (ADDRESS_TYPE_IPV4
    // or ADDRESS_TYPE_IPV6), or null when the system refuses one.
    static StreamSocket* createSocket(int32_t addressType);

    virtual int32_t connect(const SocketAddress& address) = 0;
    // Why the last connect failed, as an errno value (ETIMEDOUT for a host
    // that did not answer in time, EDESTADDRREQ for an address that is not
    // usable); 0 when it did not fail or the platform does not say.
    virtual int lastConnectError() const { return 0; }
    virtual int32_t listen(int32_t backlog) = 0;
    // A new socket for the accepted connection, or null.
    virtual StreamSocket* accept(SocketAddress* peer) = 0;
    virtual int32_t waitForIncoming(uint32_t milliseconds) = 0;
    // Writes the whole block. RESULT_OPERATION_FAIL when the connection is
    // closed or broken (never a SIGPIPE), RESULT_OPERATION_TIMEOUT when the
    // send time-out expired.
    virtual int32_t send(const uint8_t* data, uint32_t length) = 0;
    // One read; got = 0 with RESULT_OK when the peer closed.
    virtual int32_t recv(uint8_t* buffer, uint32_t size, uint32_t& got) = 0;
    // recv that never waits: RESULT_OPERATION_TIMEOUT with got = 0 when
    // nothing is waiting. The default cannot look without waiting and says
    // RESULT_OPERATION_NOT_SUPPORT.
    virtual int32_t recvNow(uint8_t* buffer, uint32_t size, uint32_t& got) {
        (void)buffer;
        (void)size;
        got = 0;
        return RESULT_OPERATION_NOT_SUPPORT;
    }
    virtual int32_t getPeerAddress(SocketAddress& out) = 0;
    virtual int32_t shutdown(int32_t direction) = 0;
    virtual int32_t setKeepAlive(bool on) = 0;
    virtual int32_t setNoDelay(bool on) = 0;
    // The descriptor, for the transport that reads and writes it.
    virtual int handle() const = 0;

    // waitForRead that also returns (with RESULT_OPERATION_TIMEOUT) as soon
    // as the descriptor wakeFd becomes readable. The default ignores wakeFd.
    virtual int32_t waitForReadOrWake(uint32_t milliseconds, int wakeFd) {
        (void)wakeFd;
        return waitForRead(milliseconds);
    }
    // send that gives up with RESULT_OPERATION_TIMEOUT when the block has not
    // gone within `milliseconds`, or as soon as wakeFd becomes readable, so a
    // peer that stopped reading never holds the writer for long. The default
    // relies on the socket's send time-out.
    virtual int32_t sendOrWake(const uint8_t* data, uint32_t length, uint32_t milliseconds, int wakeFd) {
        (void)milliseconds;
        (void)wakeFd;
        return send(data, length);
    }
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
