#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
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

#include "NetTestUtil.h"
#include "net/InterchipProtocol.h"
#include "net/SerialChannel.h"
#include "net/arch/raw_serial.h"
#include "tests/support/ThreadMasks.h"

using namespace zorn::net;
using zorn::arch::net::raw_serial;
using namespace zorn::hal;
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

// A serial channel opened on the slave of a fresh pty, started without sync.
struct SerialLink {
    Pty pty;
    Recorder rec;
    InterchipProtocol proto;
    std::unique_ptr<SerialChannel> channel;
    explicit SerialLink(std::unique_ptr<raw_serial> port = nullptr)
        : channel(new SerialChannel(&proto, std::move(port))) {
        rec.listen(*channel);
        EXPECT_TRUE(channel->getSerial()->configure(pty.path.c_str(), 115200, 0));
        EXPECT_TRUE(channel->getSerial()->open()) << std::strerror(channel->getSerial()->lastError());
        channel->clearStopped();
        channel->start();
    }
    ~SerialLink() { channel.reset(); }
};

}  // namespace

TEST(RawSerial, MissingDeviceFailsCleanlyAndKeepsErrno) {
    raw_serial s;
    EXPECT_TRUE(s.configure("/dev/does-not-exist-orbitane", 115200, 0));
    EXPECT_FALSE(s.open());
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.lastError(), ENOENT);
    EXPECT_EQ(s.send_data(reinterpret_cast<const uint8_t*>("x"), 1), RXTX_ERROR);
    EXPECT_EQ(s.rx_queue_count(), 0u);
    uint32_t count = 5;
    EXPECT_EQ(s.wait_for_data(1, 10, &count), RXTX_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(s.wait_for_recv(10, &count), RXTX_TIMEOUT);
    EXPECT_EQ(s.wait_for_sent(10, &count), RXTX_ERROR);
    uint8_t buf[4];
    EXPECT_EQ(s.recv_data(buf, 4), 0);
    EXPECT_EQ(s.set_line(1, true), RESULT_OPERATION_FAIL);
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

TEST(RawSerial, DataWaitsAndTransfers) {
    Pty pty;
    raw_serial s;
    ASSERT_TRUE(pty.open(s));
    EXPECT_EQ(s.send_data(nullptr, 3), 0);
    EXPECT_EQ(s.send_data(reinterpret_cast<const uint8_t*>("abc"), 0), 0);

    uint32_t count = 9;
    auto t0 = Clock::now();
    EXPECT_EQ(s.wait_for_data(1, 100, &count), RXTX_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(msSince(t0), 90.0);

    // Bytes that arrived before the wait are reported at once.
    pty.write({1, 2, 3, 4});
    ASSERT_TRUE(tests::net::eventually([&] { return s.rx_queue_count() == 4u; }));
    EXPECT_EQ(s.wait_for_data(1, 0, &count), RXTX_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(s.rx_queue_count(), 4u);
    uint8_t buf[16];
    EXPECT_EQ(s.recv_data(buf, sizeof buf), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes({1, 2, 3, 4}));
    EXPECT_EQ(s.recv_data(buf, sizeof buf), 0);  // nothing left

    // Data arriving during a wait ends it.
    const std::set<pid_t> before = tests::support::otherThreads();
    auto waited = std::async(std::launch::async, [&] { return s.wait_for_data(1, 30000, &count); });
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 1));
    pty.write({9});
    EXPECT_EQ(waited.get(), RXTX_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(s.wait_for_recv(100, &count), RXTX_OK);

    // Writing.
    const uint8_t out[] = {0x10, 0x02, 0xF8, 0x30, 0xDA};
    int32_t n = s.send_data(out, sizeof out);
    EXPECT_TRUE(n == 5 || n == 0);
    EXPECT_EQ(s.wait_for_sent(1000, &count), RXTX_OK);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(hex(pty.read(5)), "10 02 F8 30 DA");

    EXPECT_TRUE(s.purge());
    EXPECT_EQ(s.set_line(2, true), RESULT_OPERATION_NOT_SUPPORT);
}

// Waiting and counting leave the input alone: only the read looks at the
// line errors, so a thread that merely watches the port never drops bytes
// the reader is about to take.
TEST(RawSerial, ALineErrorDropsTheQueuedInputWhereItIsReadNotWhileWaiting) {
    Pty pty;
    NoisyPort s;
    ASSERT_TRUE(pty.open(s));
    pty.write({1, 2, 3});
    s.errors = 1;
    uint32_t count = 0;
    EXPECT_EQ(s.wait_for_data(3, 3000, &count), RXTX_OK);
    EXPECT_EQ(s.rx_queue_count(), 3u);
    uint8_t buf[8];
    EXPECT_EQ(s.recv_data(buf, sizeof buf), RXTX_LINE_ERROR);
    EXPECT_EQ(s.rx_queue_count(), 0u);
    pty.write({4, 5});
    EXPECT_EQ(s.wait_for_data(2, 3000, &count), RXTX_OK);
    EXPECT_EQ(s.recv_data(buf, sizeof buf), 2);  // no new error: read whole
}

TEST(RawSerial, InterruptCutsAWaitShort) {
    Pty pty;
    raw_serial s;
    ASSERT_TRUE(pty.open(s));
    const std::set<pid_t> before = tests::support::otherThreads();
    uint32_t count = 0;
    auto waited = std::async(std::launch::async, [&] { return s.wait_for_data(1, 60000, &count); });
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 1));
    s.interrupt();
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(20)), std::future_status::ready);  // long before its bound
    EXPECT_EQ(waited.get(), RXTX_TIMEOUT);
    s.clear_interrupt();
    EXPECT_EQ(s.wait_for_data(1, 30, &count), RXTX_TIMEOUT);
}

