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

}  // namespace

raw_serial::raw_serial()
    : baudRate_(0), flags_(0), fd_(-1), lastError_(0), icountSupported_(false), lineErrors_(0) {
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
    if (fd_ >= 0) close();
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
    return ok;
}

bool raw_serial::purge() {
    if (fd_ < 0) return false;
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

int32_t raw_serial::set_line(int32_t line, bool level) {
    if (line != 1) return RESULT_OPERATION_NOT_SUPPORT;
    if (fd_ < 0) return RESULT_OPERATION_FAIL;
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
