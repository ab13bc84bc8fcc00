#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "NetTestUtil.h"
#include "net/ControlEndpoint.h"
#include "net/Endpoint.h"
#include "net/InterchipProtocol.h"

using namespace zorn::net;
using namespace tests::net;

namespace {

// An endpoint on a fake channel whose scripted peer answers each frame.
class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        channel.start();
        endpoint.bindChannel(&channel);
        rec.listen(channel);  // after the endpoint: what it records, the endpoint has seen
    }
    void TearDown() override {
        channel.setResponder(nullptr);
        channel.stop();
        endpoint.unbindChannel();
    }
    // The peer answers every request with these bytes.
    void answerWith(const Bytes& reply) {
        channel.setResponder([reply](FakeChannel& ch, const Bytes&) { ch.feed(reply); });
    }

    Recorder rec;
    InterchipProtocol proto;
    FakeChannel channel{&proto};
    ControlEndpoint endpoint;
};

}  // namespace

TEST(EndpointUnbound, EverythingFailsAtOnce) {
    ControlEndpoint e;
    EXPECT_EQ(e.getChannel(), nullptr);
    MessagePtr out;
    auto t0 = Clock::now();
    EXPECT_EQ(e.request(out, 0xF8, nullptr, 0, 20000), RESULT_OPERATION_FAIL);
    EXPECT_EQ(e.request(out, 0xF8, nullptr, 0, 20000, RequestKind{AnswerShape::of(2), Motion::Stops}),
              RESULT_OPERATION_FAIL);
    EXPECT_LT(msSince(t0), 10000.0);  // long before either time-out
    e.unbindChannel();
}

// The endpoint listens to frames, bad frames and the medium's loss; the
// test's recorder holds the other five handlers.
TEST_F(EndpointTest, BindRegistersThreeHandlersAndTwiceStillThree) {
    const size_t recorder = 5;
    const uint32_t heard[] = {EVT_MESSAGE, EVT_BAD_FRAME, EVT_CHANNEL_BROKEN};
    for (int bind = 0; bind < 2; ++bind) {
        if (bind == 1) endpoint.bindChannel(&channel);
        EXPECT_EQ(channel.handlerCount(), recorder + 3);
        for (uint32_t c : heard) EXPECT_EQ(channel.handlerCount(c), 2u);
    }
    EXPECT_EQ(endpoint.getChannel(), &channel);
    endpoint.unbindChannel();
    EXPECT_EQ(channel.handlerCount(), recorder);
    EXPECT_EQ(endpoint.getChannel(), nullptr);
}

TEST(EndpointLifecycle, DestructionUnregistersFromTheChannel) {
    InterchipProtocol proto;
    FakeChannel channel(&proto);
    {
        Endpoint e;
        e.bindChannel(&channel);
        EXPECT_EQ(channel.handlerCount(), 3u);
    }
    EXPECT_EQ(channel.handlerCount(), 0u);
}

TEST_F(EndpointTest, RequestGetsTheAnswer) {
    answerWith(frame(ANS_OK, {0x50, 0x03}));
    MessagePtr out;
    const uint8_t arg = 0x30;
    EXPECT_EQ(endpoint.request(out, 0xF8, &arg, 1, 1000), RESULT_OK);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->cmd, ANS_OK);
    EXPECT_EQ(payloadOf(out), Bytes({0x50, 0x03}));
    ASSERT_EQ(channel.writeCount(), 1u);
    EXPECT_EQ(hex(channel.written()[0]), "10 02 F8 30 DA");
}

TEST_F(EndpointTest, SilenceTimesOutAfterAboutOneSecond) {
    MessagePtr out;
    auto t0 = Clock::now();
    EXPECT_EQ(endpoint.request(out, 0xF8, nullptr, 0, 1000), RESULT_OPERATION_TIMEOUT);
    double ms = msSince(t0);
    EXPECT_GE(ms, 990.0);
    EXPECT_LT(ms, 2000.0);  // not a second wait
    EXPECT_EQ(channel.writeCount(), 1u);
}

