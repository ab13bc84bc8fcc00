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
    port_ = ntohs(sa.sin_port);
    host_ = text;
    return true;
}

void LoopbackListener::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int LoopbackListener::accept(std::string& peer) {
    if (fd_ < 0) return -1;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    peer = std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
    return fd;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
