// The drive loop's schedule and stops against a model of a slow line: a
// scripted base behind a fake line on which every request takes its round
// trip, in fake time. A 115,200-baud line behind a USB adapter with a
// 16 ms latency timer answers each request after about 17 ms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "console/drive/DriveController.h"
#include "console/drive/DriveLoop.h"
#include "console/drive/DriveReadings.h"
#include "drv/MotionGuard.h"
#include "lib/BaseOverLink.h"
#include "tests/support/ScriptedDriverRig.h"

namespace zorn {
namespace orbitane {
namespace test {
namespace {

using tests::support::Millis;
using tests::support::ScriptedDriverRig;
using zorn::drv::MotionGuard;
using namespace zorn::drv;

constexpr int64_t MS = 1000000;

// One request as the line carried it.
struct Sent {
    double ms = 0;  // fake time since the start
    uint8_t code = 0;
    std::vector<uint8_t> args;
    // The forward speed of a velocity request.
    double vx() const {
        int32_t word = 0;
        if (args.size() >= 4) std::memcpy(&word, args.data(), 4);
        return word / 65536.0;
    }
    bool zeroVelocity() const {
        return code == REQ_SET_VELOCITY && args == std::vector<uint8_t>(args.size(), 0);
    }
};

// The drive loop on the fake line: keys at fake times, the loop stepped at
// its own wake-up times, the bumper bits a function of the time.
struct DriveRig : ScriptedDriverRig {
    DriveSettings settings;
    std::unique_ptr<DriveController> controller;
    std::unique_ptr<DriveReadings> readings;
    std::optional<::orbitane::Base> client;  // the library's Base over the rig's link
    std::unique_ptr<DriveLoop> loop;
    std::multimap<int64_t, DriveKey> keys;  // when (ns on the clock), which
    // The bumper bits the base reports at a time (ms since the start).
    std::function<uint32_t(double)> bumper = [](double) { return 0u; };
    uint32_t bitsScripted = ~0u;
    // Runs after each key is given to the controller.
    std::function<void(DriveKey)> afterKey = [](DriveKey) {};
    // The bits the controller knew after each request: when (ms), which.
    std::vector<std::pair<double, uint32_t>> bitsSeen;

    explicit DriveRig(Millis roundTrip) {
        client.emplace(::orbitane::detail::baseOverLink(link, "tcp:127.0.0.1:11331", MotionGuard::Hooks(), false));
        line.latency(roundTrip);
        nivo::system::config::Pose front;
        front.x = 0.15;
        controller.reset(new DriveController(settings, [this] { return clockNs(); },
                                             {guardFor("bumper #0", 0, front)}));
        readings.reset(new DriveReadings(&*client, nullptr, 0.34, clock));
        DriveLoop::Hooks hooks;
        hooks.readInput = [this] { between(); };
        loop.reset(new DriveLoop(*controller, *readings, hooks));
        scriptBumper();
    }

    int64_t clockNs() const { return zorn::net::nanos(clock.now().time_since_epoch()); }
    int64_t at(double ms) const {
        return zorn::net::nanos(clock.at(Millis(0)).time_since_epoch()) + static_cast<int64_t>(ms * MS);
    }
    double ms() const { return (clockNs() - at(0)) / 1e6; }

    // A key held as terminal auto-repeat holds it: one every 33 ms.
    void hold(DriveKey key, double fromMs, double toMs) {
        for (double t = fromMs; t <= toMs; t += 33) keys.emplace(at(t), key);
    }
    void press(DriveKey key, double atMs) { keys.emplace(at(atMs), key); }

