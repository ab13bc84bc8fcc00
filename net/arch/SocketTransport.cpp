#include "net/arch/SocketTransport.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/arch/PollWait.h"

namespace zorn {
namespace arch {
namespace net {

namespace {

// After a first look that found nothing, reads wait first, and look first
// again only on every this many reads, in case the link changed its pace.
constexpr unsigned LOOK_AGAIN_EVERY = 16;

bool closedBy(int error) { return error == ECONNRESET || error == EPIPE || error == ENOTCONN; }

Io failure(int error) {
    Io io;
    io.status = closedBy(error) ? IoStatus::Closed : IoStatus::Failed;
    io.error = error;
    return io;
}

}  // namespace

Io SocketTransport::write(const uint8_t* data, size_t size, TimePoint deadline) {
    Io io;
    while (io.count < size) {
        const ssize_t n = ::send(fd_, data + io.count, size - io.count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            io.count += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Io failed = failure(errno);
            failed.count = io.count;
            return failed;
        }
        short revents = 0;
        int error = 0;
        switch (pollUntil(fd_, POLLOUT, wakeFd_, deadline, revents, error)) {
            case PollResult::Ready: break;
            case PollResult::TimedOut: io.status = IoStatus::TimedOut; return io;
            case PollResult::Woken: io.status = IoStatus::Woken; return io;
            case PollResult::Failed: io.status = IoStatus::Failed; io.error = error; return io;
        }
    }
    return io;
}

Io SocketTransport::readNow(uint8_t* buffer, size_t capacity) {
    ssize_t n;
    do {
        n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    Io io;
    if (n > 0) {
        io.count = static_cast<size_t>(n);
        return io;
    }
    if (n == 0) {
        io.status = IoStatus::Closed;
        return io;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        io.status = IoStatus::TimedOut;
        return io;
    }
    return failure(errno);
}

Io SocketTransport::read(uint8_t* buffer, size_t capacity, TimePoint deadline) {
    const bool onlyLook = deadline <= std::chrono::steady_clock::now();
    if (onlyLook || lookFirst_ || ++sinceLook_ >= LOOK_AGAIN_EVERY) {
        sinceLook_ = 0;
        const Io io = readNow(buffer, capacity);
        if (!onlyLook) lookFirst_ = io.status != IoStatus::TimedOut;
        if (io.status != IoStatus::TimedOut || onlyLook) return io;
    }
    for (;;) {
        short revents = 0;
        int error = 0;
        Io io;
        switch (pollUntil(fd_, POLLIN, wakeFd_, deadline, revents, error)) {
            case PollResult::Ready: break;
            case PollResult::TimedOut: io.status = IoStatus::TimedOut; return io;
            case PollResult::Woken: io.status = IoStatus::Woken; return io;
            case PollResult::Failed: return failure(error);
        }
        io = readNow(buffer, capacity);
        if (io.status != IoStatus::TimedOut) return io;
        if (std::chrono::steady_clock::now() >= deadline) return io;
    }
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
