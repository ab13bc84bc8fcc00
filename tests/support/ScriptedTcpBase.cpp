#include "tests/support/ScriptedTcpBase.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tests {
namespace support {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Writes everything, giving up when the peer goes away or `stop` is raised.
bool writeAll(int fd, const Bytes& bytes, const std::atomic<bool>& stop) {
    size_t done = 0;
    while (done < bytes.size() && !stop.load()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return done == bytes.size();
}

}  // namespace

ScriptedTcpBase::ScriptedTcpBase(ScriptedBase& base, Loopback loopback) : base_(base) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("scripted TCP base: pipe failed");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];

    // Loopback only.
    sockaddr_storage addr{};
    socklen_t addrLength;
    if (loopback == Loopback::V6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        addrLength = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addrLength = sizeof(sockaddr_in);
    }
    listenFd_ = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), addrLength) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &addrLength) != 0) {
        closeFd(listenFd_);
        closeFd(wakeRead_);
        closeFd(wakeWrite_);
        throw std::runtime_error(loopback == Loopback::V6 ? "scripted TCP base: cannot listen on ::1"
                                                          : "scripted TCP base: cannot listen on 127.0.0.1");
    }
    // The port sits at the same place in both families.
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedTcpBase::~ScriptedTcpBase() {
    stopping_ = true;
    const char wake = 1;
    (void)!::write(wakeWrite_, &wake, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    closeFd(listenFd_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
}

bool ScriptedTcpBase::waitForConnections(int count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return connections_ >= count; });
}

void ScriptedTcpBase::serve() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof(drain)) > 0) {
            }
            continue;
        }
        if (!(fds[0].revents & POLLIN)) {
            continue;
        }
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++connections_;
        }
        changed_.notify_all();
        serveClient(client);
        ::close(client);
    }
}

void ScriptedTcpBase::serveClient(int fd) {
    uint8_t buffer[4096];
    while (!stopping_.load()) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof(drain)) > 0) {
            }
            continue;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // client closed or failed
        }
        Bytes reply = base_.receive(buffer, static_cast<size_t>(n));
        if (!reply.empty() && !writeAll(fd, reply, stopping_)) {
            return;
        }
    }
}

}  // namespace support
}  // namespace tests