TEST_F(EndpointTest, ErrorAnswers) {
    MessagePtr out;
    answerWith(frame(ANS_ERROR, {0x00, 0x80}));
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 1000), RESULT_OPERATION_NOT_SUPPORT);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->cmd, ANS_ERROR);  // still handed over
    out.reset();
    answerWith(frame(ANS_ERROR, {0x01, 0x00}));
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 1000), RESULT_OPERATION_FAIL);
    ASSERT_TRUE(out);
    EXPECT_EQ(payloadOf(out), Bytes({0x01, 0x00}));
    answerWith(frame(ANS_ERROR, {0x00}));
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 1000), RESULT_OPERATION_FAIL);
    answerWith(frame(ANS_ERROR, {}));
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 1000), RESULT_OPERATION_FAIL);
    answerWith(frame(ANS_ERROR, {0x80, 0x00}));  // big-endian 0x8000 is not "not supported"
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 1000), RESULT_OPERATION_FAIL);
}

TEST_F(EndpointTest, UnsolicitedMessagesAreNotTakenAsAnswers) {
    answerWith(frame(0x07, {0xAA}));
    MessagePtr out;
    const RequestKind twoBytes{AnswerShape::of(2), Motion::None}, oneByte{AnswerShape::of(1), Motion::None};
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 300, twoBytes), RESULT_OPERATION_TIMEOUT);
    ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, 1));
    EXPECT_EQ(rec.of(EVT_MESSAGE)[0].message->cmd, 0x07);

    // Unsolicited first, then the answer in the same chunk.
    Bytes both = frame(0x07, {0xBB});
    Bytes ans = frame(ANS_OK, {0x01});
    both.insert(both.end(), ans.begin(), ans.end());
    answerWith(both);
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 1000, oneByte), RESULT_OK);
    EXPECT_EQ(payloadOf(out), Bytes({0x01}));
    ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, 3));
}

// A frame the checksum rejects never completes a request with its bytes.
// While a request awaits its answer (nothing owed) it may be noise before a
// good answer, which is still taken; when no good answer follows within a
// short grace, the request fails as invalid data instead of costing the
// whole time-out. While an answer is owed, it is taken for that one. Either
// way it is counted.
TEST_F(EndpointTest, ABadFrameFailsTheAwaitedRequestSoon) {
    Bytes bad = frame(ANS_OK, {0x01});
    bad.back() ^= 0xFF;
    answerWith(bad);
    MessagePtr out;
    const auto started = Clock::now();
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 5000), RESULT_INVALID_DATA);
    EXPECT_LT(msSince(started), 4000);
    ASSERT_TRUE(rec.waitFor(EVT_BAD_FRAME, 1));
    EXPECT_EQ(endpoint.corruptedFrames(), 1u);
    // Noise, then the good answer: taken.
    const RequestKind oneByte{AnswerShape::of(1), Motion::None};
    channel.setResponder([bad](FakeChannel& ch, const Bytes&) {
        ch.feed(bad);
        ch.feed(frame(ANS_OK, {0x11}));
    });
    EXPECT_EQ(endpoint.request(out, 2, nullptr, 0, 5000, oneByte), RESULT_OK);
    EXPECT_EQ(payloadOf(out), Bytes({0x11}));
    // An owed answer that arrives corrupted is the owed one's.
    channel.setResponder(nullptr);
    EXPECT_EQ(endpoint.request(out, 3, nullptr, 0, 100), RESULT_OPERATION_TIMEOUT);
    channel.setResponder([bad](FakeChannel& ch, const Bytes&) {
        ch.feed(bad);
        ch.feed(frame(ANS_OK, {0x22}));
    });
    EXPECT_EQ(endpoint.request(out, 4, nullptr, 0, 5000, oneByte), RESULT_OK);
    EXPECT_EQ(payloadOf(out), Bytes({0x22}));
    EXPECT_EQ(endpoint.corruptedFrames(), 3u);
}

TEST_F(EndpointTest, LateAnswerThenNewRequest) {
    // First request: the answer comes after the time-out.
    MessagePtr out;
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 100), RESULT_OPERATION_TIMEOUT);
    channel.feed(frame(ANS_OK, {0xEE}));
    ASSERT_TRUE(rec.waitFor(EVT_MESSAGE, 1));  // the late answer arrived and signalled
    // The next request forgets that signal and takes its own answer.
    answerWith(frame(ANS_OK, {0x11}));
    EXPECT_EQ(endpoint.request(out, 2, nullptr, 0, 1000), RESULT_OK);
    EXPECT_EQ(payloadOf(out), Bytes({0x11}));
    // Without an answer the next one times out instead of taking a stale one.
    channel.setResponder(nullptr);
    EXPECT_EQ(endpoint.request(out, 3, nullptr, 0, 100), RESULT_OPERATION_TIMEOUT);
}

