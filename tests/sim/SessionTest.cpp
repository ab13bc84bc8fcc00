#include <gtest/gtest.h>

#include <algorithm>

#include "drv/ControlBus.h"
#include "net/Framer.h"
#include "sim/Session.h"

using namespace zorn::orbitane::sim;

namespace {

constexpr int64_t kMs = 1000000;

class SessionTest : public ::testing::Test {
protected:
    void make(const Scenario& s, bool serial = false, size_t maxUnsentBytes = 0, size_t holdAboveUnsentBytes = 0) {
        device.reset(new BaseDevice(s, std::make_shared<ManualClock>()));
        Session::Options options;
        options.serialLine = serial;
        options.maxUnsentBytes = maxUnsentBytes;
        options.holdAboveUnsentBytes = holdAboveUnsentBytes;
        session.reset(new Session(*device, "test", options, [this](int, const std::string& line) {
            lines.push_back(line);
        }));
    }

    void SetUp() override { make(defaultScenario()); }

    void send(std::vector<uint8_t> payload, int64_t now = 0) {
        std::vector<uint8_t> bytes = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, payload);
        session->receive(bytes.data(), bytes.size(), now);
    }

    // Frames the session has ready at `now`, once it handled what it is
    // free to by then.
    std::vector<Frame> answers(int64_t now = 0) {
        session->process(now);
        std::vector<uint8_t> bytes = session->takeDue(now);
        return hostCodec.feed(bytes.data(), bytes.size());
    }

    static Scenario withFault(FaultRule rule) {
        Scenario s = defaultScenario();
        s.faults.push_back(rule);
        return s;
    }

    std::unique_ptr<BaseDevice> device;
    std::unique_ptr<Session> session;
    FrameCodec hostCodec;
    std::vector<std::string> lines;
};

TEST_F(SessionTest, AnswersRequestsAndLogsOneLineEach) {
    send({0x30});
    send({0x40, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    auto frames = answers();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_EQ(frames[0].cmd, ANS_OK);
    EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{80, 3}));
    EXPECT_EQ(frames[1].payload.size(), 0u);
    ASSERT_EQ(lines.size(), 2u);
    // The request log describes frames with the shared decoder.
    EXPECT_EQ(lines[0], "test: getStatus (0x30) -> ok, 2 bytes: battery 80 %, charging from cable");
    EXPECT_EQ(lines[1], "test: setMotor left=100 mm/s right=100 mm/s (0x40) -> ok, 0 bytes");
    EXPECT_EQ(device->requestCount(0x30), 1u);
}

TEST_F(SessionTest, StatusAnswerHasTheDocumentedWireBytes) {
    std::vector<uint8_t> request{0x10, 0x02, 0xF8, 0x30, 0xDA};
    session->receive(request.data(), request.size(), 0);
    EXPECT_EQ(session->takeDue(0), (std::vector<uint8_t>{0x10, 0x03, 0x02, 0x50, 0x03, 0x42}));
}

TEST_F(SessionTest, SyncMessagesBadFramesAndOtherCommandsGetNoAnswer) {
    const std::vector<uint8_t>& sync = zorn::net::syncFrame();
    session->receive(sync.data(), sync.size(), 0);
    session->receive(sync.data(), sync.size(), 0);

    std::vector<uint8_t> bad = FrameCodec::encode(0xF8, {0x30});
    bad.back() ^= 0x01;
    session->receive(bad.data(), bad.size(), 0);
    std::vector<uint8_t> other = FrameCodec::encode(0x05, {1, 2});
    session->receive(other.data(), other.size(), 0);
    EXPECT_TRUE(answers().empty());
    EXPECT_TRUE(device->requests().empty());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("bad frame ignored"), std::string::npos);
    EXPECT_NE(lines.back().find("message 0x05 with 2 payload bytes ignored"), std::string::npos);
    // The decoder is back in step: the next request is answered.
    send({0x30});
    EXPECT_EQ(answers().size(), 1u);
}

