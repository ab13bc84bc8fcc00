#include "net/arch/SerialTransport.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "net/arch/PollWait.h"

namespace zorn {
namespace arch {
namespace net {

namespace {

Io failed(int error) {
    Io io;
    io.status = IoStatus::Failed;
    io.error = error;
    return io;
}

bool lineEnded(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

}  // namespace

std::chrono::nanoseconds SerialTransport::writeBound(size_t size) const {
    const uint64_t baud = port_.baudRate() != 0 ? port_.baudRate() : raw_serial::DEFAULT_BAUD;
    return std::chrono::nanoseconds(static_cast<int64_t>(size * 10 * 1000000000ull / baud)) + WRITE_MARGIN;
}

bool SerialTransport::lineErrors(uint64_t& count) { return port_.lineErrorCount(count); }

Io SerialTransport::write(const uint8_t* data, size_t size, TimePoint deadline) {
    Io io;
    const int fd = port_.handle();
    if (fd < 0) return failed(EBADF);
    while (io.count < size) {
        const ssize_t n = ::write(fd, data + io.count, size - io.count);
        if (n >= 0) {
            io.count += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Io failure = failed(errno);
            failure.count = io.count;
            return failure;
        }
        short revents = 0;
        int error = 0;
        switch (pollUntil(fd, POLLOUT, wakeFd_, deadline, revents, error)) {
            case PollResult::Ready: break;
            case PollResult::TimedOut: io.status = IoStatus::TimedOut; return io;
            case PollResult::Woken: io.status = IoStatus::Woken; return io;
            case PollResult::Failed: io.status = IoStatus::Failed; io.error = error; return io;
        }
        if (lineEnded(revents) && !(revents & POLLOUT)) {
            io.status = IoStatus::Failed;
            io.error = EIO;
            return io;
        }
    }
    return io;
}

Io SerialTransport::readNow(uint8_t* buffer, size_t capacity) {
    const int fd = port_.handle();
    if (fd < 0) return failed(EBADF);
    Io io;
    if (port_.lineErrorsChanged()) {
        // A line error spoils what is queued: drop it unread; the framer
        // finds the next frame in what comes after.
        ::tcflush(fd, TCIFLUSH);
        io.status = IoStatus::LineError;
        return io;
    }
    ssize_t n;
    do {
        n = ::read(fd, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        io.count = static_cast<size_t>(n);
        return io;
    }
    // Raw mode without a minimum: nothing waiting reads as 0 at once (a
    // hang-up is seen by the wait).
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        io.status = IoStatus::TimedOut;
        return io;
    }
    return failed(errno);
}

Io SerialTransport::read(uint8_t* buffer, size_t capacity, TimePoint deadline) {
    if (port_.handle() < 0) return failed(EBADF);
    if (deadline <= std::chrono::steady_clock::now()) return readNow(buffer, capacity);
    for (;;) {
        short revents = 0;
        int error = 0;
        Io io;
        switch (pollUntil(port_.handle(), POLLIN, wakeFd_, deadline, revents, error)) {
            case PollResult::Ready: break;
            case PollResult::TimedOut: io.status = IoStatus::TimedOut; return io;
            case PollResult::Woken: io.status = IoStatus::Woken; return io;
            case PollResult::Failed: return failed(error);
        }
        io = readNow(buffer, capacity);
        if (io.status != IoStatus::TimedOut) return io;
        // What came before the end was read; now the end itself.
        if (lineEnded(revents)) return failed(revents & POLLHUP ? EPIPE : EIO);
        if (std::chrono::steady_clock::now() >= deadline) return io;
    }
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
