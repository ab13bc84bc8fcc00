#include "net/arch/StreamSocketImpl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

namespace zorn {
namespace arch {
namespace net {

namespace {

timeval toTimeval(uint32_t ms) {
    timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

int setIntOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

StreamSocketImpl::StreamSocketImpl(int fd) : fd_(fd) {
    if (fd_ < 0) return;
    setIntOption(fd_, SOL_SOCKET, SO_REUSEADDR, 1);
    setIntOption(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
    setIntOption(fd_, SOL_SOCKET, SO_KEEPALIVE, 1);
    timeval tv = toTimeval(10000);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
}

StreamSocketImpl::~StreamSocketImpl() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void StreamSocketImpl::dispose() { delete this; }

int32_t StreamSocketImpl::bind(const SocketAddress& address) {
    if (fd_ < 0 || !address.isValid()) return RESULT_OPERATION_FAIL;
    if (::bind(fd_, static_cast<const sockaddr*>(address.raw()), address.rawLength()) != 0)
        return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t StreamSocketImpl::getLocalAddress(SocketAddress& out) {
    socklen_t len = SocketAddress::STORAGE_SIZE;
    if (fd_ < 0 || ::getsockname(fd_, static_cast<sockaddr*>(out.raw()), &len) != 0) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t StreamSocketImpl::setTimeout(uint32_t milliseconds, uint32_t flags) {
    timeval tv = toTimeval(milliseconds);
    if ((flags & SOCKET_TIMEOUT_RECEIVE) &&
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return RESULT_OPERATION_FAIL;
    if ((flags & SOCKET_TIMEOUT_SEND) &&
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t StreamSocketImpl::pollFor(short events, uint32_t milliseconds, int wakeFd) {
    if (fd_ < 0) return RESULT_OPERATION_FAIL;
    pollfd fds[2];
    fds[0].fd = fd_;
    fds[0].events = events;
    fds[0].revents = 0;
    fds[1].fd = wakeFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    nfds_t n = wakeFd >= 0 ? 2 : 1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int timeout = left.count() < 0 ? 0 : (left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count()));
        int r = ::poll(fds, n, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            sched_yield();
            return RESULT_OPERATION_FAIL;
        }
        if (r == 0) return RESULT_OPERATION_TIMEOUT;
        if (n == 2 && fds[1].revents) return RESULT_OPERATION_TIMEOUT;  // woken
        if (fds[0].revents & POLLNVAL) return RESULT_OPERATION_FAIL;
        // Readable, writable, or an error/hang-up that the next call reports.
        return RESULT_OK;
    }
}

int32_t StreamSocketImpl::waitForWrite(uint32_t milliseconds) { return pollFor(POLLOUT, milliseconds, -1); }

int32_t StreamSocketImpl::waitForRead(uint32_t milliseconds) { return pollFor(POLLIN, milliseconds, -1); }

int32_t StreamSocketImpl::waitForReadOrWake(uint32_t milliseconds, int wakeFd) {
    return pollFor(POLLIN, milliseconds, wakeFd);
}

int32_t StreamSocketImpl::sendOrWake(const uint8_t* data, uint32_t length, uint32_t milliseconds, int wakeFd) {
    if (fd_ < 0) return RESULT_OPERATION_FAIL;
    // The clock is read only once the socket is full: a write that goes out
    // at once (the usual case) costs the send alone.
    std::chrono::steady_clock::time_point deadline;
    bool deadlineSet = false;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::send(fd_, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return RESULT_OPERATION_FAIL;
        if (!deadlineSet) {
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            deadlineSet = true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return RESULT_OPERATION_TIMEOUT;
        int32_t r = pollFor(POLLOUT, static_cast<uint32_t>(left.count()), wakeFd);
        if (r != RESULT_OK) return r;
    }
    return RESULT_OK;
}

int32_t StreamSocketImpl::waitForIncoming(uint32_t milliseconds) { return waitForRead(milliseconds); }

int32_t StreamSocketImpl::connect(const SocketAddress& address) {
    connectError_ = 0;
    if (fd_ < 0) {
        connectError_ = EBADF;
        return RESULT_OPERATION_FAIL;
    }
    // Linux takes 0.0.0.0 for the local host: an unparsed host text must
    // never connect anywhere.
    if (!address.isValid()) {
        connectError_ = EDESTADDRREQ;
        return RESULT_OPERATION_FAIL;
    }
    int r;
    do {
        r = ::connect(fd_, static_cast<const sockaddr*>(address.raw()), address.rawLength());
    } while (r != 0 && errno == EINTR);
    if (r == 0) return RESULT_OK;
    connectError_ = errno;
    switch (errno) {
        case EAFNOSUPPORT:
            return RESULT_OPERATION_NOT_SUPPORT;
        case EINPROGRESS:  // the send time-out ended the wait for the host
            connectError_ = ETIMEDOUT;
            return RESULT_OPERATION_TIMEOUT;
        case ETIMEDOUT:
            return RESULT_OPERATION_TIMEOUT;
        default:
            return RESULT_OPERATION_FAIL;
    }
}

int32_t StreamSocketImpl::listen(int32_t backlog) {
    if (fd_ < 0 || ::listen(fd_, backlog) != 0) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

StreamSocket* StreamSocketImpl::accept(SocketAddress* peer) {
    if (fd_ < 0) return nullptr;
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    int fd;
    do {
        fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    if (peer) {
        uint8_t* dst = static_cast<uint8_t*>(peer->raw());
        const uint8_t* src = reinterpret_cast<const uint8_t*>(&ss);
        for (uint32_t i = 0; i < SocketAddress::STORAGE_SIZE; ++i) dst[i] = i < len ? src[i] : 0;
    }
    return new StreamSocketImpl(fd);
}

int32_t StreamSocketImpl::send(const uint8_t* data, uint32_t length) {
    if (fd_ < 0) return RESULT_OPERATION_FAIL;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::send(fd_, data + done, length - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT) return RESULT_OPERATION_TIMEOUT;
            return RESULT_OPERATION_FAIL;
        }
        done += static_cast<uint32_t>(n);
    }
    return RESULT_OK;
}

int32_t StreamSocketImpl::recv(uint8_t* buffer, uint32_t size, uint32_t& got) {
    got = 0;
    if (fd_ < 0) return RESULT_OPERATION_FAIL;
    ssize_t n;
    do {
        n = ::recv(fd_, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT) return RESULT_OPERATION_TIMEOUT;
        return RESULT_OPERATION_FAIL;
    }
    got = static_cast<uint32_t>(n);
    return RESULT_OK;
}

int32_t StreamSocketImpl::recvNow(uint8_t* buffer, uint32_t size, uint32_t& got) {
    got = 0;
    if (fd_ < 0) return RESULT_OPERATION_FAIL;
    ssize_t n;
    do {
        n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return RESULT_OPERATION_TIMEOUT;
        return RESULT_OPERATION_FAIL;
    }
    got = static_cast<uint32_t>(n);
    return RESULT_OK;
}

int32_t StreamSocketImpl::getPeerAddress(SocketAddress& out) {
    socklen_t len = SocketAddress::STORAGE_SIZE;
    if (fd_ < 0 || ::getpeername(fd_, static_cast<sockaddr*>(out.raw()), &len) != 0) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t StreamSocketImpl::shutdown(int32_t direction) {
    int how = direction == SHUTDOWN_RECEIVE ? SHUT_RD
              : direction == SHUTDOWN_SEND  ? SHUT_WR
                                                         : SHUT_RDWR;
    if (fd_ < 0 || ::shutdown(fd_, how) != 0) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t StreamSocketImpl::setKeepAlive(bool on) {
    if (fd_ < 0 || setIntOption(fd_, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0) != 0) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

int32_t StreamSocketImpl::setNoDelay(bool on) {
    if (fd_ < 0 || setIntOption(fd_, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0) != 0) return RESULT_OPERATION_FAIL;
    return RESULT_OK;
}

StreamSocket* StreamSocket::createSocket() { return createSocket(ADDRESS_TYPE_IPV4); }

StreamSocket* StreamSocket::createSocket(int32_t addressType) {
    if (addressType != ADDRESS_TYPE_IPV4 && addressType != ADDRESS_TYPE_IPV6) return nullptr;
    int fd = ::socket(addressType == ADDRESS_TYPE_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    return new StreamSocketImpl(fd);
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
