// The serial port and the transport over it, against pseudo-terminals.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "net/Result.h"
#include "net/Transports.h"
#include "tests/net/MediumSupport.h"
#include "tests/support/ThreadMasks.h"

using namespace zorn::net;
using namespace tests::net;

namespace {

// A pseudo-terminal pair: the test plays the base on the master side, the
// code under test opens the slave by its path.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty() {
        char name[256] = {0};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << std::strerror(errno);
            return;
        }
        path = name;
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        // The test's own slave descriptor is not needed: the pair lives as
        // long as the master is open.
        ::close(slave);
        slave = -1;
    }
    ~Pty() { closeMaster(); }
    // Configures `port` for the slave side at 115,200 baud and opens it.
    bool open(raw_serial& port) { return port.configure(path.c_str(), 115200, 0) && port.open(); }
    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void write(const Bytes& b) {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t n = ::write(master, b.data() + done, b.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        }
    }
    Bytes read(size_t n, int ms = 3000) {
        Bytes out;
        auto t0 = Clock::now();
        while (out.size() < n && msSince(t0) < ms) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t buf[4096];
            ssize_t k = ::read(master, buf, sizeof buf);
            if (k > 0) out.insert(out.end(), buf, buf + k);
        }
        return out;
    }
};

// A port whose line-error counters the test raises, as a UART's framing or
// overrun errors would (a pseudo-terminal keeps none).
class NoisyPort : public raw_serial {
public:
    std::atomic<uint64_t> errors{0};
    std::atomic<int> counterReads{0};  // opening takes the first

protected:
    bool readLineErrorCount(int, uint64_t& count) override {
        ++counterReads;
        count = errors.load();
        return true;
    }
};

}  // namespace

TEST(RawSerial, MissingDeviceFailsCleanlyAndKeepsErrno) {
    raw_serial s;
    EXPECT_TRUE(s.configure("/dev/does-not-exist-orbitane", 115200, 0));
    EXPECT_FALSE(s.open());
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.lastError(), ENOENT);
    EXPECT_EQ(s.set_line(1, true), RESULT_OPERATION_FAIL);
    SerialTransport transport(s);
    uint8_t buf[4];
    EXPECT_EQ(IoStatus::Failed, transport.read(buf, sizeof buf, deadlineIn(10)).status);
    EXPECT_EQ(IoStatus::Failed, transport.write(buf, sizeof buf, deadlineIn(10)).status);
}

TEST(RawSerial, SomethingThatIsNotATerminalIsRefused) {
    raw_serial s;
    s.configure("/dev/null", 115200, 0);
    EXPECT_FALSE(s.open());
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.lastError(), ENOTTY);
}

TEST(RawSerial, UnsupportedBaudRateIsRefused) {
    Pty pty;
    raw_serial s;
    s.configure(pty.path.c_str(), 12345, 0);
    EXPECT_FALSE(s.open());
    EXPECT_EQ(s.lastError(), EINVAL);
}

TEST(RawSerial, ConfigureKeepsNameBaudAndCutsLongNames) {
    raw_serial s;
    std::string longName(400, 'a');
    s.configure(longName.c_str(), 0, 7);
    EXPECT_EQ(std::string(s.portName()).size(), 259u);
    EXPECT_EQ(s.baudRate(), 0u);
}

TEST(RawSerial, OpensRawAndExclusively) {
    Pty pty;
    raw_serial a;
    ASSERT_TRUE(pty.open(a)) << std::strerror(a.lastError());
    EXPECT_TRUE(a.is_open());
    raw_serial b;
    b.configure(pty.path.c_str(), 115200, 0);
    EXPECT_FALSE(b.open());
    EXPECT_EQ(b.lastError(), EBUSY);
    EXPECT_FALSE(b.is_open());
    // Line settings: raw 8N1, 115200, no flow control.
    int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {  // root passes TIOCEXCL; the lock above is what stops a second console
        termios t;
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
        EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
        ::close(fd);
    }
    EXPECT_TRUE(a.purge());
    EXPECT_EQ(a.set_line(2, true), RESULT_OPERATION_NOT_SUPPORT);
    EXPECT_TRUE(a.close());
    EXPECT_FALSE(a.is_open());
    EXPECT_TRUE(b.open());  // free again
}

