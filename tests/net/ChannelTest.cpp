#include <gtest/gtest.h>

#include <future>

#include "NetTestUtil.h"
#include "tests/support/ThreadMasks.h"

using namespace zorn::net;
using namespace tests::net;

namespace {

// A message whose interchip frame has exactly `frameSize` bytes (>= 260).
MessagePtr messageWithFrameSize(uint32_t frameSize) {
    return std::make_shared<Message>(1, nullptr, static_cast<int32_t>(frameSize - 5));
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override { rec.listen(channel); }
    Recorder rec;
    InterchipProtocol proto;
    FakeChannel channel{&proto};
};

}  // namespace

TEST_F(ChannelTest, ConstructionRegistersTwoHandlersOnTheProtocol) {
    EXPECT_EQ(proto.handlerCount(EVT_MESSAGE), 1u);
    EXPECT_EQ(proto.handlerCount(EVT_BAD_FRAME), 1u);
    EXPECT_EQ(channel.getProtocol(), &proto);
    EXPECT_FALSE(channel.isRunning());
    EXPECT_EQ(channel.getStatusBits(), 0u);
}

TEST(ChannelLifecycle, DestructionRemovesTheProtocolHandlers) {
    InterchipProtocol proto;
    {
        FakeChannel c(&proto);
        c.start();
    }
    EXPECT_EQ(proto.handlerCount(), 0u);
}

TEST_F(ChannelTest, SendBeforeStartFailsAndQueuesNothing) {
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_OPERATION_FAIL);
    EXPECT_EQ(channel.post(msg(1, {})), RESULT_OPERATION_FAIL);
    channel.start();
    EXPECT_TRUE(holdsFor([&] { return channel.writeCount() == 0u; }, 30));
}

TEST_F(ChannelTest, SendWritesTheFrame) {
    channel.start();
    EXPECT_EQ(channel.send(msg(0xF8, {0x30})), RESULT_OK);
    ASSERT_EQ(channel.writeCount(), 1u);
    EXPECT_EQ(hex(channel.written()[0]), "10 02 F8 30 DA");
}

TEST_F(ChannelTest, PostReturnsAtOnceAndWritesInOrder) {
    channel.start();
    for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(channel.post(msg(i, {i})), RESULT_OK);
    ASSERT_TRUE(channel.waitWrites(20));
    auto w = channel.written();
    for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(w[i][2], i);
}

TEST_F(ChannelTest, FrameOfExactly65536BytesIsWritten) {
    channel.start();
    MessagePtr m = messageWithFrameSize(65536);
    EXPECT_EQ(proto.encodedSize(m), 65536u);
    EXPECT_EQ(channel.send(m), RESULT_OK);
    ASSERT_EQ(channel.writeCount(), 1u);
    EXPECT_EQ(channel.written()[0].size(), 65536u);
    EXPECT_EQ(rec.count(EVT_SEND_FAILED), 0u);
}

TEST_F(ChannelTest, FrameOf65537BytesFailsWithoutWriting) {
    channel.start();
    MessagePtr m = messageWithFrameSize(65537);
    EXPECT_EQ(proto.encodedSize(m), 65537u);
    EXPECT_EQ(channel.send(m), RESULT_OPERATION_FAIL);
    EXPECT_EQ(channel.writeCount(), 0u);
    auto failed = rec.of(EVT_SEND_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].message.get(), m.get());
}

TEST_F(ChannelTest, MessageTheProtocolRefusesFails) {
    channel.start();
    MessagePtr m = msg(1, {2});
    m->flags |= 0x80;
    EXPECT_EQ(channel.send(m), RESULT_OPERATION_FAIL);
    EXPECT_EQ(rec.count(EVT_SEND_FAILED), 1u);
    EXPECT_EQ(channel.writeCount(), 0u);
}

TEST_F(ChannelTest, WriteFailureAndTimeoutRaiseEvents) {
    channel.start();
    channel.setWriteResult(RESULT_OPERATION_FAIL);
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_OPERATION_FAIL);
    channel.setWriteResult(RESULT_OPERATION_TIMEOUT);
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_OPERATION_TIMEOUT);
    channel.setWriteResult(RESULT_INVALID_DATA);  // passed on without an event
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_INVALID_DATA);
    EXPECT_EQ(rec.count(EVT_SEND_FAILED), 1u);
    EXPECT_EQ(rec.count(EVT_SEND_TIMEOUT), 1u);
}