// The answer rule: a request that ended without its answer leaves it owed;
// an answer is only ever taken for the request it answers. Each row: a first
// request that gets no answer in time, then what the base sends while a
// second request waits, and what that second request must get. Sizes are
// the answers' payload sizes; the base answers in order.
TEST_F(EndpointTest, AnAnswerIsOnlyTakenForTheRequestItAnswers) {
    const Bytes late9(9, 0xEE), own0, own2 = {0x11, 0x22}, late2 = {0xEE, 0xEE};
    struct Row {
        const char* what;
        uint32_t firstSize, secondSize;   // the answers the two requests expect
        std::vector<Bytes> sentDuringSecond;  // ANS_OK payloads, in order
        bool secondAnswered;
        Bytes secondGets;
        uint64_t dropped;
    };
    const Row rows[] = {
        {"a late reading, then the stop's own answer", 9, 0, {late9, own0}, true, own0, 1},
        {"a late reading while a stop waits in vain", 9, 0, {late9}, false, {}, 1},
        {"the owed reading was lost: the stop's answer is its own", 9, 0, {own0}, true, own0, 0},
        {"a late answer of the same size, then the own one", 2, 2, {late2, own2}, true, own2, 1},
        {"one of the same size only: it may be the late one", 2, 2, {late2}, false, {}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const uint64_t droppedBefore = endpoint.droppedAnswers();
        channel.setResponder(nullptr);
        MessagePtr out;
        const RequestKind first{AnswerShape::of(row.firstSize), Motion::None};
        ASSERT_EQ(endpoint.request(out, 1, nullptr, 0, 100, first), RESULT_OPERATION_TIMEOUT);
        const std::vector<Bytes> sent = row.sentDuringSecond;
        channel.setResponder([sent](FakeChannel& ch, const Bytes&) {
            for (const Bytes& payload : sent) ch.feed(frame(ANS_OK, payload));
        });
        out.reset();
        const RequestKind second{AnswerShape::of(row.secondSize), Motion::None};
        const int32_t result = endpoint.request(out, 2, nullptr, 0, 300, second);
        EXPECT_EQ(result, row.secondAnswered ? RESULT_OK : RESULT_OPERATION_TIMEOUT);
        if (row.secondAnswered) {
            EXPECT_EQ(payloadOf(out), row.secondGets);
        }
        EXPECT_EQ(endpoint.droppedAnswers() - droppedBefore, row.dropped);
        // Whatever happened, the request after is whole again: nothing owed
        // outlives a request that dropped an answer in doubt.
        channel.setResponder([](FakeChannel& ch, const Bytes&) { ch.feed(frame(ANS_OK, {0x33, 0x44})); });
        ASSERT_EQ(endpoint.request(out, 3, nullptr, 0, 5000, RequestKind{AnswerShape::of(2), Motion::None}), RESULT_OK);
        EXPECT_EQ(payloadOf(out), Bytes({0x33, 0x44}));
    }
}

TEST_F(EndpointTest, AnOwedAnswerLapsesAfterAFurtherTimeOut) {
    MessagePtr out;
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 100), RESULT_OPERATION_TIMEOUT);
    // Long past the first request's time-out and the grace after it.
    EXPECT_EQ(endpoint.request(out, 2, nullptr, 0, 250), RESULT_OPERATION_TIMEOUT);
    answerWith(frame(ANS_OK, {0x11}));
    EXPECT_EQ(endpoint.request(out, 3, nullptr, 0, 300), RESULT_OPERATION_TIMEOUT);  // owed to request 2
    EXPECT_EQ(endpoint.request(out, 4, nullptr, 0, 5000), RESULT_OK);
}

