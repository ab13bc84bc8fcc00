#include "net/arch/raw_serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <thread>

#include "net/arch/Result.h"

namespace zorn {
namespace arch {
namespace net {

using ::zorn::hal::RXTX_ERROR;
using ::zorn::hal::RXTX_LINE_ERROR;
using ::zorn::hal::RXTX_OK;
using ::zorn::hal::RXTX_TIMEOUT;
using ::zorn::hal::RXTX_WAIT_INFINITE;

namespace {

speed_t toSpeed(uint32_t baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        default: return 0;
    }
}

// An ioctl that a pseudo-terminal or a simple driver may not offer.
bool notSupported(int err) { return err == ENOTTY || err == EINVAL; }

// Milliseconds left until deadline, for poll (-1: no limit).
class Deadline {
public:
    explicit Deadline(uint32_t ms)
        : infinite_(ms == RXTX_WAIT_INFINITE), end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    int left() const {
        if (infinite_) return -1;
        auto d = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
        if (d <= 0) return 0;
        return d > INT_MAX ? INT_MAX : static_cast<int>(d);
    }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

}  // namespace

raw_serial::raw_serial()
    : baudRate_(0), flags_(0), fd_(-1), lastError_(0), pendingData_(nullptr), pendingLeft_(0), pendingDone_(0),
      icountSupported_(false), lineErrors_(0) {
    portName_[0] = '\0';
}

raw_serial::~raw_serial() { close(); }

bool raw_serial::configure(const char* name, uint32_t baud, uint32_t flags) {
    std::strncpy(portName_, name ? name : "", NAME_SIZE - 1);
    portName_[NAME_SIZE - 1] = '\0';
    baudRate_ = baud;
    flags_ = flags;
    return true;
}

bool raw_serial::open() {
    if (opened || fd_ >= 0) close();
    lastError_.store(0);
    uint32_t baud = baudRate_ ? baudRate_ : DEFAULT_BAUD;
    speed_t speed = toSpeed(baud);
    if (speed == 0) {
        fail(EINVAL);
        return false;
    }
    int fd = ::open(portName_, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return false;
    }
    auto abandon = [this, fd](int err) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        fail(err);
        return false;
    };
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) return abandon(errno);  // not a terminal
    // Exclusive: no second console on the same port. TIOCEXCL stops other
    // non-privileged opens; the advisory lock also stops privileged ones.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        fail(err);
        return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && !notSupported(errno)) return abandon(errno);

    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return abandon(errno);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return abandon(errno);

    // Low latency where the driver offers it (not on a pseudo-terminal).
    serial_struct ser;
    if (::ioctl(fd, TIOCGSERIAL, &ser) == 0) {
        ser.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &ser);
    }

    ::tcflush(fd, TCIOFLUSH);

    // DTR raised with the line settings, then dropped once the port is up.
    int dtr = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIS, &dtr);

    // Baseline of the line-error counters.
    lineErrors_ = 0;
    icountSupported_ = readLineErrorCount(fd, lineErrors_);

    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    fd_ = fd;
    pendingData_ = nullptr;
    pendingLeft_ = pendingDone_ = 0;
    opened = true;
    ::ioctl(fd, TIOCMBIC, &dtr);
    return true;
}

bool raw_serial::close() {
    bool ok = true;
    if (fd_ >= 0) {
        ::ioctl(fd_, TIOCNXCL);
        ok = ::close(fd_) == 0;  // also releases the flock
    }
    fd_ = -1;
    opened = false;
    pendingData_ = nullptr;
    pendingLeft_ = pendingDone_ = 0;
    wake_.clear();
    return ok;
}

bool raw_serial::purge() {
    if (fd_ < 0) return false;
    pendingData_ = nullptr;
    pendingLeft_ = pendingDone_ = 0;
    return ::tcflush(fd_, TCIOFLUSH) == 0;
}

bool raw_serial::readLineErrorCount(int fd, uint64_t& count) {
    serial_icounter_struct ic;
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    count = static_cast<uint64_t>(ic.frame) + ic.overrun + ic.parity + ic.brk + ic.buf_overrun;
    return true;
}

bool raw_serial::lineErrorsChanged() {
    if (!icountSupported_) return false;
    uint64_t now = 0;
    if (!readLineErrorCount(fd_, now) || now == lineErrors_) return false;
    lineErrors_ = now;
    return true;
}

uint32_t raw_serial::rx_queue_count() {
    if (!opened || fd_ < 0) return 0;
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<uint32_t>(n);
}

int32_t raw_serial::pollInput(int timeoutMs, short& events) {
    pollfd fds[2];
    fds[0].fd = fd_;
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    fds[1].fd = wake_.fd();
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    const nfds_t n = wake_.fd() >= 0 ? 2 : 1;
    const int r = ::poll(fds, n, timeoutMs);
    if (r < 0) {
        if (errno == EINTR) return POLL_AGAIN;
        fail(errno);
        return RXTX_ERROR;
    }
    if (r == 0) return RXTX_TIMEOUT;
    if (n == 2 && fds[1].revents) return RXTX_TIMEOUT;  // interrupted
    events = fds[0].revents;
    return RXTX_OK;
}