TEST_F(ChannelTest, StopReleasesAWaitingSend) {
    channel.start();
    channel.blockWrites();
    auto first = std::async(std::launch::async, [&] { return channel.send(msg(1, {})); });
    ASSERT_TRUE(channel.waitBlockedWriter());
    MessagePtr queued = msg(2, {});
    auto second = std::async(std::launch::async, [&] { return channel.send(queued); });
    ASSERT_TRUE(eventually([&] { return queued.use_count() > 1; }));  // the transmit queue holds it
    channel.stop();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(second.get(), RESULT_OPERATION_FAIL);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(first.get(), RESULT_OPERATION_FAIL);
    EXPECT_EQ(channel.send(msg(3, {})), RESULT_OPERATION_FAIL);
}

TEST_F(ChannelTest, SendsRacingWithStopAreNeverLeftWaiting) {
    for (int round = 0; round < 20; ++round) {
        channel.clearStopped();
        channel.start();
        std::vector<std::future<int32_t>> senders;
        for (int i = 0; i < 4; ++i)
            senders.push_back(std::async(std::launch::async, [&] { return channel.send(msg(1, {})); }));
        channel.stop();
        for (auto& f : senders) {
            ASSERT_EQ(f.wait_for(std::chrono::seconds(2)), std::future_status::ready);
            int32_t r = f.get();
            EXPECT_TRUE(r == RESULT_OK || r == RESULT_OPERATION_FAIL || r == RESULT_OPERATION_NOT_SUPPORT) << r;
        }
    }
}

TEST_F(ChannelTest, ReceivedFramesBecomeChannelEvents) {
    channel.start();
    channel.feed({0x10, 0x02, 0xF8, 0x30, 0xDA, 0x10, 0x03, 0x02, 0x50, 0x03, 0x42, 0x10, 0x02, 0x01});
    ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, 2));
    channel.feed({0x02, 0x11});  // last frame split across chunks: 10 02 01 02 11
    channel.feed({0x10, 0x01, 0x05, 0x00});  // bad checksum
    ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, 3));
    ASSERT_TRUE(rec.waitFor(EVT_BAD_FRAME, 1));
    auto m = rec.of(EVT_MESSAGE);
    EXPECT_EQ(m[0].message->cmd, 0xF8);
    EXPECT_EQ(m[1].message->cmd, 0x02);
    EXPECT_EQ(payloadOf(m[2].message), Bytes({0x02}));
    EXPECT_EQ(rec.of(EVT_BAD_FRAME)[0].message->cmd, 5);
}

TEST_F(ChannelTest, ReadOfZeroBytesBreaksOnceButSendsStillReachTheMedium) {
    channel.start();
    channel.feedEof();
    ASSERT_TRUE(rec.waitFor(EVT_CHANNEL_BROKEN, 1));
    // Once the receive thread has stopped, it cannot (wrongly) report again.
    EXPECT_TRUE(eventually([&] { return (channel.getStatusBits() & Channel::RX_STOPPED) != 0; }));
    auto broken = rec.of(EVT_CHANNEL_BROKEN);
    ASSERT_EQ(broken.size(), 1u);
    EXPECT_FALSE(broken[0].message);
    EXPECT_FALSE(channel.getStatusBits() & Channel::TX_STOPPED);
    EXPECT_EQ(channel.send(msg(0xF8, {0x30})), RESULT_OK);
    ASSERT_EQ(channel.writeCount(), 1u);
    channel.stop();
    EXPECT_EQ(rec.count(EVT_CHANNEL_BROKEN), 1u);
}

TEST_F(ChannelTest, StartTwiceStartsOnceAndStopTwiceIsHarmless) {
    channel.start();
    channel.start();
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_OK);
    EXPECT_EQ(channel.writeCount(), 1u);  // one transmit thread, one write
    channel.stop();
    channel.stop();
    EXPECT_EQ(channel.interruptCount(), 1);
    EXPECT_EQ(channel.getStatusBits(), Channel::RX_STOPPED | Channel::TX_STOPPED);
}

TEST_F(ChannelTest, StartWithoutClearingStoppedBitsRunsNothing) {
    channel.start();
    channel.stop();
    channel.start();
    EXPECT_TRUE(channel.isRunning());
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_OPERATION_NOT_SUPPORT);
    channel.stop();
    channel.clearStopped();
    channel.start();
    EXPECT_EQ(channel.send(msg(1, {})), RESULT_OK);
}

TEST_F(ChannelTest, RestartAfterStopWorks) {
    for (int i = 0; i < 5; ++i) {
        channel.clearStopped();
        channel.start();
        EXPECT_EQ(channel.send(msg(1, {static_cast<uint8_t>(i)})), RESULT_OK);
        channel.feed({0x10, 0x01, 0x05, 0x14});
        ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, static_cast<size_t>(i + 1)));
        channel.stop();
    }
}

