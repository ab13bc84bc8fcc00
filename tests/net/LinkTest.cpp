// The answer rule, the settle and the stop, on a fake clock: each case
// takes microseconds of real time whatever the fake time it spans.

#include <gtest/gtest.h>

#include "tests/support/LinkRig.h"

namespace tests {
namespace net {
namespace {

using namespace zorn::drv;
using namespace zorn::net;
using support::Bytes;
using support::LinkRig;
using support::Millis;
using support::ScriptedBase;

constexpr uint32_t STATUS = sizeof(base_status_response_t);
constexpr uint32_t MOTOR = sizeof(base_motor_status_response_t);

// Truth and liveness: a late or lost answer is never taken for the next
// request, and costs at most its own request plus the settle. A request
// whose answer size differs from the owed one's goes out at once.
struct LateCase {
    const char* name;
    uint8_t first;        // the request whose answer is late or lost
    int firstLatencyMs;   // -1: its answer never comes
    int statusAtMs;       // when the status request is asked for
    int statusWrittenAtMs;
    uint64_t late, lost;
};

class LateAnswers : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateAnswers, AreNeverTakenForTheNextRequest) {
    const LateCase& c = GetParam();
    LinkRig rig;
    const uint32_t firstSize = c.first == REQ_GET_STATUS ? STATUS : MOTOR;
    if (c.firstLatencyMs < 0) rig.line.loseReplies(c.first, 1);
    else rig.line.latencyOnce(c.first, Millis(c.firstLatencyMs));
    EXPECT_EQ(Cause::Timeout, rig.reading(c.first, firstSize).failure().cause);
    rig.clock.advanceTo(rig.clock.at(Millis(c.statusAtMs)));
    const auto status = rig.reading(REQ_GET_STATUS, STATUS);
    ASSERT_TRUE(status.ok()) << c.name;
    EXPECT_EQ(STATUS, status->size) << "the status answer is the status's own";
    EXPECT_EQ(80, status->payload[0]);
    EXPECT_EQ(c.statusWrittenAtMs, rig.writtenAt(REQ_GET_STATUS, c.first == REQ_GET_STATUS ? 1 : 0).count()) << c.name;
    EXPECT_EQ(c.late, rig.link.stats().lateAnswers) << c.name;
    EXPECT_EQ(c.lost, rig.link.stats().lostAnswers) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Link, LateAnswers,
    ::testing::Values(
        // Sizes tell the two answers apart: written at once, each answer to its own.
        LateCase{"late motor answer", REQ_GET_MOTOR_DATA, 2500, 2200, 2200, 1, 0},
        LateCase{"lost motor answer", REQ_GET_MOTOR_DATA, -1, 1200, 1200, 0, 1},
        // Same size: written once the owed answer came and was dropped ...
        LateCase{"late status answer", REQ_GET_STATUS, 2500, 2200, 2500, 1, 0},
        LateCase{"late status answer, asked after it", REQ_GET_STATUS, 2500, 2800, 2800, 1, 0},
        // ... or once the line settled, 3 s after the lost one was written.
        LateCase{"lost status answer", REQ_GET_STATUS, -1, 1200, 3000, 0, 1},
        LateCase{"lost status answer, asked after the settle", REQ_GET_STATUS, -1, 3100, 3100, 0, 1}),
    [](const ::testing::TestParamInfo<LateCase>& info) { return std::to_string(info.index); });

TEST(Link, ABaseThatIsAlwaysLateShowsAsTimeOutsAndSaysHowLate) {
    LinkRig rig;
    rig.line.latencyFor(REQ_GET_STATUS, Millis(1500));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Cause::Timeout, rig.reading(REQ_GET_STATUS, STATUS).failure().cause) << i;
    }
    const LinkStats stats = rig.link.stats();
    EXPECT_EQ(0u, stats.answers);
    EXPECT_EQ(3u, stats.lateAnswers) << "each late answer dropped before the next request went out";
    EXPECT_GE(stats.longestLate, Millis(1500));
}