TEST_F(SessionTest, SilentAndRefusedRequestsAreNotExecuted) {
    Scenario s = defaultScenario();
    s.faults.push_back(FaultRule{0x40, FaultKind::Silent});
    s.faults.push_back(FaultRule{0x60, FaultKind::Unsupported});
    FaultRule error{0x5F, FaultKind::Error};
    error.errorCode = 0x0102;
    s.faults.push_back(error);
    make(s);
    send({0x40, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    send({0x60, 7});
    send(std::vector<uint8_t>(90, 0x5F));
    auto frames = answers();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].cmd, ANS_ERROR);
    EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0x00, 0x80}));
    EXPECT_EQ(frames[1].payload, (std::vector<uint8_t>{0x02, 0x01}));
    EXPECT_FALSE(device->moving());
    EXPECT_TRUE(device->events().empty());
    EXPECT_TRUE(device->getInfoAnswers().empty());
    // Received all the same, with the fault noted.
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].fault, "silent");
    EXPECT_EQ(requests[1].fault, "unsupported");
    EXPECT_EQ(requests[1].args, std::vector<uint8_t>{7});
}

TEST_F(SessionTest, LostAnswersExecuteAndAStallIgnoresEverythingAfterIt) {
    Scenario s = defaultScenario();
    s.faults.push_back(FaultRule{0x40, FaultKind::LoseAnswer});
    FaultRule stall{-1, FaultKind::Stall};
    stall.after = 2;
    s.faults.push_back(stall);
    make(s);
    send({0x40, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(device->moving());
    EXPECT_TRUE(answers().empty());
    EXPECT_FALSE(session->stalled());
    // The third request stalls the line; what follows in the same bytes is
    // never looked at.
    std::vector<uint8_t> bytes = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, {0x30});
    std::vector<uint8_t> stopPayload(17, 0);
    stopPayload[0] = 0x40;
    std::vector<uint8_t> stop = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, stopPayload);
    for (const auto* frame : {&bytes, &bytes, &stop}) session->receive(frame->data(), frame->size(), 5 * kMs);
    EXPECT_TRUE(session->stalled());
    session->receive(stop.data(), stop.size(), 6 * kMs);
    auto frames = answers(10 * kMs);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{80, 3}));
    EXPECT_TRUE(device->moving());
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].fault, "lose_answer");
    EXPECT_EQ(requests[2].fault, "stall");
    EXPECT_EQ(requests[2].atNs, 5 * kMs);
    EXPECT_NE(lines.back().find("no longer read"), std::string::npos) << lines.back();
}

TEST_F(SessionTest, CorruptedShortAndLongAnswers) {
    Scenario s = defaultScenario();
    s.faults.push_back(FaultRule{0x30, FaultKind::BadChecksum});
    s.faults.push_back(FaultRule{0x10, FaultKind::Short});  // one byte less: 27
    FaultRule shortStatus{0x31, FaultKind::Short};
    shortStatus.size = 8;
    s.faults.push_back(shortStatus);
    FaultRule longBumper{0x33, FaultKind::Long};
    s.faults.push_back(longBumper);
    make(s);
    send({0x30});
    send({0x10, 0x01});
    send({0x31});
    send({0x33});
    auto frames = answers();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_FALSE(frames[0].good);
    EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{80, 3}));
    EXPECT_TRUE(frames[1].good);
    EXPECT_EQ(frames[1].payload.size(), 27u);
    EXPECT_EQ(frames[2].payload.size(), 8u);
    EXPECT_EQ(frames[3].payload.size(), 5u);
}

TEST_F(SessionTest, FloodNoiseHidesNoFrameAndTheAnswerFollowsIt) {
    FaultRule flood{0x30, FaultKind::Flood};
    flood.size = 200000;
    flood.times = 2;
    make(withFault(flood));
    send({0x30});
    std::vector<uint8_t> first = session->takeDue(0);
    send({0x30});
    std::vector<uint8_t> second = session->takeDue(0);
    send({0x30});
    std::vector<uint8_t> third = session->takeDue(0);

    const std::vector<uint8_t> answer{0x10, 0x03, 0x02, 0x50, 0x03, 0x42};
    for (const auto* bytes : {&first, &second}) {
        ASSERT_GE(bytes->size(), 200000u + answer.size());
        // The host's decoder sees nothing but broken frames, then the answer.
        auto frames = hostCodec.feed(bytes->data(), bytes->size());
        ASSERT_FALSE(frames.empty());
        for (size_t i = 0; i + 1 < frames.size(); ++i) EXPECT_FALSE(frames[i].good) << "frame " << i;
        EXPECT_TRUE(frames.back().good);
        EXPECT_EQ(frames.back().payload, (std::vector<uint8_t>{80, 3}));
        EXPECT_TRUE(std::equal(answer.begin(), answer.end(), bytes->end() - answer.size()));
    }
    // Noise with frames in it (both length forms), and not the same twice.
    EXPECT_GT(hostCodec.feed(first.data(), first.size()).size(), 3u);
    EXPECT_NE(std::vector<uint8_t>(first.begin(), first.begin() + 1000),
              std::vector<uint8_t>(second.begin(), second.begin() + 1000));
    EXPECT_GT(std::count(first.begin(), first.end(), 0x50), 0);
    EXPECT_EQ(third, answer);  // the window has ended
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("bytes of line noise"), std::string::npos) << lines[0];
    EXPECT_EQ(device->requests()[0].fault, "flood");
}

