#pragma once

// The medium under a link: a TCP connection or a serial port, opened from
// an Endpoint, with the transport the link reads and writes through.

#include <memory>
#include <string>

#include "net/Socket.h"
#include "net/Transports.h"
#include "orbitane/Endpoint.h"

namespace orbitane {
namespace detail {

class Channel {
public:
    // Opens the medium; Error (host_not_found, connect_failed) saying why
    // and what to check.
    explicit Channel(const Endpoint& endpoint);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    zorn::net::Transport& transport() { return *transport_; }

private:
    void openSerial(const Endpoint& endpoint);
    void openTcp(const Endpoint& endpoint);

    struct SocketDisposer {
        void operator()(zorn::net::StreamSocket* s) const {
            if (s != nullptr) s->dispose();
        }
    };
    // The medium first: the transport over it goes before it.
    std::unique_ptr<zorn::net::raw_serial> port_;
    std::unique_ptr<zorn::net::StreamSocket, SocketDisposer> socket_;
    std::unique_ptr<zorn::net::Transport> transport_;
};

}  // namespace detail
}  // namespace orbitane
