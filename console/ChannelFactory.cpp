#include "console/ChannelFactory.h"

#include "log/Log.h"
#include "net/OpenFailure.h"
#include "net/Socket.h"

namespace zorn {
namespace orbitane {
namespace utils {

using namespace nivo::system::util;

namespace {

constexpr uint32_t SERIAL_BAUD_RATE = 115200;

// One more warning line when the operating system said why a serial port
// could not be opened, with what the user can do about it.
void explainSerialFailure(const std::string& portName, int error) {
    const std::string why = zorn::net::serialOpenFailureWords(error);
    if (!why.empty()) logWarn(LOG_SOURCE_CHANNEL_FACTORY, "%s: %s", portName.c_str(), why.c_str());
}

// The same for a TCP connection that could not be made.
void explainTcpFailure(const std::string& hostAndPort, int error) {
    const std::string why = zorn::net::tcpConnectFailureWords(error);
    if (!why.empty()) logWarn(LOG_SOURCE_CHANNEL_FACTORY, "%s: %s", hostAndPort.c_str(), why.c_str());
}

}  // namespace

SerialChannelProvider::SerialChannelProvider(const std::string& portName) : portName_(portName) {}

SerialChannelProvider::~SerialChannelProvider() { disconnect(); }

bool SerialChannelProvider::connect() {
    disconnect();
    lastError_ = 0;
    logInfo(LOG_SOURCE_CHANNEL_FACTORY, "Connecting to serial:%s...", portName_.c_str());
    auto port = std::make_unique<zorn::net::raw_serial>();
    if (!port->configure(portName_.c_str(), SERIAL_BAUD_RATE, 0) || !port->open()) {
        int error = port->lastError();
        lastError_ = error;
        logWarn(LOG_SOURCE_CHANNEL_FACTORY, "Failed to connect to serial port");
        explainSerialFailure(portName_, error);
        return false;
    }
    port_ = std::move(port);
    transport_ = std::make_unique<zorn::net::SerialTransport>(*port_);
    logDebug(LOG_SOURCE_CHANNEL_FACTORY, "Channel established");
    return true;
}

void SerialChannelProvider::disconnect() {
    transport_.reset();
    port_.reset();
}

TcpChannelProvider::TcpChannelProvider(const std::string& host, int port) : host_(host), port_(port) {}

TcpChannelProvider::~TcpChannelProvider() { disconnect(); }

std::string TcpChannelProvider::describe() { return "tcp:" + hostAndPort(); }

std::string TcpChannelProvider::hostAndPort() const {
    const bool ipv6 = host_.find(':') != std::string::npos;
    return (ipv6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

bool TcpChannelProvider::connectTo(const zorn::net::SocketAddress& address) {
    socket_.reset(zorn::net::StreamSocket::createSocket(address.getAddressType()));
    if (!socket_) {
        return false;
    }
    socket_->setNoDelay(true);
    socket_->setKeepAlive(true);
    if (socket_->connect(address) < 0) {
        lastError_ = socket_->lastConnectError();
        socket_.reset();
        return false;
    }
    return true;
}

bool TcpChannelProvider::connect() {
    disconnect();
    lastError_ = 0;
    hostNotFound_ = false;
    logInfo(LOG_SOURCE_CHANNEL_FACTORY, "Connecting to %s...", describe().c_str());
    if (zorn::net::isNumericIpv4(host_)) {
        // A numeric IPv4 address is connected to as it always was.
        if (!connectTo(zorn::net::SocketAddress(host_.c_str(), port_))) {
            logWarn(LOG_SOURCE_CHANNEL_FACTORY, "Failed to connect to tcp server");
            explainTcpFailure(hostAndPort(), lastError_);
            return false;
        }
    } else {
        const zorn::net::ResolvedHost resolved = zorn::net::resolveHost(host_, static_cast<uint16_t>(port_));
        if (resolved.addresses.empty()) {
            hostNotFound_ = true;
            logWarn(LOG_SOURCE_CHANNEL_FACTORY, "Failed to connect to tcp server");
            logWarn(LOG_SOURCE_CHANNEL_FACTORY,
                    "%s: host name not found (%s); check the name (getent hosts %s), or give the base's address",
                    hostAndPort().c_str(), resolved.failure.c_str(), host_.c_str());
            return false;
        }
        std::string list;
        for (const auto& address : resolved.addresses) list += (list.empty() ? "" : ", ") + zorn::net::addressText(address);
        if (list != host_) logInfo(LOG_SOURCE_CHANNEL_FACTORY, "%s is %s", host_.c_str(), list.c_str());
        // Each address in the order the system prefers, until one takes the
        // connection; the reason given is the last one's.
        bool connected = false;
        for (const auto& address : resolved.addresses) {
            if (connectTo(address)) {
                connected = true;
                break;
            }
        }
        if (!connected) {
            logWarn(LOG_SOURCE_CHANNEL_FACTORY, "Failed to connect to tcp server");
            explainTcpFailure(hostAndPort(), lastError_);
            return false;
        }
    }
    transport_ = std::make_unique<zorn::net::SocketTransport>(socket_->handle());
    logDebug(LOG_SOURCE_CHANNEL_FACTORY, "Channel established");
    return true;
}

void TcpChannelProvider::disconnect() {
    transport_.reset();
    socket_.reset();
}

bool ChannelFactory::createSerialProvider(std::shared_ptr<IChannelProvider>& out, const std::string& portName) {
    out = std::make_shared<SerialChannelProvider>(portName);
    return true;
}

bool ChannelFactory::createTcpProvider(std::shared_ptr<IChannelProvider>& out, const std::string& host, int port) {
    out = std::make_shared<TcpChannelProvider>(host, port);
    return true;
}

std::string ChannelFactory::describeProvider(const std::shared_ptr<IChannelProvider>& provider) {
    return utils::describeProvider(provider);
}

}  // namespace utils
}  // namespace orbitane
}  // namespace zorn