TEST(RawSerial, HangupIsAnError) {
    Pty pty;
    raw_serial s;
    ASSERT_TRUE(pty.open(s));
    pty.closeMaster();
    uint32_t count = 0;
    EXPECT_EQ(s.wait_for_data(1, 20000, &count), RXTX_ERROR);  // ended by the hangup, not its bound
}

// The reader's pair: one poll, then one read of what is there; a read of
// nothing is no failure, a hang-up is.
TEST(RawSerial, WaitReadableThenReadAvailable) {
    Pty pty;
    raw_serial s;
    ASSERT_TRUE(pty.open(s));
    uint8_t buf[16];
    EXPECT_EQ(s.read_available(buf, sizeof buf), 0);
    EXPECT_EQ(s.wait_readable(30), RXTX_TIMEOUT);
    pty.write({1, 2, 3});
    EXPECT_EQ(s.wait_readable(20000), RXTX_OK);
    ASSERT_TRUE(tests::net::eventually([&] { return s.rx_queue_count() == 3u; }));
    EXPECT_EQ(s.read_available(buf, sizeof buf), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), Bytes({1, 2, 3}));
    pty.closeMaster();
    EXPECT_EQ(s.wait_readable(20000), RXTX_ERROR);  // ended by the hangup, not its bound
}

TEST(SerialChannelTest, ClosedPortFailsTheMediumOperations) {
    InterchipProtocol proto;
    SerialChannel ch(&proto);
    ASSERT_NE(ch.getSerial(), nullptr);
    EXPECT_FALSE(ch.getSerial()->is_open());
    const uint8_t b[] = {1};
    EXPECT_EQ(ch.writeBytes(b, 1), RESULT_OPERATION_FAIL);
    uint8_t buf[4];
    uint32_t got = 5;
    EXPECT_EQ(ch.readBytes(buf, 4, got), RESULT_OPERATION_FAIL);
    EXPECT_EQ(got, 0u);
    uint32_t avail = 5;
    EXPECT_EQ(ch.waitForData(avail), RESULT_OPERATION_FAIL);
    EXPECT_EQ(avail, 0u);
}

