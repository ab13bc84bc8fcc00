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

ScriptedTcpBase::ScriptedTcpBase(ScriptedBase& base) : base_(base) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("scripted TCP base: pipe failed");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only
    addr.sin_port = 0;
    socklen_t addrLength = sizeof(addr);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &addrLength) != 0) {
        closeFd(listenFd_);
        closeFd(wakeRead_);
        closeFd(wakeWrite_);
        throw std::runtime_error("scripted TCP base: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
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