TEST_F(ChannelTest, IdleStopEndsTheThreadsWaitsInsteadOfSittingThemOut) {
    const std::set<pid_t> before = tests::support::otherThreads();
    channel.start();
    ASSERT_TRUE(tests::support::waitUntilNewThreadsSleep(before, 2));
    auto t0 = Clock::now();
    channel.stop();
    EXPECT_LT(msSince(t0), Channel::LOOP_WAIT_MS);  // a wait sat out lasts this long
}

// Signals are the main thread's: the channel's threads block every one from
// their start, so a handler always interrupts the main thread's waits.
TEST_F(ChannelTest, ThreadsBlockEverySignalFromTheirStart) {
    const std::set<pid_t> before = tests::support::otherThreads();
    channel.start();
    size_t started = 0;
    for (pid_t tid : tests::support::otherThreads()) {
        if (before.count(tid)) continue;
        ++started;
        EXPECT_TRUE(tests::support::blocksEverySignal(tid)) << "thread " << tid;
    }
    EXPECT_GE(started, 2u);  // a sanitizer may start a thread of its own
}

TEST_F(ChannelTest, SyncSendsTheSyncMessageTwice) {
    channel.start();
    auto t0 = Clock::now();
    EXPECT_EQ(channel.sync(), 0);
    double ms = msSince(t0);
    EXPECT_GE(ms, 650.0);
    ASSERT_EQ(channel.writeCount(), 2u);
    auto w = channel.written();
    EXPECT_EQ(w[0].size(), 68u);
    EXPECT_EQ(w[0], w[1]);
    EXPECT_EQ(hex(Bytes(w[0].begin(), w[0].begin() + 3)), "10 41 00");
}

TEST_F(ChannelTest, StopCutsASyncShort) {
    channel.start();
    auto f = std::async(std::launch::async, [&] { return channel.sync(); });
    ASSERT_TRUE(channel.waitWrites(1));
    auto t0 = Clock::now();
    channel.stop();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(msSince(t0), 700.0);  // the pauses a sync makes after its first write
}

TEST(ChannelSync, ProtocolWithoutSyncMessageSendsNothing) {
    BareProtocol bare;
    FakeChannel c(&bare);
    c.start();
    EXPECT_EQ(c.sync(), 0);
    EXPECT_EQ(c.writeCount(), 0u);
}

TEST(ChannelRoundTrip, ResponderAnswersThroughAllThreads) {
    Recorder rec;
    InterchipProtocol proto;
    FakeChannel c(&proto);
    rec.listen(c);
    c.setResponder([](FakeChannel& ch, const Bytes& frame) {
        if (frame.size() < 4) return;
        Bytes reply = frame;
        reply[2] = 0x02;  // same length, answer command
        uint8_t cs = 0;
        for (size_t i = 0; i + 1 < reply.size(); ++i) cs ^= reply[i];
        reply[reply.size() - 1] = cs;
        ch.feed(reply);
    });
    c.start();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(c.send(msg(0xF8, {static_cast<uint8_t>(i)})), RESULT_OK);
        ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, static_cast<size_t>(i + 1)));
    }
    auto m = rec.of(EVT_MESSAGE);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(payloadOf(m[i].message), Bytes({static_cast<uint8_t>(i)}));
}

TEST(ChannelCallerRead, AWaitingAnswerIsReadWithoutAWaitUntilALookFindsNothing) {
    Recorder rec;
    InterchipProtocol proto;
    FakeChannel ch(&proto);
    rec.listen(ch);
    ch.letCallersRead();
    ch.start();
    const Bytes answer = {0x10, 0x03, 0x02, 0x50, 0x03, 0x42};
    size_t expected = 0;
    auto request = [&] {
        ++expected;
        return ch.receiveUntil([&] { return rec.count(EVT_MESSAGE) >= expected; }, 5000);
    };

    ch.feed(answer);  // in before the caller looks: no wait
    ASSERT_TRUE(request());
    EXPECT_EQ(ch.looks(), 1);
    EXPECT_EQ(ch.callerWaits(), 0);
    ch.arriveOnWait(answer);  // the look finds nothing: the caller waits
    ASSERT_TRUE(request());
    EXPECT_EQ(ch.looks(), 2);
    EXPECT_EQ(ch.callerWaits(), 1);
    // From then on the caller waits first, and looks again on the 16th request.
    for (uint32_t i = 1; i < Channel::LOOK_FIRST_RETRY; ++i) {
        ch.feed(answer);
        ASSERT_TRUE(request());
    }
    EXPECT_EQ(ch.looks(), 2);
    EXPECT_EQ(ch.callerWaits(), static_cast<int>(Channel::LOOK_FIRST_RETRY));
    ch.feed(answer);
    ASSERT_TRUE(request());
    EXPECT_EQ(ch.looks(), 3);
    EXPECT_EQ(ch.callerWaits(), static_cast<int>(Channel::LOOK_FIRST_RETRY));
}
