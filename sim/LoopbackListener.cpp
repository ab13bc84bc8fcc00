#include "sim/LoopbackListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

bool toLoopbackAddress(const std::string& host, in_addr& addr) {
    std::string numeric = host == "localhost" ? "127.0.0.1" : host;
    if (inet_pton(AF_INET, numeric.c_str(), &addr) != 1) return false;
    return (ntohl(addr.s_addr) >> 24) == 127;
}

}  // namespace

bool isLoopbackHost(const std::string& host) {
    in_addr addr;
    return toLoopbackAddress(host, addr);
}

bool parseHostPort(const std::string& text, std::string& host, uint16_t& port) {
    std::string portText = text;
    host = "127.0.0.1";
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.empty()) return false;
    }
    if (portText.empty() || portText.size() > 5) return false;
    for (char c : portText) {
        if (c < '0' || c > '9') return false;
    }
    long value = std::strtol(portText.c_str(), nullptr, 10);
    if (value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

LoopbackListener::~LoopbackListener() { close(); }

bool LoopbackListener::open(const std::string& host, uint16_t port, std::string& error) {
    close();
    in_addr addr;
    if (!toLoopbackAddress(host, addr)) {
        error = "refusing to listen on " + host + ": only loopback addresses (127.x.x.x, localhost) are served";
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("cannot create socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    fd_ = fd;
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    port_ = ntohs(sa.sin_port);
    host_ = text;
    return true;
}

void LoopbackListener::close() {
    if (fd_ >= 0) ::close(fd_);
    if (spare_ >= 0) ::close(spare_);
    fd_ = -1;
    spare_ = -1;
}

int LoopbackListener::accept(std::string& peer, int* error) {
    if (error) *error = 0;
    if (fd_ < 0) return -1;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (error && errno != EAGAIN && errno != EWOULDBLOCK) *error = errno;
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    peer = std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
    return fd;
}

LoopbackListener::TurnAway LoopbackListener::turnAwayPending(std::string& peer) {
    if (fd_ < 0) return TurnAway::Failed;
    // A spare that could not be taken again last time may be free by now.
    if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spare_ < 0) return TurnAway::Failed;
    ::close(spare_);
    int error = 0;
    const int fd = accept(peer, &error);
    if (fd >= 0) ::close(fd);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return TurnAway::Closed;
    return error == 0 ? TurnAway::NonePending : TurnAway::Failed;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