TEST(Link, ACorruptedAnswerCostsOneRequest) {
    LinkRig rig;
    Bytes bad = ScriptedBase::frame(2, {80, 3});
    bad.back() ^= 0x01;
    rig.base.scriptOnce(REQ_GET_STATUS, support::BaseReply::raw(bad));
    const auto first = rig.reading(REQ_GET_STATUS, STATUS);
    EXPECT_EQ(Cause::Corrupted, first.failure().cause);
    EXPECT_LT(rig.now(), Millis(100)) << "failed when the corrupted answer came, not at the time-out";
    EXPECT_TRUE(rig.reading(REQ_GET_STATUS, STATUS).ok()) << "the next answer is taken";
    EXPECT_EQ(1u, rig.link.stats().corrupted);
}

// The stop: written at once, confirmed only by an answer that cannot be an
// earlier request's.
struct StopCase {
    const char* name;
    bool readingLost;     // the reading's late answer never comes
    bool earlierStop;     // the owed request is a stop rather than a reading
    bool confirmed;
};

class StopConfirmation : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopConfirmation, ComesOnlyFromAnAnswerThatCannotBeAnEarlierRequests) {
    const StopCase& c = GetParam();
    LinkRig rig;
    const uint8_t owedCode = c.earlierStop ? REQ_SET_MOTOR : REQ_GET_MOTOR_DATA;
    if (c.readingLost) rig.line.loseReplies(owedCode, 1);
    else rig.line.latencyFor(owedCode, Millis(1200));
    if (c.earlierStop) EXPECT_FALSE(rig.stopWheels().ok());
    else EXPECT_FALSE(rig.reading(REQ_GET_MOTOR_DATA, MOTOR).ok());
    rig.line.latencyFor(owedCode, Millis(1));
    const Millis asked = rig.now();
    const auto stop = rig.stopWheels();
    EXPECT_EQ(asked, rig.writtenAt(REQ_SET_MOTOR, c.earlierStop ? 1 : 0)) << "the stop never waits";
    EXPECT_EQ(c.confirmed, stop.ok()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Link, StopConfirmation,
    ::testing::Values(
        // The reading's late answer comes first and is dropped; the stop's own follows.
        StopCase{"late reading answer", false, false, true},
        // The stop's answer comes where the reading's was due: in doubt, so unconfirmed.
        StopCase{"lost reading answer", true, false, false},
        // An earlier stop's late answer: the base took a stop.
        StopCase{"late earlier stop", false, true, true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::to_string(info.index); });

TEST(Link, AnAnswerThatArrivedBeforeTheStopWasWrittenNeverConfirmsIt) {
    LinkRig rig;
    rig.line.loseReplies(REQ_SET_MOTOR, 1);
    // An empty answer the base sent unasked, waiting unread when the stop goes out.
    rig.line.inject(ScriptedBase::frame(2, {}), rig.clock.at(Millis(5)));
    rig.clock.advanceTo(rig.clock.at(Millis(10)));
    EXPECT_EQ(Cause::Timeout, rig.stopWheels().failure().cause);
    EXPECT_EQ(1u, rig.link.stats().unasked);
}

TEST(Link, ARequestWhoseAnswerSizeNoOwedAnswerHasIsWrittenAtOnce) {
    LinkRig rig;
    rig.line.loseReplies(REQ_GET_BUMPER_DATA, 1);
    EXPECT_FALSE(rig.reading(REQ_GET_BUMPER_DATA, 4, Millis(30)).ok());
    const Millis asked = rig.now();
    const auto motor = rig.reading(REQ_GET_MOTOR_DATA, MOTOR);
    ASSERT_TRUE(motor.ok());
    EXPECT_EQ(asked, rig.writtenAt(REQ_GET_MOTOR_DATA));
    EXPECT_EQ(MOTOR, motor->size);
    EXPECT_EQ(1u, rig.link.stats().lostAnswers) << "the bumper answer was lost: the motor answer says so";
}

TEST(Link, AConfirmedStopSaysTheBaseIsNoLongerMoving) {
    LinkRig rig;
    uint8_t move[17] = {REQ_SET_MOTOR, 100};
    EXPECT_TRUE(rig.link.transact(CMD_CONTROL_BUS, move, sizeof move, RequestKind{AnswerShape::of(0), Motion::Moves}));
    EXPECT_TRUE(rig.link.cancelToken().mayBeMoving());
    EXPECT_TRUE(rig.stopWheels());
    EXPECT_FALSE(rig.link.cancelToken().mayBeMoving());
}

TEST(Link, AStopRequestHoldsBackEveryRequestButTheStop) {
    LinkRig rig;
    rig.link.cancelToken().requestStop();
    EXPECT_EQ(Cause::Interrupted, rig.reading(REQ_GET_STATUS, STATUS).failure().cause);
    EXPECT_EQ(-1, rig.writtenAt(REQ_GET_STATUS).count()) << "not written";
    EXPECT_TRUE(rig.stopWheels().ok());
}

TEST(Link, AStopRequestCutsAWaitShortAndLeavesItsAnswerOwed) {
    LinkRig rig;
    rig.line.latencyFor(REQ_GET_STATUS, Millis(600));
    rig.line.at(rig.clock.at(Millis(100)), [&rig] { rig.link.cancelToken().requestStop(); });
    const auto status = rig.reading(REQ_GET_STATUS, STATUS);
    EXPECT_EQ(Cause::Interrupted, status.failure().cause);
    EXPECT_TRUE(status.failure().written);
    EXPECT_EQ(Millis(100), rig.now());
    EXPECT_TRUE(rig.stopWheels().ok()) << "the owed status answer is dropped; the stop's own follows";
    EXPECT_EQ(1u, rig.link.stats().lateAnswers);
}

TEST(Link, ALostLinkFailsTheRequestAndEveryLaterOneWithoutWritingIt) {
    for (bool serial : {false, true}) {
        LinkRig rig;
        rig.line.latencyFor(REQ_GET_STATUS, Millis(500));
        rig.line.closeAt(rig.clock.at(Millis(50)), serial);
        const Cause expected = serial ? Cause::LinkFailed : Cause::LinkClosed;
        EXPECT_EQ(expected, rig.reading(REQ_GET_STATUS, STATUS).failure().cause);
        EXPECT_EQ(Millis(50), rig.now()) << "at once, not at the time-out";
        const size_t writes = rig.line.writes().size();
        EXPECT_EQ(expected, rig.stopWheels().failure().cause);
        EXPECT_EQ(writes, rig.line.writes().size());
    }
}

TEST(Link, ErrorAnswersKeepTheBasesCode) {
    LinkRig rig;
    rig.base.fail(REQ_SET_VELOCITY, 7);
    const auto refused = rig.request(REQ_SET_VELOCITY, RequestKind{AnswerShape::of(13), Motion::Moves});
    EXPECT_EQ(Cause::Refused, refused.failure().cause);
    EXPECT_EQ(7, refused.failure().baseCode);
    EXPECT_EQ(RESULT_OPERATION_FAIL, refused.result());
    const auto unknown = rig.request(REQ_GET_BINARY_CONFIG, RequestKind{});
    EXPECT_EQ(Cause::NotSupported, unknown.failure().cause);
    EXPECT_EQ(RESULT_OPERATION_NOT_SUPPORT, unknown.result());
}

TEST(Link, AWriteThatCannotGoOutTimesOut) {
    LinkRig rig;
    rig.line.stallWrites(true);
    const auto status = rig.reading(REQ_GET_STATUS, STATUS);
    EXPECT_EQ(Cause::Timeout, status.failure().cause);
    EXPECT_FALSE(status.failure().written);
}

TEST(Link, SyncSendsTheFrameTwiceWithItsPauses) {
    LinkRig rig;
    rig.link.sync();
    ASSERT_EQ(2u, rig.line.writes().size());
    EXPECT_EQ(syncFrame(), rig.line.writes()[0].bytes);
    EXPECT_EQ(Millis(200), std::chrono::duration_cast<Millis>(rig.line.writes()[1].at - rig.line.writes()[0].at));
    EXPECT_EQ(Millis(700), rig.now());
}

}  // namespace
}  // namespace net
}  // namespace tests
