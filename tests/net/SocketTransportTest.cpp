// Sockets and the transport over a TCP connection, against loopback peers.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <signal.h>

#include <future>
#include <memory>
#include <thread>

#include "net/Result.h"
#include "net/Socket.h"
#include "net/Transports.h"
#include "tests/net/MediumSupport.h"
#include "tests/support/ThreadMasks.h"

using namespace zorn::net;
using namespace tests::net;

namespace {

struct SocketDeleter {
    void operator()(StreamSocket* s) const {
        if (s) s->dispose();
    }
};
using SocketPtr = std::unique_ptr<StreamSocket, SocketDeleter>;

// A listening socket on 127.0.0.1 (or another numeric host) and a free port.
struct Listener {
    SocketPtr sock;
    uint16_t port = 0;
    explicit Listener(const char* host = "127.0.0.1") : sock(StreamSocket::createSocket()) {
        SocketAddress any(host, 0);
        EXPECT_EQ(sock->bind(any), RESULT_OK);
        EXPECT_EQ(sock->listen(4), RESULT_OK);
        SocketAddress local;
        EXPECT_EQ(sock->getLocalAddress(local), RESULT_OK);
        port = local.getPort();
    }
    SocketPtr accept(int ms = 3000) {
        if (sock->waitForIncoming(static_cast<uint32_t>(ms)) != RESULT_OK) return SocketPtr();
        return SocketPtr(sock->accept(nullptr));
    }
};

SocketPtr connectTo(uint16_t port) {
    SocketPtr s(StreamSocket::createSocket());
    EXPECT_EQ(s->connect(SocketAddress("127.0.0.1", port)), RESULT_OK);
    return s;
}

// Reads exactly n bytes (or fails after ms).
Bytes readExactly(StreamSocket& s, size_t n, int ms = 3000) {
    Bytes out;
    auto t0 = Clock::now();
    while (out.size() < n && msSince(t0) < ms) {
        if (s.waitForRead(100) != RESULT_OK) continue;
        uint8_t buf[4096];
        uint32_t got = 0;
        size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        if (s.recv(buf, static_cast<uint32_t>(want), got) != RESULT_OK || got == 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

}  // namespace

// A socket for IPv6 addresses connects to an IPv6 listener; an address
// type the platform does not know gives no socket.
TEST(SocketTest, Ipv6SocketConnectsOverIpv6Loopback) {
    SocketPtr listener(StreamSocket::createSocket(ADDRESS_TYPE_IPV6));
    ASSERT_TRUE(listener);
    SocketAddress loopback;
    ASSERT_EQ(loopback.setAddress("::1", ADDRESS_TYPE_IPV6), RESULT_OK);
    loopback.setPort(0);
    ASSERT_EQ(listener->bind(loopback), RESULT_OK);
    ASSERT_EQ(listener->listen(1), RESULT_OK);
    SocketAddress local;
    ASSERT_EQ(listener->getLocalAddress(local), RESULT_OK);
    EXPECT_EQ(local.getAddressType(), ADDRESS_TYPE_IPV6);
    loopback.setPort(local.getPort());
    SocketPtr client(StreamSocket::createSocket(ADDRESS_TYPE_IPV6));
    ASSERT_TRUE(client);
    EXPECT_EQ(client->connect(loopback), RESULT_OK);
    EXPECT_EQ(listener->waitForIncoming(3000), RESULT_OK);
    SocketPtr accepted(listener->accept(nullptr));
    EXPECT_TRUE(accepted);
    EXPECT_EQ(StreamSocket::createSocket(7), nullptr);
}

TEST(SocketAddressTest, ParsesNumericIpv4AndKeepsPort) {
    SocketAddress a("192.0.2.7", 11331);
    EXPECT_TRUE(a.isValid());
    EXPECT_EQ(a.getAddressType(), ADDRESS_TYPE_IPV4);
    EXPECT_EQ(a.getPort(), 11331);
    char text[64];
    EXPECT_EQ(a.getAddress(text, sizeof text), RESULT_OK);
    EXPECT_STREQ(text, "192.0.2.7");
    EXPECT_EQ(a.toString(), "192.0.2.7:11331");
    uint8_t raw[4];
    EXPECT_EQ(a.getRawAddress(raw, 4), RESULT_OK);
    EXPECT_EQ(Bytes(raw, raw + 4), Bytes({192, 0, 2, 7}));
    uint8_t small[3];
    EXPECT_EQ(a.getRawAddress(small, 3), RESULT_BUFFER_TOO_SMALL);

    EXPECT_EQ(a.setAddress("10.1.2.3", ADDRESS_TYPE_IPV4), RESULT_OK);
    EXPECT_EQ(a.getPort(), 11331);  // kept
    EXPECT_EQ(a.setPort(80), RESULT_OK);
    EXPECT_EQ(a.getPort(), 80);
}

TEST(SocketAddressTest, HostNamesAreNotResolved) {
    for (const char* host : {"localhost", "example", "", "127.0.0.1x", "127.1", "1.2.3.4.5", " 127.0.0.1"}) {
        SocketAddress a(host, 11331);
        EXPECT_FALSE(a.isValid()) << host;
        char text[64];
        a.getAddress(text, sizeof text);
        EXPECT_STREQ(text, "0.0.0.0") << host;
        EXPECT_EQ(a.getPort(), 11331);
    }
    SocketAddress b(nullptr, 1);
    EXPECT_FALSE(b.isValid());
}

TEST(SocketAddressTest, Ipv6SpecialAddressesAndCopies) {
    SocketAddress a;
    a.setPort(5);
    EXPECT_EQ(a.setAddress("::1", ADDRESS_TYPE_IPV6), RESULT_OK);
    EXPECT_EQ(a.getAddressType(), ADDRESS_TYPE_IPV6);
    EXPECT_EQ(a.getPort(), 5);
    uint8_t raw[16];
    EXPECT_EQ(a.getRawAddress(raw, 8), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(a.getRawAddress(raw, 16), RESULT_OK);
    EXPECT_EQ(raw[15], 1);
    EXPECT_EQ(a.toString(), "[::1]:5");
    EXPECT_EQ(a.setAddress("1.2.3.4", 7), RESULT_INVALID_DATA);

    SocketAddress c(a);
    EXPECT_EQ(c.toString(), "[::1]:5");
    EXPECT_EQ(c.setLoopback(ADDRESS_TYPE_IPV4), RESULT_OK);
    EXPECT_EQ(c.toString(), "127.0.0.1:5");
    EXPECT_EQ(c.setBroadcast(), RESULT_OK);
    EXPECT_EQ(c.toString(), "255.255.255.255:5");
    EXPECT_EQ(c.setAny(ADDRESS_TYPE_IPV6), RESULT_OK);
    EXPECT_EQ(c.toString(), "[::]:5");
    a = c;
    EXPECT_EQ(a.toString(), "[::]:5");
}

TEST(StreamSocketTest, ConnectRefused) {
    // A bound socket that does not listen keeps the port taken and refuses.
    SocketPtr holder(StreamSocket::createSocket());
    ASSERT_EQ(holder->bind(SocketAddress("127.0.0.1", 0)), RESULT_OK);
    SocketAddress local;
    ASSERT_EQ(holder->getLocalAddress(local), RESULT_OK);
    SocketPtr s(StreamSocket::createSocket());
    int32_t r = s->connect(SocketAddress("127.0.0.1", local.getPort()));
    EXPECT_EQ(r, RESULT_OPERATION_FAIL);
}

TEST(StreamSocketTest, NonNumericHostFailsWithoutConnecting) {
    // A listener on every local address: a connect to 0.0.0.0 would reach it.
    Listener listener("0.0.0.0");
    SocketPtr s(StreamSocket::createSocket());
    int32_t r = s->connect(SocketAddress("not-a-host", listener.port));
    EXPECT_LT(r, 0);
    EXPECT_EQ(listener.sock->waitForIncoming(200), RESULT_OPERATION_TIMEOUT);
}

TEST(StreamSocketTest, SendAndReceiveAndAddresses) {
    Listener listener;
    SocketPtr c = connectTo(listener.port);
    SocketAddress peerAddr;
    SocketPtr p(listener.sock->accept(&peerAddr));
    ASSERT_TRUE(p);
    EXPECT_EQ(peerAddr.toString().rfind("127.0.0.1:", 0), 0u);
    SocketAddress remote;
    EXPECT_EQ(c->getPeerAddress(remote), RESULT_OK);
    EXPECT_EQ(remote.getPort(), listener.port);
    EXPECT_EQ(c->setKeepAlive(true), RESULT_OK);
    EXPECT_EQ(c->setNoDelay(true), RESULT_OK);
    EXPECT_EQ(c->setTimeout(1500, SOCKET_TIMEOUT_RECEIVE | SOCKET_TIMEOUT_SEND), RESULT_OK);
    EXPECT_EQ(c->waitForWrite(100), RESULT_OK);
    EXPECT_EQ(p->waitForRead(20), RESULT_OPERATION_TIMEOUT);
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(c->send(data, 3), RESULT_OK);
    EXPECT_EQ(readExactly(*p, 3), Bytes({1, 2, 3}));
    EXPECT_EQ(c->shutdown(SHUTDOWN_SEND), RESULT_OK);
    ASSERT_EQ(p->waitForRead(1000), RESULT_OK);
    uint8_t buf[4];
    uint32_t got = 99;
    EXPECT_EQ(p->recv(buf, sizeof buf, got), RESULT_OK);
    EXPECT_EQ(got, 0u);  // orderly close
}

TEST(StreamSocketTest, ReceiveTimeout) {
    Listener listener;
    SocketPtr c = connectTo(listener.port);
    SocketPtr p = listener.accept();
    ASSERT_EQ(c->setTimeout(50, SOCKET_TIMEOUT_RECEIVE), RESULT_OK);
    uint8_t buf[4];
    uint32_t got = 7;
    EXPECT_EQ(c->recv(buf, sizeof buf, got), RESULT_OPERATION_TIMEOUT);
    EXPECT_EQ(got, 0u);
}

TEST(StreamSocketTest, WritingToAClosedPeerFailsWithoutSigpipe) {
    struct sigaction old, dfl;
    dfl.sa_handler = SIG_DFL;  // a SIGPIPE would now kill the test program
    sigemptyset(&dfl.sa_mask);
    dfl.sa_flags = 0;
    sigaction(SIGPIPE, &dfl, &old);
    Listener listener;
    SocketPtr c = connectTo(listener.port);
    listener.accept().reset();  // peer closes at once
    Bytes data(1000, 1);
    int32_t r = RESULT_OK;
    tests::net::eventually([&] { return (r = c->send(data.data(), static_cast<uint32_t>(data.size()))) != RESULT_OK; });
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(r, RESULT_OPERATION_FAIL);
}

// The transport over a connected socket, with its peer.
struct SocketPair {
    Listener listener;
    SocketPtr client = connectTo(listener.port);
    SocketPtr peer = listener.accept();
    WakeSignal wake;
    SocketTransport transport{client->handle()};
    SocketPair() { transport.setWakeFd(wake.fd()); }
};

TEST(SocketTransport, CarriesBytesBothWaysAndLooksWithoutWaiting) {
    SocketPair pair;
    uint8_t buf[64];
    EXPECT_EQ(IoStatus::TimedOut, pair.transport.read(buf, sizeof buf, deadlineIn(0)).status) << "nothing waits";
    const uint8_t frame[] = {0x10, 0x02, 0xF8, 0x30, 0xDA};
    EXPECT_EQ(IoStatus::Ok, pair.transport.write(frame, sizeof frame, deadlineIn(1000)).status);
    EXPECT_EQ(readExactly(*pair.peer, 5), Bytes(frame, frame + 5));
    const uint8_t answer[] = {0x10, 0x03, 0x02, 0x50, 0x03, 0x42};
    ASSERT_EQ(pair.peer->send(answer, sizeof answer), RESULT_OK);
    EXPECT_EQ(Bytes(answer, answer + 6), readAll(pair.transport, 6));
}

TEST(SocketTransport, APeerThatClosesOrResetsIsClosed) {
    for (bool reset : {false, true}) {
        SocketPair pair;
        if (reset) {
            linger hard{1, 0};
            ::setsockopt(pair.peer->handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        pair.peer.reset();
        uint8_t buf[8];
        EXPECT_EQ(IoStatus::Closed, pair.transport.read(buf, sizeof buf, deadlineIn(20000)).status) << reset;
    }
}

TEST(SocketTransport, AWriteToAPeerThatStoppedReadingGivesUpAtItsDeadline) {
    SocketPair pair;
    const Bytes block(1 << 20, 7);
    Io io;
    for (int i = 0; i < 64 && io.status == IoStatus::Ok; ++i) {
        io = pair.transport.write(block.data(), block.size(), deadlineIn(200));
    }
    EXPECT_EQ(IoStatus::TimedOut, io.status);
    EXPECT_LT(io.count, block.size()) << "what went out is said";
}

TEST(SocketTransport, TheWakeDescriptorEndsAWait) {
    SocketPair pair;
    pair.wake.signal();
    uint8_t buf[8];
    EXPECT_EQ(IoStatus::Woken, pair.transport.read(buf, sizeof buf, deadlineIn(60000)).status);
}
