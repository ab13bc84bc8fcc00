#pragma once

#include <memory>
#include <string>

#include "app/ChannelProvider.h"
#include "net/Socket.h"
#include "net/Transports.h"

namespace zorn {

namespace orbitane {
namespace utils {

class SerialChannelProvider : public IChannelProvider {
public:
    explicit SerialChannelProvider(const std::string& portName);
    ~SerialChannelProvider() override;
    bool connect() override;
    void disconnect() override;
    zorn::net::Transport* transport() override { return transport_.get(); }
    std::string describe() override { return "serial:" + portName_; }
    // The operating system's reason the last connect failed (errno), 0 when
    // it gave none.
    int lastError() const { return lastError_; }

private:
    std::string portName_;
    int lastError_ = 0;
    std::unique_ptr<zorn::net::raw_serial> port_;
    std::unique_ptr<zorn::net::SerialTransport> transport_;
};

class TcpChannelProvider : public IChannelProvider {
public:
    TcpChannelProvider(const std::string& host, int port);
    ~TcpChannelProvider() override;
    bool connect() override;
    void disconnect() override;
    zorn::net::Transport* transport() override { return transport_.get(); }
    // "tcp:HOST:PORT"; an IPv6 address in brackets ("tcp:[::1]:11331").
    std::string describe() override;
    // The operating system's reason the last connect failed (errno), 0 when
    // it gave none.
    int lastError() const { return lastError_; }
    bool hostNotFound() const override { return hostNotFound_; }

private:
    // Connects to one address; false (with lastError_) when it fails.
    bool connectTo(const zorn::net::SocketAddress& address);
    // "HOST:PORT", an IPv6 address in brackets.
    std::string hostAndPort() const;

    std::string host_;
    int port_;
    int lastError_ = 0;
    bool hostNotFound_ = false;
    // Sockets are released with dispose(), by the platform layer that made them.
    struct SocketDisposer {
        void operator()(zorn::net::StreamSocket* s) const {
            if (s != nullptr) s->dispose();
        }
    };
    // Declared first: the transport, which uses the socket, goes first.
    std::unique_ptr<zorn::net::StreamSocket, SocketDisposer> socket_;
    std::unique_ptr<zorn::net::SocketTransport> transport_;
};

class ChannelFactory {
public:
    static bool createSerialProvider(std::shared_ptr<IChannelProvider>& out, const std::string& portName);
    static bool createTcpProvider(std::shared_ptr<IChannelProvider>& out, const std::string& host, int port);
    // The provider's description, or "[Not configured]" for an empty pointer.
    static std::string describeProvider(const std::shared_ptr<IChannelProvider>& provider);
};

}  // namespace utils
}  // namespace orbitane
}  // namespace zorn