TEST_F(SessionTest, LineNoiseIsTheSameForTheSameSeed) {
    auto a = FrameCodec::lineNoise(1 << 20, 7);
    auto b = FrameCodec::lineNoise(1 << 20, 7);
    auto c = FrameCodec::lineNoise(1 << 20, 8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GE(a.size(), 1u << 20);
    FrameCodec decoder;
    size_t good = 0, wide = 0, narrow = 0;
    for (const Frame& f : decoder.feed(a.data(), a.size())) {
        good += f.good;
        (f.length >= 256 ? wide : narrow) += 1;
    }
    EXPECT_EQ(good, 0u);
    EXPECT_GT(wide, 5u);     // 16-bit lengths, up to the largest
    EXPECT_GT(narrow, 50u);  // and 8-bit ones
    EXPECT_FALSE(decoder.midFrame());
    EXPECT_TRUE(FrameCodec::lineNoise(0, 1).empty());
}

TEST_F(SessionTest, SwallowingLengthHeaderTakesInTheNextAnswer) {
    FaultRule swallow{0x30, FaultKind::Swallow};
    swallow.extra = 13;  // exactly the motor answer frame that follows
    swallow.times = 1;
    make(withFault(swallow));
    send({0x30});
    std::vector<uint8_t> header = session->takeDue(0);
    // Flags, a length of 3 + 13, then the status answer as it was.
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 5), (std::vector<uint8_t>{0x10, 16, 0x02, 80, 3}));
    EXPECT_TRUE(hostCodec.feed(header.data(), header.size()).empty());
    EXPECT_TRUE(hostCodec.midFrame());
    send({0x31});
    std::vector<uint8_t> motor = session->takeDue(0);
    ASSERT_EQ(motor.size(), 13u);
    auto frames = hostCodec.feed(motor.data(), motor.size());
    ASSERT_EQ(frames.size(), 1u);  // one frame, the two answers run together
    EXPECT_EQ(frames[0].payload.size(), 15u);
    // The status frame's own bytes cancel out in the running checksum, so
    // the merged frame checks out with the motor frame's checksum byte.
    EXPECT_TRUE(frames[0].good);
    EXPECT_FALSE(hostCodec.midFrame());
    send({0x30});
    frames = answers();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_NE(lines[0].find("length header claims 13 more bytes"), std::string::npos) << lines[0];

    // A claim past 255 bytes switches to the 16-bit length form and stops
    // at the largest length a frame can have.
    swallow.extra = 60000;
    swallow.times = -1;
    make(withFault(swallow));
    send({0x30});
    header = session->takeDue(0);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 4), (std::vector<uint8_t>{0x50, 0x63, 0xEA, 0x02}));
    device->setFaults({[&] {
        FaultRule far = swallow;
        far.extra = 70000;
        return far;
    }()});
    send({0x30});
    header = session->takeDue(0);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 4), (std::vector<uint8_t>{0x50, 0xFF, 0xFF, 0x02}));
}

TEST_F(SessionTest, CloseFaultDropsTheRequestAndClosesTheLink) {
    FaultRule close{0x31, FaultKind::Close};
    make(withFault(close));
    send({0x30});
    EXPECT_FALSE(session->closeWanted());
    send({0x40, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    send({0x31});
    send({0x33});  // after the base hung up
    EXPECT_EQ(answers().size(), 2u);
    EXPECT_TRUE(session->closeWanted());
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2].fault, "close");
    EXPECT_EQ(requests[3].fault, "closing");
    EXPECT_NE(lines[2].find("no answer, closing the connection"), std::string::npos) << lines[2];
}

TEST_F(SessionTest, DelayedAnswersKeepTheirOrder) {
    FaultRule delay{0x31, FaultKind::Delay};
    delay.delayMs = 1500;
    make(withFault(delay));
    send({0x31}, 0);
    send({0x30}, 10 * kMs);
    EXPECT_TRUE(answers(20 * kMs).empty());
    EXPECT_EQ(session->nextDueNs(), 1500 * kMs);
    auto frames = answers(1500 * kMs);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload.size(), 9u);
    EXPECT_EQ(frames[1].payload.size(), 2u);
    EXPECT_EQ(session->nextDueNs(), -1);
}

