#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <memory>
#include <thread>

#include "NetTestUtil.h"
#include "net/InterchipProtocol.h"
#include "net/Socket.h"
#include "net/TCPChannel.h"
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

// A bound channel with its peer; the two sync frames already consumed.
struct Link {
    Recorder rec;
    InterchipProtocol proto;
    Listener listener;
    SocketPtr client;
    SocketPtr peer;
    std::unique_ptr<TCPChannel> channel;

    Link() {
        client.reset(StreamSocket::createSocket());
        EXPECT_EQ(client->connect(SocketAddress("127.0.0.1", listener.port)), RESULT_OK);
        peer = listener.accept();
        channel.reset(new TCPChannel(&proto));
        rec.listen(*channel);
        EXPECT_EQ(channel->bind(client.get()), RESULT_OK);
        Bytes sync = readExactly(*peer, 136);
        EXPECT_EQ(sync.size(), 136u);
    }
    ~Link() {
        channel.reset();  // before the socket it uses
    }
};

}  // namespace

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

TEST(TcpChannelTest, UnboundChannelRunsNothing) {
    InterchipProtocol proto;
    TCPChannel ch(&proto);
    EXPECT_EQ(ch.getStatusBits(), Channel::RX_STOPPED | Channel::TX_STOPPED);
    EXPECT_EQ(ch.send(msg(1, {})), RESULT_OPERATION_FAIL);
    EXPECT_EQ(ch.bind(nullptr), RESULT_INVALID_DATA);
    EXPECT_FALSE(ch.isRunning());
    EXPECT_EQ(ch.getSocket(), nullptr);
}

TEST(TcpChannelTest, BindStartsAndSyncsAndSendsReachThePeer) {
    Link link;
    EXPECT_TRUE(link.channel->isRunning());
    EXPECT_EQ(link.channel->send(msg(0xF8, {0x30})), RESULT_OK);
    EXPECT_EQ(hex(readExactly(*link.peer, 5)), "10 02 F8 30 DA");
}

TEST(TcpChannelTest, SeveralFramesInOneChunkAndASplitFrame) {
    Link link;
    Bytes chunk = frame(2, {0x50, 0x03});
    Bytes f2 = frame(7, {1, 2, 3});
    Bytes f3 = frame(9, {});
    chunk.insert(chunk.end(), f2.begin(), f2.end());
    chunk.insert(chunk.end(), f3.begin(), f3.end());
    Bytes split = frame(4, Bytes(600, 0x44));
    chunk.insert(chunk.end(), split.begin(), split.begin() + 100);
    ASSERT_EQ(link.peer->send(chunk.data(), static_cast<uint32_t>(chunk.size())), RESULT_OK);
    ASSERT_TRUE(link.rec.waitFor(EVT_MESSAGE, 3));
    EXPECT_TRUE(tests::net::holdsFor([&] { return link.rec.count(EVT_MESSAGE) == 3u; }, 20));
    ASSERT_EQ(link.peer->send(split.data() + 100, static_cast<uint32_t>(split.size() - 100)), RESULT_OK);
    ASSERT_TRUE(link.rec.waitFor(EVT_MESSAGE, 4));
    auto m = link.rec.of(EVT_MESSAGE);
    EXPECT_EQ(m[0].message->cmd, 2);
    EXPECT_EQ(m[1].message->cmd, 7);
    EXPECT_EQ(m[2].message->cmd, 9);
    EXPECT_EQ(payloadOf(m[3].message), Bytes(600, 0x44));
}

TEST(TcpChannelTest, LargestFrameGoesThrough) {
    Link link;
    MessagePtr big = std::make_shared<Message>(1, nullptr, 65531);  // 65,536-byte frame
    auto reader = std::async(std::launch::async, [&] { return readExactly(*link.peer, 65536, 5000); });
    EXPECT_EQ(link.channel->send(big), RESULT_OK);
    EXPECT_EQ(reader.get().size(), 65536u);
}

TEST(TcpChannelTest, PeerCloseGivesOneChannelBrokenAndLaterSendsFail) {
    Link link;
    link.peer.reset();
    ASSERT_TRUE(link.rec.waitFor(EVT_CHANNEL_BROKEN, 1));
    EXPECT_FALSE(link.rec.of(EVT_CHANNEL_BROKEN)[0].message);
    // The bit is set by the receive thread right after the event.
    EXPECT_TRUE(tests::net::eventually([&] { return (link.channel->getStatusBits() & Channel::RX_STOPPED) != 0; }));
    // The transmit side still runs; writes now fail (no SIGPIPE).
    int32_t r = RESULT_OK;
    tests::net::eventually([&] { return (r = link.channel->send(msg(1, Bytes(100)))) != RESULT_OK; });
    EXPECT_EQ(r, RESULT_OPERATION_FAIL);
    EXPECT_GE(link.rec.count(EVT_SEND_FAILED), 1u);
    EXPECT_EQ(link.rec.count(EVT_CHANNEL_BROKEN), 1u);
}

TEST(TcpChannelTest, RebindStopsTheFirstBinding) {
    Link link;
    SocketPtr second(StreamSocket::createSocket());
    ASSERT_EQ(second->connect(SocketAddress("127.0.0.1", link.listener.port)), RESULT_OK);
    SocketPtr peer2 = link.listener.accept();
    ASSERT_EQ(link.channel->bind(second.get()), RESULT_OK);
    EXPECT_EQ(readExactly(*peer2, 136).size(), 136u);
    EXPECT_EQ(link.channel->send(msg(0xF8, {0x30})), RESULT_OK);
    EXPECT_EQ(hex(readExactly(*peer2, 5)), "10 02 F8 30 DA");
    // Closing the first connection no longer concerns the channel.
    link.peer.reset();
    EXPECT_TRUE(tests::net::holdsFor([&] { return link.rec.count(EVT_CHANNEL_BROKEN) == 0u; }, 50));
    link.channel.reset();
}

TEST(TcpChannelTest, IdleStopEndsTheThreadsWaitsInsteadOfSittingThemOut) {
    const std::set<pid_t> before = tests::support::otherThreads();
    Link link;
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 2));
    auto t0 = Clock::now();
    link.channel->stop();
    EXPECT_LT(msSince(t0), Channel::LOOP_WAIT_MS);  // a wait sat out lasts this long
}

TEST(TcpChannelTest, RequestRoundTripThroughTheThreads) {
    Link link;
    // The peer echoes each frame back with command 2.
    std::atomic<bool> go{true};
    std::thread peerThread([&] {
        while (go.load()) {
            Bytes f = readExactly(*link.peer, 5, 200);
            if (f.size() != 5) continue;
            Bytes a = frame(2, {f[3]});
            link.peer->send(a.data(), static_cast<uint32_t>(a.size()));
        }
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(link.channel->send(msg(0xF8, {static_cast<uint8_t>(i)})), RESULT_OK);
        ASSERT_TRUE(link.rec.waitFor(EVT_MESSAGE, static_cast<size_t>(i + 1)));
    }
    go = false;
    peerThread.join();
    auto m = link.rec.of(EVT_MESSAGE);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(payloadOf(m[i].message), Bytes({static_cast<uint8_t>(i)}));
}
