#include "net/arch/SocketTransport.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/arch/PollWait.h"

namespace zorn {
namespace arch {
namespace net {

namespace {

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

bool SocketTransport::woken() const {
    if (wakeFd_ < 0) return false;
    pollfd wake{wakeFd_, POLLIN, 0};
    return ::poll(&wake, 1, 0) > 0 && wake.revents != 0;
}

bool SocketTransport::setReceiveTimeout(std::chrono::microseconds timeout) {
    if (timeout == receiveTimeout_) return true;
    timeval tv;
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    receiveTimeout_ = timeout;
    return true;
}

Io SocketTransport::read(uint8_t* buffer, size_t capacity, TimePoint deadline) {
    // Waits in the receive itself, with a time-out, rather than in poll and
    // then the receive: one system call an answer instead of two. The wait
    // is cut in slices, so that a wake-up from another thread, which the
    // receive does not see, is noticed within a slice; a signal to this
    // thread ends it at once (a receive with a time-out is never
    // restarted). The kernel keeps a receive's time-out only to its tick,
    // so the last stretch before the deadline is waited in poll, which
    // keeps it to the millisecond.
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left < 2 * WAKE_SLICE) break;
        if (!setReceiveTimeout(WAKE_SLICE)) return failure(errno);
        const ssize_t n = ::recv(fd_, buffer, capacity, 0);
        Io io;
        if (n > 0) {
            io.count = static_cast<size_t>(n);
            return io;
        }
        if (n == 0) {
            io.status = IoStatus::Closed;
            return io;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return failure(errno);
        if (woken()) {
            io.status = IoStatus::Woken;
            return io;
        }
    }
    // A look first: on loopback the answer is often in already.
    const Io io = readNow(buffer, capacity);
    if (io.status != IoStatus::TimedOut || deadline <= std::chrono::steady_clock::now()) return io;
    for (;;) {
        short revents = 0;
        int error = 0;
        Io waited;
        switch (pollUntil(fd_, POLLIN, wakeFd_, deadline, revents, error)) {
            case PollResult::Ready: break;
            case PollResult::TimedOut: waited.status = IoStatus::TimedOut; return waited;
            case PollResult::Woken: waited.status = IoStatus::Woken; return waited;
            case PollResult::Failed: return failure(error);
        }
        waited = readNow(buffer, capacity);
        if (waited.status != IoStatus::TimedOut) return waited;
        if (std::chrono::steady_clock::now() >= deadline) return waited;
    }
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