TEST_F(SessionTest, RequestsBehindADelayedAnswerAreCarriedOutOnceItIsOut) {
    FaultRule delay{0x31, FaultKind::Delay};
    delay.delayMs = 1500;
    make(withFault(delay));
    send({0x31}, 0);
    send({0x40, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 10 * kMs);
    send({0x30}, 20 * kMs);
    // Busy with the delayed answer, the base has not started the wheels.
    EXPECT_TRUE(answers(1499 * kMs).empty());
    EXPECT_TRUE(device->motorCommands().empty());
    EXPECT_FALSE(session->wantsInput());
    EXPECT_EQ(session->nextWorkNs(0), 1500 * kMs);
    auto frames = answers(1500 * kMs);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].payload.size(), 9u);
    EXPECT_EQ(frames[1].payload.size(), 0u);
    EXPECT_EQ(frames[2].payload, (std::vector<uint8_t>{80, 3}));
    EXPECT_EQ(device->motorCommands().size(), 1u);
    // Each request is recorded with the time it came in.
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].atNs, 10 * kMs);
    EXPECT_TRUE(session->wantsInput());
}

TEST_F(SessionTest, RequestsWaitWhileTheHostLeavesItsAnswersUnread) {
    // Status answers are 6 bytes: two of them reach the bound of 12.
    make(defaultScenario(), false, 0, 12);
    for (int i = 0; i < 3; ++i) send({0x30});
    EXPECT_EQ(device->requestCount(0x30), 2u);
    EXPECT_FALSE(session->wantsInput());
    EXPECT_EQ(session->nextWorkNs(0), -1);  // only the host reading frees it
    EXPECT_EQ(session->takeDue(0).size(), 12u);
    // Handed to the link and still unread there, they hold it up as well.
    EXPECT_EQ(session->nextWorkNs(12), -1);
    EXPECT_EQ(session->nextWorkNs(6), 0);
    session->setBytesAwaitingHost(6);
    EXPECT_EQ(session->process(0), 1u);
    EXPECT_EQ(device->requestCount(0x30), 3u);
    EXPECT_TRUE(session->wantsInput());
    EXPECT_EQ(session->takeDroppedBytes(), 0u);  // nothing is lost
}

TEST_F(SessionTest, FloodNoiseIsExactlyItsSizeAndMayEndInsideAFrame) {
    const std::vector<uint8_t> answer{0x10, 0x03, 0x02, 0x50, 0x03, 0x42};
    struct Case {
        int size;
        bool endMidFrame;
    };
    for (const Case& c : {Case{3000, false}, Case{1, false}, Case{2, false}, Case{3, false}, Case{4, false},
                          Case{70000, false}, Case{3000, true}, Case{1, true}, Case{2, true}, Case{20, true}}) {
        SCOPED_TRACE(std::to_string(c.size) + (c.endMidFrame ? " ending inside a frame" : ""));
        FaultRule flood{0x30, FaultKind::Flood};
        flood.size = c.size;
        flood.endMidFrame = c.endMidFrame;
        make(withFault(flood));
        send({0x30});
        const std::vector<uint8_t> bytes = session->takeDue(0);
        ASSERT_EQ(bytes.size(), static_cast<size_t>(c.size) + answer.size());
        EXPECT_TRUE(std::equal(answer.begin(), answer.end(), bytes.end() - answer.size()));
        FrameCodec host;
        for (const Frame& f : host.feed(bytes.data(), static_cast<size_t>(c.size))) EXPECT_FALSE(f.good);
        EXPECT_EQ(host.midFrame(), c.endMidFrame);
        // Cut short, the last noise frame takes the answer in.
        const auto after = host.feed(bytes.data() + c.size, answer.size());
        const bool answered =
            !after.empty() && after.back().good && after.back().payload == std::vector<uint8_t>{80, 3};
        EXPECT_EQ(answered, !c.endMidFrame);
    }
}

TEST_F(SessionTest, AfterAndTimesSelectWhichRequestsAreHit) {
    FaultRule silent{0x30, FaultKind::Silent};
    silent.after = 2;
    silent.times = 1;
    make(withFault(silent));
    for (int i = 0; i < 4; ++i) send({0x30});
    EXPECT_EQ(answers().size(), 3u);
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2].fault, "silent");
    EXPECT_EQ(requests[3].fault, "");

    // A rule for every request with no end: silent from the third on.
    FaultRule all{-1, FaultKind::Silent};
    all.after = 2;
    make(withFault(all));
    send({0x10, 0x01});
    send({0x30});
    send({0x31});
    send({0x30});
    EXPECT_EQ(answers().size(), 2u);
}