TEST(RawSerial, ReopenClosesFirst) {
    Pty pty;
    raw_serial a;
    ASSERT_TRUE(pty.open(a));
    ASSERT_TRUE(a.open());
    EXPECT_TRUE(a.is_open());
}

namespace {

// The transport on the slave of a fresh pty, with a wake-up descriptor.
template <class Port = raw_serial>
struct SerialPair {
    Pty pty;
    Port port;
    WakeSignal wake;
    SerialTransport transport{port};
    SerialPair() {
        EXPECT_TRUE(pty.open(port)) << std::strerror(port.lastError());
        transport.setWakeFd(wake.fd());
    }
};

}  // namespace

TEST(SerialTransport, CarriesBytesBothWaysAndLooksWithoutWaiting) {
    SerialPair<> pair;
    uint8_t buf[64];
    EXPECT_EQ(IoStatus::TimedOut, pair.transport.read(buf, sizeof buf, deadlineIn(0)).status) << "nothing waits";
    const uint8_t frame[] = {0x10, 0x02, 0xF8, 0x30, 0xDA};
    EXPECT_EQ(IoStatus::Ok, pair.transport.write(frame, sizeof frame, deadlineIn(1000)).status);
    EXPECT_EQ(pair.pty.read(5), Bytes(frame, frame + 5));
    pair.pty.write({0x10, 0x03, 0x02, 0x50, 0x03, 0x42});
    EXPECT_EQ(Bytes({0x10, 0x03, 0x02, 0x50, 0x03, 0x42}), readAll(pair.transport, 6));
    // A frame larger than the tty's buffers goes out while the base reads.
    const Bytes large(20000, 0x55);
    Bytes received;
    std::thread reader([&] { received = pair.pty.read(large.size(), 10000); });
    EXPECT_EQ(IoStatus::Ok, pair.transport.write(large.data(), large.size(), deadlineIn(10000)).status);
    reader.join();
    EXPECT_EQ(large.size(), received.size());
}

// Bytes that arrive while the transport waits end the wait.
TEST(SerialTransport, AWaitEndsWhenBytesArrive) {
    SerialPair<> pair;
    const std::set<pid_t> before = tests::support::otherThreads();
    uint8_t buf[8];
    auto read = std::async(std::launch::async, [&] { return pair.transport.read(buf, sizeof buf, deadlineIn(60000)); });
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 1));
    pair.pty.write({9});
    const Io io = read.get();
    EXPECT_EQ(IoStatus::Ok, io.status);
    EXPECT_EQ(1u, io.count);
}

// A line error spoils what is queued: it is dropped where it is read, and
// what comes after it is read whole.
TEST(SerialTransport, ALineErrorDropsTheSpoiledInput) {
    SerialPair<NoisyPort> pair;
    pair.pty.write({1, 2, 3});
    ASSERT_TRUE(eventually([&] {
        int queued = 0;
        return ::ioctl(pair.port.handle(), FIONREAD, &queued) == 0 && queued == 3;
    }));
    pair.port.errors = 1;
    uint8_t buf[8];
    EXPECT_EQ(IoStatus::LineError, pair.transport.read(buf, sizeof buf, deadlineIn(0)).status);
    pair.pty.write({4, 5});
    EXPECT_EQ(Bytes({4, 5}), readAll(pair.transport, 2));
}

TEST(SerialTransport, AHangUpFailsAndTheWakeDescriptorEndsAWait) {
    SerialPair<> pair;
    pair.wake.signal();
    uint8_t buf[8];
    EXPECT_EQ(IoStatus::Woken, pair.transport.read(buf, sizeof buf, deadlineIn(60000)).status);
    pair.wake.clear();
    pair.pty.closeMaster();
    EXPECT_EQ(IoStatus::Failed, pair.transport.read(buf, sizeof buf, deadlineIn(60000)).status)
        << "ended by the hang-up, not its bound";
}

TEST(SerialTransport, AWriteMayTakeItsWireTimeAndHalfASecond) {
    SerialPair<> pair;
    // 68 bytes of 10 bits at 115,200 baud: 5.9 ms.
    EXPECT_EQ(std::chrono::microseconds(505902),
              std::chrono::duration_cast<std::chrono::microseconds>(pair.transport.writeBound(68)));
}