    void scriptBumper() {
        const uint32_t bits = bumper(ms());
        if (bits == bitsScripted) return;
        base.answerRecord(REQ_GET_BUMPER_DATA, base_bumper_data_response_t{bits});
        bitsScripted = bits;
    }
    // Between two requests: the keys that came, the base's bits now.
    void between() {
        while (!keys.empty() && keys.begin()->first <= clockNs()) {
            const DriveKey key = keys.begin()->second;
            keys.erase(keys.begin());
            controller->onKey(key);
            afterKey(key);
        }
        scriptBumper();
        bitsSeen.emplace_back(ms(), controller->triggeredBits());
    }
    void runUntil(double endMs) {
        const int64_t end = at(endMs);
        while (clockNs() < end) {
            between();
            loop->step();
            int64_t next = std::min(loop->wakeAt(), end);
            if (!keys.empty()) next = std::min(next, keys.begin()->first);
            // The bits change on the base's side whether asked or not.
            next = std::min(next, clockNs() + MS);
            clock.advanceTo(zorn::net::TimePoint(std::chrono::nanoseconds(std::max(next, clockNs() + 1))));
        }
    }

    std::vector<Sent> sent() const {
        std::vector<Sent> out;
        for (const auto& w : line.writes()) {
            if (w.bytes.size() < 5 || w.bytes[2] != CMD_CONTROL_BUS) continue;
            Sent s;
            s.ms = std::chrono::duration<double, std::milli>(w.at - clock.at(Millis(0))).count();
            s.code = w.bytes[3];
            s.args.assign(w.bytes.begin() + 4, w.bytes.end() - 1);
            out.push_back(s);
        }
        return out;
    }
    std::vector<Sent> sent(uint8_t code, double fromMs = 0, double toMs = 1e12) const {
        std::vector<Sent> out;
        for (const Sent& s : sent()) {
            if (s.code == code && s.ms >= fromMs && s.ms <= toMs) out.push_back(s);
        }
        return out;
    }
};

// The largest gap between consecutive requests of a list (ms).
double largestGap(const std::vector<Sent>& list) {
    double largest = 0;
    for (size_t i = 1; i < list.size(); ++i) largest = std::max(largest, list[i].ms - list[i - 1].ms);
    return largest;
}

// The same over a window: a request that stops coming is a gap to its end.
double largestGap(const std::vector<Sent>& list, double fromMs, double toMs) {
    double largest = 0, previous = fromMs;
    for (const Sent& s : list) {
        if (s.ms < fromMs || s.ms > toMs) continue;
        largest = std::max(largest, s.ms - previous);
        previous = s.ms;
    }
    return std::max(largest, toMs - previous);
}

// Driving for 13 s: the velocity every period, the bumper every period
// after it, the other readings only in the time left over, and nothing
// that fails on a healthy line, at 1 ms and at 17 ms round trips.
TEST(DriveSchedule, VelocityAndBumperEveryPeriodReadingsInTheTimeLeftNoFailures) {
    const struct {
        int roundTripMs;
        bool readingsKeepUp;  // every reading refreshed within its interval while driving
    } rows[] = {{1, true}, {17, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.roundTripMs);
        DriveRig rig{Millis(row.roundTripMs)};
        rig.hold(DriveKey::Forward, 500, 13500);
        rig.runUntil(1000);
        const long leftOutBefore = rig.readings->leftOut();
        rig.runUntil(13500);
        std::vector<Sent> moving;
        for (const Sent& s : rig.sent(REQ_SET_VELOCITY)) {
            if (s.vx() > 0) moving.push_back(s);
        }
        ASSERT_GT(moving.size(), 250u);
        EXPECT_LE(largestGap(moving), 45.01) << "the velocity every period";
        EXPECT_LE(largestGap(rig.sent(REQ_GET_BUMPER_DATA), 1000, 13000), 45.01) << "the bumper every period";
        EXPECT_EQ(rig.readings->failures(), 0);
        EXPECT_EQ(rig.readings->timeouts(), 0);
        EXPECT_EQ(rig.readings->velocitiesHeldBack(), 0);
        const std::vector<Sent> motor = rig.sent(REQ_GET_MOTOR_DATA, 1000, 13000);
        if (row.readingsKeepUp) {
            EXPECT_LE(largestGap(motor), 100 + 45.01);
            EXPECT_EQ(rig.readings->leftOut(), leftOutBefore);
        } else {
            // Velocity and bumper fill the period: the rest are left out, and said to be.
            EXPECT_TRUE(motor.empty());
            EXPECT_GT(rig.readings->leftOut() - leftOutBefore, 100);
        }
    }
}

// A reading is asked for only when its own round trip fits before the
// next velocity: a 25 ms distance reading never follows a 10 ms velocity
// and a 10 ms bumper reading in a 45 ms period, a 10 ms odometer does.
TEST(DriveSchedule, AReadingGoesOnlyWhenItsOwnRoundTripFits) {
    DriveRig rig{Millis(10)};
    rig.line.latencyFor(REQ_GET_SENSOR_DATA, Millis(25));
    rig.hold(DriveKey::Forward, 1000, 6000);
    rig.runUntil(6000);
    EXPECT_GE(rig.sent(REQ_GET_SENSOR_DATA, 0, 1000).size(), 5u) << "read while standing";
    EXPECT_TRUE(rig.sent(REQ_GET_SENSOR_DATA, 1100, 6000).empty()) << "never while driving";
    EXPECT_GE(rig.sent(REQ_GET_MOTOR_DATA, 1100, 6000).size(), 30u);
    EXPECT_LE(largestGap(rig.sent(REQ_SET_VELOCITY, 1100, 6000)), 45.01);
    EXPECT_EQ(rig.readings->failures(), 0);
}

// The base stops answering velocity requests: no velocity request waits
// past the next period, and the zero after the release goes out on time
// all the same. Answers lost from before the release: three velocity
// requests in a row fail, the link is given up and its last zero goes out
// at once, before the release. One lost as the dead man comes: the brake
// ramp's velocity is held back for its owed answer, the zero is not.
TEST(DriveSchedule, AnUnansweredVelocityNeverDelaysTheZero) {
    const double lastKey = 500 + 33 * static_cast<int>((3500 - 500) / 33);
    const struct {
        const char* what;
        double fromMs;   // velocity answers lost from then on
        int lost;        // how many
        bool silent;     // the base's script goes silent instead
        bool linkLost;
    } rows[] = {
        {"answers lost from 2.3 s", 2300, 1000000, false, true},
        {"base silent from 2.3 s", 2300, 0, true, true},
        {"an answer lost at the dead man", lastKey + 400, 1, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DriveRig rig{Millis(17)};
        rig.hold(DriveKey::Forward, 500, 3500);
        rig.runUntil(row.fromMs);
        if (row.silent) {
            rig.base.silence(REQ_SET_VELOCITY);
        } else {
            rig.line.loseReplies(REQ_SET_VELOCITY, row.lost);
        }
        rig.runUntil(5000);
        // The first zero after the last velocity that moved the base.
        double lastMove = -1, zero = -1;
        for (const Sent& s : rig.sent(REQ_SET_VELOCITY)) {
            if (s.vx() > 0) {
                lastMove = s.ms;
                zero = -1;
            } else if (zero < 0 && s.zeroVelocity() && lastMove >= 0) {
                zero = s.ms;
            }
        }
        ASSERT_GE(zero, 0);
        EXPECT_LE(zero - lastKey, 500.01);
        EXPECT_EQ(rig.controller->linkLost(), row.linkLost);
        // Whatever waits for an answer gives up before the next period.
        const std::vector<Sent> all = rig.sent();
        for (size_t i = 0; i + 1 < all.size(); ++i) {
            if (all[i].code == REQ_SET_VELOCITY && all[i].ms > row.fromMs) {
                EXPECT_LE(all[i + 1].ms - all[i].ms, 45.01) << "after the velocity at " << all[i].ms;
            }
        }
    }
}

// A velocity whose predecessor's answer is still owed (it comes after its
// period) is held back, never waited for: the bumper is read meanwhile, and
// the velocity goes again once the late answer is in.
TEST(DriveSchedule, AVelocityWhoseAnswerIsOwedIsHeldBackNotWaitedFor) {
    DriveRig rig{Millis(17)};
    rig.hold(DriveKey::Forward, 500, 4000);
    rig.runUntil(2000);
    rig.line.latencyOnce(REQ_SET_VELOCITY, Millis(60));
    rig.runUntil(3000);
    EXPECT_EQ(rig.readings->velocitiesHeldBack(), 1);
    EXPECT_EQ(rig.readings->failures(), 1) << "the late one";
    EXPECT_FALSE(rig.controller->linkLost());
    EXPECT_LE(largestGap(rig.sent(REQ_GET_BUMPER_DATA), 1900, 3000), 90.01) << "one period missed at most";
    // Sent as soon as the late answer was read in (by the bumper request after
    // it), not a whole period later.
    EXPECT_LE(largestGap(rig.sent(REQ_SET_VELOCITY, 1900, 3000)), 62.01);
}

// Space and q write the zero at once, once the request in progress has
// ended: within a round trip, or within the period when that request's
// answer never comes.
TEST(DriveSchedule, AStopKeyWritesTheZeroAfterTheRequestInProgress) {
    const struct {
        DriveKey key;
        bool answerLost;  // the velocity in progress is never answered
        double within;
    } rows[] = {{DriveKey::EmergencyStop, false, 17}, {DriveKey::Quit, false, 17},
                {DriveKey::EmergencyStop, true, 45}, {DriveKey::Quit, true, 45}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key == DriveKey::Quit ? "q" : "space") + (row.answerLost ? ", answer lost" : ""));
        DriveRig rig{Millis(17)};
        rig.hold(DriveKey::Forward, 500, 3000);
        rig.runUntil(2200);
        if (row.answerLost) rig.line.loseReplies(REQ_SET_VELOCITY, 1);
        rig.press(row.key, 2207);
        rig.runUntil(2400);
        double zero = -1;
        for (const Sent& s : rig.sent(REQ_SET_VELOCITY, 2207)) {
            if (s.zeroVelocity()) {
                zero = s.ms;
                break;
            }
        }
        ASSERT_GE(zero, 0);
        EXPECT_LE(zero - 2207, row.within + 0.01);
    }
}

// A stop whose answer comes late leaves a stop's answer owed, and the link
// then writes nothing but stops; it reads what arrived only when a request
// is made. The zero goes out again to read that answer in: the bumper is
// back within three periods, not after the link's 3 s lapse.
TEST(DriveSchedule, AnOwedStopAnswerIsReadInByAnotherStop) {
    DriveRig rig{Millis(17)};
    rig.hold(DriveKey::Forward, 500, 2100);
    // The zero that space sends is answered after its time-out.
    rig.afterKey = [&rig](DriveKey key) {
        if (key == DriveKey::EmergencyStop) rig.line.latencyOnce(REQ_SET_VELOCITY, Millis(40));
    };
    rig.press(DriveKey::EmergencyStop, 2207);
    rig.runUntil(4000);
    EXPECT_LE(largestGap(rig.sent(REQ_GET_BUMPER_DATA), 2100, 4000), 135.01);
    EXPECT_TRUE(rig.controller->stopAcknowledged());
    EXPECT_GE(rig.sent(REQ_GET_MOTOR_DATA, 2500, 4000).size(), 10u) << "the readings go on";
}

// A base that refuses the stop: the link is alive, so the readings go on
// and nothing counts as lost; the zero is sent again every period, and the
// view knows the base's code.
TEST(DriveSchedule, ARefusedStopIsRetriedEveryPeriodWhileTheReadingsGoOn) {
    DriveRig rig{Millis(1)};
    rig.hold(DriveKey::Forward, 500, 2000);
    rig.runUntil(1500);
    rig.base.fail(REQ_SET_VELOCITY, 7);
    rig.runUntil(5000);
    EXPECT_FALSE(rig.controller->linkLost());
    EXPECT_TRUE(rig.loop->state().refused);
    EXPECT_TRUE(rig.loop->state().refusedZero);
    EXPECT_TRUE(rig.loop->state().stopInDoubt);
    EXPECT_EQ(rig.loop->state().refusal.baseCode, 7);
    std::vector<Sent> zeros;
    for (const Sent& s : rig.sent(REQ_SET_VELOCITY, 3000, 5000)) {
        if (s.zeroVelocity()) zeros.push_back(s);
    }
    EXPECT_GE(zeros.size(), 43u);
    EXPECT_LE(largestGap(zeros), 45.01);
    EXPECT_GE(rig.sent(REQ_GET_MOTOR_DATA, 3000, 5000).size(), 15u);
}

// The bumper is read every period: at 17 ms round trips, while driving,
// no pulse of 150 ms is missed.
TEST(DriveSchedule, NoBumperPulseOf150MillisecondsIsMissed) {
    DriveRig rig{Millis(17)};
    const double first = 1000, every = 250, length = 150;
    rig.bumper = [=](double ms) {
        return ms >= first && std::fmod(ms - first, every) < length ? 1u : 0u;
    };
    rig.hold(DriveKey::Forward, 500, 15000);
    rig.runUntil(15000);
    int pulses = 0, missed = 0;
    for (double start = first; start + length < 14900; start += every, ++pulses) {
        bool seen = false;
        for (const auto& s : rig.bitsSeen) {
            seen = seen || (s.first >= start && s.first <= start + length + 17 && (s.second & 1u) != 0);
        }
        if (!seen) ++missed;
    }
    EXPECT_GE(pulses, 50);
    EXPECT_EQ(missed, 0) << "of " << pulses;
    EXPECT_FALSE(rig.sent(REQ_SET_VELOCITY, 1000).empty());
}

// The bumper is the safety reading: one slow or lost answer never keeps it
// out of the periods after it, and a contact it reports stops the base at
// once, not at the next period.
TEST(DriveSchedule, TheBumperRecoversFromASlowOrLostAnswerAndAContactStopsAtOnce) {
    const struct {
        const char* what;
        int slowMs;  // the next answer's round trip; 0: lost
    } rows[] = {{"slow", 26}, {"lost", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DriveRig rig{Millis(17)};
        rig.hold(DriveKey::Forward, 500, 4000);
        rig.runUntil(2000);
        if (row.slowMs > 0) {
            rig.line.latencyOnce(REQ_GET_BUMPER_DATA, Millis(row.slowMs));
        } else {
            rig.line.loseReplies(REQ_GET_BUMPER_DATA, 1);
        }
        rig.runUntil(3000);
        EXPECT_LE(largestGap(rig.sent(REQ_GET_BUMPER_DATA), 1900, 3000), 45.01);
        EXPECT_EQ(rig.readings->failures(), row.slowMs > 0 ? 0 : 1);
    }
    DriveRig rig{Millis(17)};
    rig.bumper = [](double ms) { return ms >= 2000 ? 1u : 0u; };
    rig.hold(DriveKey::Forward, 500, 4000);
    rig.runUntil(3000);
    const std::vector<Sent> reads = rig.sent(REQ_GET_BUMPER_DATA, 2000);
    ASSERT_FALSE(reads.empty());
    const double seen = reads.front().ms + 17;
    const std::vector<Sent> after = rig.sent(REQ_SET_VELOCITY, seen);
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(after.front().zeroVelocity());
    EXPECT_LE(after.front().ms, seen + 0.01) << "right after the answer that showed the contact";
}

// The driver's velocity request takes a time-out of its caller's.
TEST(DriveSchedule, TheVelocityRequestTakesItsCallersTimeOut) {
    const struct {
        Millis timeout;
        bool answered;
        Millis ended;
    } rows[] = {{Millis(30), false, Millis(30)}, {Millis(1000), true, Millis(100)}};
    for (const auto& row : rows) {
        ScriptedDriverRig rig;
        rig.line.latencyFor(REQ_SET_VELOCITY, Millis(100));
        const auto result = rig.driver.setVelocity(0.1, 0, 0, row.timeout);
        EXPECT_EQ(result.ok(), row.answered);
        if (!row.answered) {
            EXPECT_EQ(result.failure().cause, zorn::net::Cause::Timeout);
        }
        EXPECT_EQ(rig.now(), row.ended);
    }
}

}  // namespace
}  // namespace test
}  // namespace orbitane
}  // namespace zorn