TEST_F(SessionTest, CloseAfterCountsRequestsAndIgnoresLaterOnes) {
    Scenario s = defaultScenario();
    s.closeAfter = 2;
    FaultRule delay{0x30, FaultKind::Delay};
    delay.delayMs = 100;
    s.faults.push_back(delay);
    make(s);
    send({0x10, 0x01});
    EXPECT_FALSE(session->closeWanted());
    send({0x30});
    send({0x31});  // after the close was decided
    EXPECT_FALSE(session->closeWanted());  // the delayed answer goes out first
    EXPECT_EQ(answers(0).size(), 1u);
    EXPECT_EQ(answers(100 * kMs).size(), 1u);
    EXPECT_TRUE(session->closeWanted());
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].fault, "closing");
    EXPECT_EQ(device->motorCommands().size(), 0u);

    s.closeAfter = 0;
    make(s);
    EXPECT_TRUE(session->closeWanted());
}

TEST_F(SessionTest, SerialLineRestartsOnANewSynchronisation) {
    Scenario s = defaultScenario();
    s.closeAfter = 3;
    s.stopOnDisconnect = true;
    FaultRule once{0x30, FaultKind::Silent};
    once.times = 1;
    s.faults.push_back(once);
    make(s, true);
    const std::vector<uint8_t>& syncBytes = zorn::net::syncFrame();

    session->receive(syncBytes.data(), syncBytes.size(), 0);
    send({0x40, 50, 0, 0, 0, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    send({0x30});  // silent
    EXPECT_EQ(answers().size(), 1u);
    EXPECT_TRUE(device->moving());
    // The next console run: counts start again and the wheels stop.
    session->receive(syncBytes.data(), syncBytes.size(), 0);
    EXPECT_FALSE(device->moving());
    send({0x30});  // silent again: a new session
    send({0x30});
    send({0x30});
    EXPECT_EQ(answers().size(), 2u);
    EXPECT_TRUE(session->closeWanted());
}

TEST_F(SessionTest, SerialLineDropsAFrameLeftHalfWay) {
    make(defaultScenario(), true);
    std::vector<uint8_t> frame = FrameCodec::encode(0xF8, {0x30});
    session->receive(frame.data(), 2, 0);  // flags and length only
    EXPECT_EQ(session->partialFrameDeadlineNs(), 500 * kMs);
    session->receive(frame.data(), frame.size(), 600 * kMs);
    auto frames = answers(600 * kMs);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_EQ(session->partialFrameDeadlineNs(), -1);

    // Over TCP a frame may pause as long as it likes.
    make(defaultScenario(), false);
    session->receive(frame.data(), 2, 0);
    EXPECT_EQ(session->partialFrameDeadlineNs(), -1);
    session->receive(frame.data() + 2, frame.size() - 2, 5000 * kMs);
    EXPECT_EQ(answers(5000 * kMs).size(), 1u);
}

TEST_F(SessionTest, RequestSplitAcrossReadsAndSeveralInOneRead) {
    std::vector<uint8_t> a = FrameCodec::encode(0xF8, {0x30});
    std::vector<uint8_t> b = FrameCodec::encode(0xF8, {0x50});
    std::vector<uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    session->receive(both.data(), 3, 0);
    EXPECT_TRUE(answers().empty());
    session->receive(both.data() + 3, both.size() - 3, 0);
    auto frames = answers();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].payload, std::vector<uint8_t>{0});
}

TEST_F(SessionTest, AnswerPastTheUnsentLimitDropsEverythingUnsent) {
    make(defaultScenario(), false, 40);
    // Status answers are 6 bytes: three fit beside 20 bytes awaiting the host.
    session->setBytesAwaitingHost(20);
    for (int i = 0; i < 3; ++i) send({0x30});
    EXPECT_EQ(session->takeDroppedBytes(), 0u);
    send({0x30});
    EXPECT_EQ(session->takeDroppedBytes(), 20u + 4 * 6);
    EXPECT_TRUE(answers().empty());
    // What comes after is queued afresh.
    session->setBytesAwaitingHost(0);
    send({0x30});
    EXPECT_EQ(answers().size(), 1u);
    EXPECT_EQ(device->requestCount(0x30), 5u);
}

}  // namespace