TEST(SerialChannelTest, FramesBothWays) {
    SerialLink link;
    EXPECT_EQ(link.channel->send(msg(0xF8, {0x30})), RESULT_OK);
    EXPECT_EQ(hex(link.pty.read(5)), "10 02 F8 30 DA");
    link.pty.write({0x10, 0x03, 0x02, 0x50, 0x03, 0x42, 0x10, 0x01, 0x05, 0x14});
    ASSERT_TRUE(link.rec.waitFor(EVT_MESSAGE, 2));
    auto m = link.rec.of(EVT_MESSAGE);
    EXPECT_EQ(payloadOf(m[0].message), Bytes({0x50, 0x03}));
    EXPECT_EQ(m[1].message->cmd, 5);
}

TEST(SerialChannelTest, LargeFrameGoesThrough) {
    SerialLink link;
    MessagePtr big = std::make_shared<Message>(1, nullptr, 20000);
    std::thread reader([&] { EXPECT_EQ(link.pty.read(20005, 5000).size(), 20005u); });
    EXPECT_EQ(link.channel->send(big), RESULT_OK);
    reader.join();
}

TEST(SerialChannelTest, HangupEndsTheReceiveThreadWithChannelBroken) {
    SerialLink link;
    link.pty.closeMaster();
    ASSERT_TRUE(link.rec.waitFor(EVT_CHANNEL_BROKEN, 1, 3000));
    EXPECT_FALSE(link.rec.of(EVT_CHANNEL_BROKEN)[0].message);
    // Once the receive thread has stopped, it cannot report again.
    EXPECT_TRUE(tests::net::eventually([&] { return (link.channel->getStatusBits() & Channel::RX_STOPPED) != 0; }));
    EXPECT_EQ(link.rec.count(EVT_CHANNEL_BROKEN), 1u);
}

// Half a frame spoiled by a line error is dropped, not decoded into the
// next frame, and the channel reads on.
TEST(SerialChannelTest, ALineErrorDropsTheSpoiledInputAndTheNextFrameGetsThrough) {
    auto port = std::make_unique<NoisyPort>();
    NoisyPort& noisy = *port;
    SerialLink link(std::move(port));
    noisy.errors = 1;
    link.pty.write({0x10, 0x03, 0x02});
    ASSERT_TRUE(tests::net::eventually([&] { return noisy.counterReads.load() >= 2; }));  // read and dropped
    link.pty.write({0x10, 0x03, 0x02, 0x50, 0x03, 0x42});
    ASSERT_TRUE(link.rec.waitFor(EVT_MESSAGE, 1));
    EXPECT_EQ(payloadOf(link.rec.of(EVT_MESSAGE)[0].message), Bytes({0x50, 0x03}));
    EXPECT_EQ(link.rec.count(EVT_CHANNEL_BROKEN), 0u);
}

TEST(SerialChannelTest, SecondOpenOfTheSamePathFails) {
    SerialLink link;
    InterchipProtocol proto2;
    SerialChannel second(&proto2);
    second.getSerial()->configure(link.pty.path.c_str(), 115200, 0);
    EXPECT_FALSE(second.getSerial()->open());
    EXPECT_EQ(second.getSerial()->lastError(), EBUSY);
}

TEST(SerialChannelTest, IdleStopEndsTheThreadsWaitsInsteadOfSittingThemOut) {
    const std::set<pid_t> before = tests::support::otherThreads();
    SerialLink link;
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 2));
    auto t0 = Clock::now();
    link.channel->stop();
    EXPECT_LT(msSince(t0), Channel::LOOP_WAIT_MS);  // a wait sat out lasts this long
    // And it can run again.
    link.channel->clearStopped();
    link.channel->start();
    EXPECT_EQ(link.channel->send(msg(1, {})), RESULT_OK);
    EXPECT_EQ(link.pty.read(4).size(), 4u);
}
