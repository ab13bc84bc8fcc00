#include "lib/Channel.h"

#include <cerrno>

#include "net/OpenFailure.h"
#include "orbitane/Error.h"

namespace orbitane {
namespace detail {

namespace {

constexpr uint32_t SERIAL_BAUD_RATE = 115200;

Error connectFailed(const std::string& where, const std::string& why) {
    return Error(kind::CONNECT_FAILED, result::NO_CONNECTION,
                 "failed to connect to " + where + (why.empty() ? "" : ": " + why));
}

}  // namespace

Channel::Channel(const Endpoint& endpoint) {
    if (endpoint.channel == Endpoint::Channel::Serial) {
        openSerial(endpoint);
    } else {
        openTcp(endpoint);
    }
}

Channel::~Channel() {
    transport_.reset();
    socket_.reset();
    port_.reset();
}

void Channel::openSerial(const Endpoint& endpoint) {
    auto port = std::make_unique<zorn::net::raw_serial>();
    if (!port->configure(endpoint.device.c_str(), SERIAL_BAUD_RATE, 0) || !port->open()) {
        throw connectFailed(endpoint.describe(), zorn::net::serialOpenFailureWords(port->lastError()));
    }
    port_ = std::move(port);
    transport_ = std::make_unique<zorn::net::SerialTransport>(*port_);
}

void Channel::openTcp(const Endpoint& endpoint) {
    if (endpoint.port < 1 || endpoint.port > 65535) {
        throw Error(kind::USAGE, result::USAGE, "the TCP port " + std::to_string(endpoint.port) +
                                                    " is not one to connect to (1 to 65535)");
    }
    const zorn::net::ResolvedHost resolved = zorn::net::resolveHost(endpoint.host, static_cast<uint16_t>(endpoint.port));
    if (resolved.addresses.empty()) {
        throw Error(kind::HOST_NOT_FOUND, result::NO_CONNECTION,
                    "host name not found: " + endpoint.host + " (" + resolved.failure + "); check the name (getent hosts " +
                        endpoint.host + "), or give the base's address");
    }
    // Each address in the order the system prefers, until one takes the
    // connection; the reason given is the last one's.
    int lastError = 0;
    for (const zorn::net::SocketAddress& address : resolved.addresses) {
        socket_.reset(zorn::net::StreamSocket::createSocket(address.getAddressType()));
        if (!socket_) {
            lastError = errno;
            continue;
        }
        socket_->setNoDelay(true);
        socket_->setKeepAlive(true);
        if (socket_->connect(address) >= 0) {
            transport_ = std::make_unique<zorn::net::SocketTransport>(socket_->handle());
            return;
        }
        lastError = socket_->lastConnectError();
        socket_.reset();
    }
    throw connectFailed(endpoint.describe(), zorn::net::tcpConnectFailureWords(lastError));
}

}  // namespace detail
}  // namespace orbitane