int32_t raw_serial::wait_for_data(uint32_t minimum, uint32_t ms, uint32_t* count) {
    if (count) *count = 0;
    if (!opened || fd_ < 0) return RXTX_ERROR;
    uint32_t queued = rx_queue_count();
    if (queued >= minimum && queued > 0) {
        if (count) *count = queued;
        return RXTX_OK;
    }
    Deadline deadline(ms);
    for (;;) {
        short ev = 0;
        const int32_t waited = pollInput(deadline.left(), ev);
        if (waited == POLL_AGAIN) continue;
        if (waited != RXTX_OK) return waited;
        if (ev & POLLIN) {
            queued = rx_queue_count();
            if (queued >= minimum && queued > 0) {
                if (count) *count = queued;
                return RXTX_OK;
            }
        }
        if (ev & (POLLHUP | POLLERR | POLLNVAL)) {
            // The other side hung up or the device went away.
            fail(ev & POLLHUP ? EPIPE : EIO);
            return RXTX_ERROR;
        }
        if (deadline.left() == 0) return RXTX_TIMEOUT;
    }
}

int32_t raw_serial::wait_readable(uint32_t ms) {
    if (!opened || fd_ < 0) return RXTX_ERROR;
    Deadline deadline(ms);
    for (;;) {
        short ev = 0;
        const int32_t waited = pollInput(deadline.left(), ev);
        if (waited == POLL_AGAIN) continue;
        if (waited != RXTX_OK) return waited;
        const bool ended = (ev & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if ((ev & POLLIN) && !ended) return RXTX_OK;
        if (ended) {
            if (rx_queue_count() > 0) return RXTX_OK;  // what came before the end is still read
            // The other side hung up or the device went away.
            fail(ev & POLLHUP ? EPIPE : EIO);
            return RXTX_ERROR;
        }
        if (deadline.left() == 0) return RXTX_TIMEOUT;
    }
}

int32_t raw_serial::read_available(uint8_t* buffer, uint32_t size) {
    if (!opened || fd_ < 0 || !buffer || size == 0) return RXTX_ERROR;
    if (lineErrorsChanged()) {
        // A line error spoils what is queued: drop it unread.
        ::tcflush(fd_, TCIFLUSH);
        return RXTX_LINE_ERROR;
    }
    for (;;) {
        // Raw mode without a minimum: a read of nothing returns 0 at once
        // (a hang-up is seen by the wait, as POLLHUP).
        ssize_t r = ::read(fd_, buffer, size);
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        fail(errno);
        return RXTX_ERROR;
    }
}

int32_t raw_serial::send_data(const uint8_t* data, uint32_t size) {
    if (!opened || fd_ < 0) return RXTX_ERROR;
    if (!data || size == 0) return 0;
    pendingData_ = nullptr;
    pendingLeft_ = pendingDone_ = 0;
    uint32_t done = 0;
    while (done < size) {
        ssize_t w = ::write(fd_, data + done, size - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            fail(errno);
            return RXTX_ERROR;
        }
        done += static_cast<uint32_t>(w);
    }
    pendingDone_ = done;
    if (done == size) return static_cast<int32_t>(done);
    // The rest goes out in wait_for_sent; data must stay valid until then.
    pendingData_ = data + done;
    pendingLeft_ = size - done;
    return 0;
}

int32_t raw_serial::wait_for_sent(uint32_t ms, uint32_t* count) {
    if (count) *count = 0;
    if (!opened || fd_ < 0) return RXTX_ERROR;
    // A write that went out whole (nearly every one) reads no clock.
    std::optional<Deadline> deadline;
    while (pendingLeft_ > 0) {
        if (!deadline) deadline.emplace(ms);
        pollfd fds[2];
        fds[0].fd = fd_;
        fds[0].events = POLLOUT;
        fds[0].revents = 0;
        fds[1].fd = wake_.fd();
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        nfds_t n = wake_.fd() >= 0 ? 2 : 1;
        int r = ::poll(fds, n, deadline->left());
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(errno);
            return RXTX_ERROR;
        }
        if (r == 0 || (n == 2 && fds[1].revents)) {
            // Given up: the caller's data need not stay valid any longer.
            pendingData_ = nullptr;
            pendingLeft_ = 0;
            return RXTX_TIMEOUT;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL | POLLHUP)) {
            fail(EIO);
            pendingData_ = nullptr;
            pendingLeft_ = 0;
            return RXTX_ERROR;
        }
        ssize_t w = ::write(fd_, pendingData_, pendingLeft_);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            fail(errno);
            pendingData_ = nullptr;
            pendingLeft_ = 0;
            return RXTX_ERROR;
        }
        pendingData_ += w;
        pendingLeft_ -= static_cast<uint32_t>(w);
        pendingDone_ += static_cast<uint32_t>(w);
    }
    pendingData_ = nullptr;
    if (count) *count = pendingDone_;
    return RXTX_OK;
}

int32_t raw_serial::recv_data(uint8_t* buffer, uint32_t size) {
    if (!opened || fd_ < 0 || !buffer || size == 0) return 0;
    // The byte-device contract: a failed read (already recorded) reads nothing.
    const int32_t r = read_available(buffer, size);
    return r == RXTX_ERROR ? 0 : r;
}

int32_t raw_serial::wait_for_recv(uint32_t ms, uint32_t* count) {
    if (count) *count = 0;
    if (!opened || fd_ < 0) return RXTX_TIMEOUT;
    // Reads complete at once here; report whether input is waiting.
    uint32_t available = 0;
    int32_t r = wait_for_data(1, ms, &available);
    if (count) *count = available;
    return r;
}

int32_t raw_serial::set_line(int32_t line, bool level) {
    if (line != 1) return RESULT_OPERATION_NOT_SUPPORT;
    if (!opened || fd_ < 0) return RESULT_OPERATION_FAIL;
    int dtr = TIOCM_DTR;
    if (::ioctl(fd_, level ? TIOCMBIS : TIOCMBIC, &dtr) != 0) {
        fail(errno);
        return RESULT_OPERATION_FAIL;
    }
    return RESULT_OK;
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