// A stop asked for just before a request is written (the hook lands it
// inside that window) holds back everything but the stop; the stop's wait
// ends early only when cut on its own.
TEST_F(EndpointTest, AStopRequestHoldsBackEveryRequestButTheStop) {
    CancelToken& token = endpoint.cancelToken();
    endpoint.setBeforeWriteHook([&token] { token.requestStop(); });
    answerWith(frame(ANS_OK, {}));
    MessagePtr out;
    const RequestKind moves{AnswerShape::of(0), Motion::Moves}, stops{AnswerShape::of(0), Motion::Stops};
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 300, moves), RESULT_OPERATION_FAIL);
    EXPECT_EQ(endpoint.request(out, 2, nullptr, 0, 300, RequestKind()), RESULT_OPERATION_FAIL);
    EXPECT_TRUE(channel.written().empty());
    EXPECT_EQ(endpoint.request(out, 3, nullptr, 0, 5000, stops), RESULT_OK);
    EXPECT_EQ(channel.written().size(), 1u);
    EXPECT_TRUE(token.stopWritten());
    // A stop the base leaves unanswered: the stop request does not end its
    // wait, a cut does.
    endpoint.setBeforeWriteHook(nullptr);
    channel.setResponder([&token](FakeChannel&, const Bytes&) { token.cutStopWait(); });
    const auto started = Clock::now();
    EXPECT_EQ(endpoint.request(out, 4, nullptr, 0, 5000, stops), RESULT_OPERATION_FAIL);
    EXPECT_LT(msSince(started), 4000);
    token.clear();
}

TEST_F(EndpointTest, InfiniteWaitOutlastsOneSecond) {
    std::thread delayed;
    channel.setResponder([&delayed](FakeChannel& ch, const Bytes&) {
        delayed = std::thread([&ch] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            ch.feed(frame(ANS_OK, {0x42}));
        });
    });
    MessagePtr out;
    auto t0 = Clock::now();
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, ENDPOINT_WAIT_INFINITE), RESULT_OK);
    EXPECT_GE(msSince(t0), 1100.0);
    EXPECT_EQ(payloadOf(out), Bytes({0x42}));
    delayed.join();
}

TEST_F(EndpointTest, SendFailuresPassThrough) {
    channel.setWriteResult(RESULT_OPERATION_TIMEOUT);
    MessagePtr out;
    auto t0 = Clock::now();
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 20000), RESULT_OPERATION_TIMEOUT);
    channel.setWriteResult(RESULT_OPERATION_FAIL);
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 20000), RESULT_OPERATION_FAIL);
    EXPECT_LT(msSince(t0), 10000.0);  // failed at the send, no wait for an answer
}

TEST_F(EndpointTest, ConcurrentRequestsAreSerialised) {
    // The peer answers with the request's own command as payload.
    channel.setResponder([](FakeChannel& ch, const Bytes& f) { ch.feed(frame(ANS_OK, {f[2]})); });
    std::vector<std::future<bool>> workers;
    for (uint8_t t = 0; t < 4; ++t) {
        workers.push_back(std::async(std::launch::async, [this, t] {
            for (int i = 0; i < 25; ++i) {
                MessagePtr out;
                uint8_t cmd = static_cast<uint8_t>(0x40 + t);
                if (endpoint.request(out, cmd, nullptr, 0, 2000) != RESULT_OK) return false;
                if (payloadOf(out) != Bytes({cmd})) return false;
            }
            return true;
        }));
    }
    for (auto& w : workers) EXPECT_TRUE(w.get());
}

// A medium that is lost (the base closed the connection) fails the request
// waiting at once, and every later one without writing it.
TEST_F(EndpointTest, ALostLinkFailsTheWaitingRequestAtOnceAndEveryLaterOne) {
    channel.setResponder([](FakeChannel& ch, const Bytes&) { ch.feedEof(); });
    MessagePtr out;
    const auto started = Clock::now();
    EXPECT_EQ(endpoint.request(out, 1, nullptr, 0, 5000), RESULT_OPERATION_FAIL);
    EXPECT_LT(msSince(started), 4000);
    EXPECT_TRUE(endpoint.linkBroken());
    const size_t written = channel.written().size();
    EXPECT_EQ(endpoint.request(out, 2, nullptr, 0, 5000), RESULT_OPERATION_FAIL);
    EXPECT_EQ(channel.written().size(), written);
}
