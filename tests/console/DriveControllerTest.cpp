// The drive logic against a clock that moves only when told.
#include <gtest/gtest.h>

#include "console/drive/DriveController.h"
#include "console/drive/DriveView.h"

namespace zorn {
namespace orbitane {
namespace test {
namespace {

using nivo::system::config::BaseConfig;
using nivo::system::config::Pose;
using nivo::system::config::SensorConfig;
using nivo::system::config::SensorKind;

constexpr int64_t MS = 1000000;
constexpr double PI = 3.14159265358979;

struct Rig {
    int64_t now = 1000 * MS;
    DriveSettings settings;
    std::unique_ptr<DriveController> drive;
    std::vector<BodyVelocity> sent;

    explicit Rig(std::vector<GuardSensor> guards = {}) { make(std::move(guards)); }
    void make(std::vector<GuardSensor> guards) {
        drive.reset(new DriveController(settings, [this] { return now; }, std::move(guards)));
        BodyVelocity none;
        EXPECT_FALSE(drive->tick(none));  // the view ticks from its start, standing still
    }
    // Advances the clock by `ms` and ticks; records what went out (answered).
    bool tick(int64_t ms = 50, bool answered = true) {
        now += ms * MS;
        BodyVelocity v;
        if (!drive->tick(v)) return false;
        sent.push_back(v);
        drive->onVelocitySent(v, answered);
        return true;
    }
    // Holds a key as terminal auto-repeat does: one key per tick.
    void hold(DriveKey key, int ticks) {
        for (int i = 0; i < ticks; ++i) {
            drive->onKey(key);
            tick();
        }
    }
};

Pose pose(double x, double y, double yawDeg) {
    Pose p;
    p.x = x;
    p.y = y;
    p.yaw = yawDeg * PI / 180.0;
    return p;
}

TEST(DriveController, RampIsBoundedUpAndBrakesFourTimesFaster) {
    Rig rig;
    const double up = rig.settings.accel * 0.05 + 1e-9;
    double previous = 0;
    for (int i = 0; i < 10; ++i) {
        rig.drive->onKey(DriveKey::Forward);
        rig.tick();
        const double vx = rig.drive->commanded().vx;
        EXPECT_LE(vx - previous, up);
        EXPECT_GE(vx, previous);
        previous = vx;
    }
    EXPECT_DOUBLE_EQ(rig.drive->commanded().vx, rig.drive->stepSpeed());  // 0.1 m/s reached in 0.2 s
    // Reversing brakes at the braking rate, stops at zero, then speeds up.
    rig.drive->onKey(DriveKey::Backward);
    rig.tick();
    EXPECT_NEAR(rig.drive->commanded().vx, 0.0, 1e-9);  // 0.1 - 4 * 0.5 * 0.05 = 0
    rig.drive->onKey(DriveKey::Backward);
    rig.tick();
    EXPECT_NEAR(rig.drive->commanded().vx, -0.025, 1e-9);
}

TEST(DriveController, DeadManDropsTargetTheHoldTimeAfterTheLastKey) {
    Rig rig;
    rig.hold(DriveKey::Forward, 10);
    ASSERT_GT(rig.drive->commanded().vx, 0);
    rig.tick(300);  // 350 ms after the last key: still held
    EXPECT_GT(rig.drive->target().vx, 0);
    rig.tick(50);  // 400 ms: released
    EXPECT_TRUE(rig.drive->target().isZero());
    rig.tick();
    rig.tick();
    EXPECT_TRUE(rig.drive->commanded().isZero());
    EXPECT_TRUE(rig.sent.back().isZero());
    EXPECT_TRUE(rig.drive->stopAcknowledged());
}

TEST(DriveController, MovingResendsEveryPeriodAndAnUnansweredZeroIsRepeated) {
    Rig rig;
    rig.hold(DriveKey::Forward, 8);  // ramp done after 4 ticks; the rest are repeats
    EXPECT_EQ(rig.sent.size(), 8u);
    EXPECT_FALSE(rig.tick(20));  // not yet a period since the last one
    rig.drive->onKey(DriveKey::EmergencyStop);
    EXPECT_TRUE(rig.drive->urgent());
    EXPECT_TRUE(rig.drive->commanded().isZero());  // at once, no ramp
    ASSERT_TRUE(rig.tick(0, false));                 // the zero goes out now, unanswered
    EXPECT_TRUE(rig.sent.back().isZero());
    EXPECT_FALSE(rig.drive->stopAcknowledged());
    ASSERT_TRUE(rig.tick(50, true));  // repeated and answered
    EXPECT_TRUE(rig.drive->stopAcknowledged());
    EXPECT_FALSE(rig.tick(50));  // standing still: nothing more to send
}

// The repeat holds 20 Hz when a tick comes a little early, and velocity
// requests that keep failing for a second lose the link although readings
// succeed in between, also after q.
TEST(DriveController, RepeatAndRefusedVelocities) {
    Rig rig;
    rig.hold(DriveKey::Forward, 6);
    const size_t sent = rig.sent.size();
    rig.drive->onKey(DriveKey::Forward);
    EXPECT_TRUE(rig.tick(45)) << "a tick 5 ms early still repeats";
    EXPECT_EQ(rig.sent.size(), sent + 1);
    for (bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "after q" : "while driving");
        Rig refused;
        refused.hold(DriveKey::Forward, 3);
        if (quit) refused.drive->onKey(DriveKey::Quit);
        for (int i = 0; i < 4; ++i) {
            refused.drive->onKey(DriveKey::Forward);
            ASSERT_TRUE(refused.tick(400, false));
            refused.drive->onRequestResult(true);  // a reading answered in between
            if (i == 2) {
                EXPECT_FALSE(refused.drive->linkLost()) << "three within a second";
            }
        }
        EXPECT_TRUE(refused.drive->linkLost());
        EXPECT_EQ(refused.drive->exitReason(), quit ? DriveExit::Quit : DriveExit::LinkLost);
    }
}

// Requests wait no longer than a period, so a host's hiccup can fail a few
// in a row: the row loses the link once it has lasted a second.
TEST(DriveController, ThreeFailedRequestsInARowOverASecondLoseTheLink) {
    Rig rig;
    rig.hold(DriveKey::Left, 3);
    rig.drive->onRequestResult(false);
    rig.drive->onRequestResult(true);  // a success breaks the row
    rig.drive->onRequestResult(false);
    rig.drive->onRequestResult(false);
    rig.drive->onRequestResult(false);
    EXPECT_FALSE(rig.drive->linkLost()) << "three, but within a moment";
    rig.now += 999 * MS;
    rig.drive->onRequestResult(false);
    EXPECT_FALSE(rig.drive->linkLost());
    rig.now += 1 * MS;
    rig.drive->onRequestResult(false);
    EXPECT_TRUE(rig.drive->linkLost());
    EXPECT_TRUE(rig.drive->commanded().isZero());
    EXPECT_FALSE(rig.drive->stopAcknowledged());
    EXPECT_FALSE(rig.tick());  // nothing more goes out
    rig.drive->onKey(DriveKey::Forward);
    EXPECT_TRUE(rig.drive->target().isZero());
}

// After a signal the cancel token fails every request but the stop: that is
// the signal leaving, not a lost link.
TEST(DriveController, RequestsCutByASignalDoNotLoseTheLink) {
    Rig rig;
    rig.hold(DriveKey::Forward, 3);
    rig.drive->stop(DriveExit::Signal);
    for (int i = 0; i < 3; ++i) {
        rig.now += 600 * MS;
        rig.drive->onRequestResult(false);
        rig.drive->onVelocitySent(BodyVelocity(), false);
    }
    EXPECT_FALSE(rig.drive->linkLost());
    EXPECT_EQ(rig.drive->exitReason(), DriveExit::Signal);
}

TEST(DriveController, EveryWayOutStopsAtOnceAndSendsZero) {
    for (DriveExit reason : {DriveExit::Quit, DriveExit::Signal, DriveExit::TerminalGone, DriveExit::Failure}) {
        SCOPED_TRACE(driveExitText(reason));
        Rig rig;
        rig.hold(DriveKey::Forward, 6);
        if (reason == DriveExit::Quit) {
            rig.drive->onKey(DriveKey::Quit);
        } else {
            rig.drive->stop(reason);
        }
        EXPECT_EQ(rig.drive->exitReason(), reason);
        EXPECT_TRUE(rig.drive->commanded().isZero());
        ASSERT_TRUE(rig.tick(0));
        EXPECT_TRUE(rig.sent.back().isZero());
        EXPECT_TRUE(rig.drive->stopAcknowledged());
        rig.drive->onKey(DriveKey::Forward);  // no driving after the end
        EXPECT_FALSE(rig.tick());
    }
}

TEST(DriveController, GuardRefusesMotionTowardATriggeredSensorOnly) {
    // Front-left bumper (bit 0), rear-right bumper (bit 1), front cliff facing ahead (bit 2).
    const std::vector<GuardSensor> guards = {guardFor("bumper #0", 0, pose(0.15, 0.08, 30)),
                                             guardFor("bumper #1", 1, pose(-0.15, -0.08, -150)),
                                             guardFor("cliff #2", 2, pose(0.14, 0.0, 0))};
    struct Case {
        uint32_t bits;
        DriveKey key;
        bool allowed;
    } cases[] = {
        {0x1, DriveKey::Forward, false}, {0x1, DriveKey::Backward, true}, {0x1, DriveKey::Left, false},
        {0x1, DriveKey::Right, true},    {0x2, DriveKey::Backward, false}, {0x2, DriveKey::Forward, true},
        {0x2, DriveKey::Left, false},    {0x2, DriveKey::Right, true},     {0x4, DriveKey::Forward, false},
        {0x4, DriveKey::Left, true},     {0x4, DriveKey::Right, true},     {0x0, DriveKey::Forward, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " key " + std::to_string(static_cast<int>(c.key)));
        Rig rig(guards);
        rig.drive->onBumperBits(c.bits);
        rig.hold(c.key, 3);
        EXPECT_EQ(!rig.drive->commanded().isZero(), c.allowed);
        EXPECT_EQ(rig.drive->blockReason().empty(), c.allowed) << rig.drive->blockReason();
    }
    // A bumper that triggers while driving toward it stops that motion at once.
    Rig rig(guards);
    rig.hold(DriveKey::Forward, 4);
    rig.drive->onBumperBits(0x1);
    rig.drive->onKey(DriveKey::Forward);
    rig.tick(1);
    EXPECT_TRUE(rig.drive->commanded().isZero());
    EXPECT_EQ(rig.drive->blockReason(), "forward refused: bumper #0 triggered");
}

TEST(DriveController, GuardsComeFromTheConfiguredBumpersAndCliffsInBitOrder) {
    BaseConfig base;
    auto add = [&](SensorKind kind, Pose p) {
        SensorConfig s;
        s.id = static_cast<int32_t>(base.sensors.size());
        s.type = kind;
        s.installation_pose = p;
        base.sensors.push_back(s);
    };
    add(SensorKind::Sonar, pose(0.16, 0, 0));
    add(SensorKind::Bumper, pose(0.147, 0.085, 30));
    add(SensorKind::Cliff, pose(-0.14, 0, 180));
    add(SensorKind::Bumper, pose(0.0, 0.17, 90));  // at the axle, facing left: neither way
    const std::vector<GuardSensor> guards = guardSensorsOf(base);
    ASSERT_EQ(guards.size(), 3u);
    EXPECT_EQ(guards[0].label, "bumper #1");
    EXPECT_EQ(guards[0].bit, 0);
    EXPECT_EQ(guards[0].forward, 1);
    EXPECT_EQ(guards[0].turn, 1);
    EXPECT_EQ(guards[1].label, "cliff #2");
    EXPECT_EQ(guards[1].forward, -1);
    EXPECT_EQ(guards[1].turn, 0);
    EXPECT_EQ(guards[2].forward, 0);
    EXPECT_EQ(guards[2].turn, 0);
}

TEST(DriveController, SpeedStepsComeFromTheConfigurationCappedByTheLineSpeed) {
    BaseConfig base;
    base.low_moving_speed = 0.2f;
    base.medium_moving_speed = 0.3f;
    base.high_moving_speed = 0.5f;
    base.robot_line_speed = 0.35f;
    base.robot_size = 0.4;
    DriveSettings settings;
    applyConfigSpeeds(base, settings);
    EXPECT_TRUE(settings.speedsFromConfig);
    EXPECT_NEAR(settings.stepSpeeds[0], 0.2, 1e-6);
    EXPECT_NEAR(settings.stepSpeeds[2], 0.35, 1e-6);
    EXPECT_FALSE(settings.stepCapped[1]);
    EXPECT_TRUE(settings.stepCapped[2]) << "the view says so";
    EXPECT_DOUBLE_EQ(settings.halfTrack, 0.2);

    DriveSettings defaults;
    applyConfigSpeeds(BaseConfig(), defaults);  // nothing usable: defaults kept, and said so
    EXPECT_FALSE(defaults.speedsFromConfig);
    EXPECT_DOUBLE_EQ(defaults.stepSpeeds[1], 0.2);

    Rig rig;
    rig.settings = settings;
    rig.make({});
    rig.drive->onKey(DriveKey::Step3);
    rig.hold(DriveKey::Forward, 20);
    EXPECT_NEAR(rig.drive->commanded().vx, 0.35, 1e-6);
    rig.drive->onKey(DriveKey::Step1);  // a held direction continues at the new step
    EXPECT_NEAR(rig.drive->target().vx, 0.2, 1e-6);
    rig.tick(1000);  // released: the next turn key turns in place
    rig.drive->onKey(DriveKey::Left);
    EXPECT_NEAR(rig.drive->target().omega, 1.0, 1e-6);  // 0.2 / 0.2 rad/s, within the turn cap
    rig.drive->onKey(DriveKey::Step3);
    EXPECT_NEAR(rig.drive->target().omega, 1.0, 1e-6);  // 0.35 / 0.2 capped at 1 rad/s
}

}  // namespace
}  // namespace test
}  // namespace orbitane
}  // namespace zorn

TEST(DriveView, PrintedValuesHaveNoSignedZeroAndHeadingsWrap) {
    EXPECT_EQ(zorn::orbitane::test::shown(-0.0001, 3), 0.0);
    EXPECT_EQ(zorn::orbitane::test::shown(-0.0006, 3), -0.0006);
    const struct {
        double in, out;
    } headings[] = {{469.2, 109.2}, {-190.0, 170.0}, {180.0, 180.0}, {-180.0, 180.0}, {720.5, 0.5}};
    for (const auto& h : headings) EXPECT_NEAR(zorn::orbitane::test::headingInRange(h.in), h.out, 1e-9) << h.in;
}

// Key timing against the fake clock: a first press bridges the terminal's
// initial repeat delay, a repeating key falls back to the dead man, and an
// emergency stop holds until every key was released and a new press comes.
TEST(DriveControllerKeys, FirstPressRepeatAndTheEmergencyLatch) {
    using zorn::orbitane::test::DriveController;
    using zorn::orbitane::test::DriveKey;
    struct Step {
        int64_t atMs;  // since the start
        bool press;    // a Forward key event at this time (else only a tick)
        bool space;    // an emergency stop at this time
        bool moving;   // the target is non-zero after it
    };
    struct Row {
        const char* what;
        std::vector<Step> steps;
    };
    const Row rows[] = {
        {"a single press holds past the initial repeat delay",
         {{0, true, false, true}, {650, false, false, true}, {750, false, false, false}}},
        {"repeats fall back to the dead man",
         {{0, true, false, true}, {600, true, false, true}, {633, true, false, true}, {1020, false, false, true},
          {1033, false, false, false}}},
        {"the emergency stop latches while keys still repeat",
         {{0, true, false, true}, {33, true, false, true}, {66, false, true, false}, {99, true, false, false},
          {400, true, false, false}, {1000, false, false, false}, {1001, true, false, true}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int64_t now = 0;
        DriveController drive(zorn::orbitane::test::DriveSettings(), [&now] { return now; }, {});
        for (const Step& step : row.steps) {
            now = step.atMs * 1000000;  // ns
            if (step.press) drive.onKey(DriveKey::Forward);
            if (step.space) drive.onKey(DriveKey::EmergencyStop);
            zorn::orbitane::test::BodyVelocity ignored;
            drive.tick(ignored);
            EXPECT_EQ(!drive.target().isZero(), step.moving) << "at " << step.atMs << " ms";
        }
    }
}

// Motion toward a distance sensor nearer than half the proximity threshold
// (0.15 m by default) is refused like a triggered bumper; away from it, or
// with no reading (0), it is not.
TEST(DriveControllerKeys, ProximityRefusesMotionTowardANearSonar) {
    using namespace zorn::orbitane::test;
    nivo::system::config::Pose front;
    front.x = 0.2;
    const struct {
        double mm;
        DriveKey key;
        bool moves;
        const char* reason;
    } rows[] = {
        {100, DriveKey::Forward, false, "forward refused: sonar #0 at 100 mm"},
        {100, DriveKey::Backward, true, ""},
        {200, DriveKey::Forward, true, ""},
        {0, DriveKey::Forward, true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mm);
        int64_t now = 0;
        DriveController drive(DriveSettings(), [&now] { return now; }, {});
        drive.setSonarGuards({guardFor("sonar #0", 0, front)});
        drive.onSonarDistances({row.mm});
        BodyVelocity sent;
        drive.tick(sent);  // the view ticks from its start
        drive.onKey(row.key);
        now += 50000000;
        drive.tick(sent);
        EXPECT_EQ(!drive.commanded().isZero(), row.moves);
        EXPECT_EQ(drive.blockReason(), row.reason);
    }
}

// Every sensor triggered in the first reading more likely means bits that
// read the other way round: nothing moves until a reading shows one clear.
TEST(DriveControllerKeys, EverySensorTriggeredAtStartRefusesMotion) {
    using namespace zorn::orbitane::test;
    nivo::system::config::Pose front, back;
    front.x = 0.2;
    back.x = -0.2;
    int64_t now = 0;
    DriveController drive(DriveSettings(), [&now] { return now; }, {guardFor("bumper #0", 0, front),
                                                                      guardFor("bumper #1", 1, back)});
    BodyVelocity sent;
    drive.tick(sent);
    drive.onBumperBits(0x3);
    for (DriveKey key : {DriveKey::Forward, DriveKey::Left}) {
        drive.onKey(key);
        now += 50000000;
        drive.tick(sent);
        EXPECT_TRUE(drive.commanded().isZero());
        EXPECT_NE(drive.blockReason().find("polarity inverted?"), std::string::npos);
    }
    drive.onBumperBits(0x1);  // the rear one clear: the bits read as they should
    drive.onKey(DriveKey::Backward);
    now += 50000000;
    drive.tick(sent);
    EXPECT_LT(drive.commanded().vx, 0.0);
}

namespace zorn {
namespace orbitane {
namespace test {
namespace {

// The loop as drive runs it: a tick every period and at the controller's
// deadlines, and a key every 33 ms while one is held.
struct Drive {
    int64_t now = 0;
    DriveSettings settings;
    std::unique_ptr<DriveController> drive;
    int64_t nextPeriod = 0;
    std::vector<std::pair<int64_t, BodyVelocity>> sent;  // when, what

    explicit Drive(const DriveSettings& s = DriveSettings()) : settings(s) {
        drive.reset(new DriveController(settings, [this] { return now; }, {}));
    }
    // Runs until `endMs`, with `key` repeating until `releaseMs`.
    void run(int64_t endMs, DriveKey key = DriveKey::Forward, int64_t releaseMs = -1) {
        int64_t nextKey = now;
        while (now < endMs * MS) {
            if (releaseMs >= 0 && now >= nextKey && nextKey <= releaseMs * MS) {
                drive->onKey(key);
                nextKey += 33 * MS;
            }
            if (now >= nextPeriod || now >= drive->deadline() || drive->urgent()) {
                if (now >= nextPeriod) nextPeriod += 45 * MS;
                BodyVelocity v;
                if (drive->tick(v)) {
                    sent.emplace_back(now, v);
                    drive->onVelocitySent(v, true);
                }
            }
            int64_t next = std::min(nextPeriod, drive->deadline());
            if (releaseMs >= 0 && nextKey <= releaseMs * MS) next = std::min(next, nextKey);
            now = std::max(now + 1, std::min(next, endMs * MS));
        }
    }
    // The first zero sent after `afterNs`, -1 when none.
    int64_t firstZeroAfter(int64_t afterNs) const {
        for (const auto& s : sent) {
            if (s.first > afterNs && s.second.isZero()) return s.first;
        }
        return -1;
    }
};

// Released at any speed, the zero goes out within 0.5 s of the last key:
// the dead man at 0.4 s, then the brake ramp, cut short at 0.5 s.
TEST(DriveControllerStops, TheZeroFollowsTheLastKeyWithin500Milliseconds) {
    for (double speed : {0.1, 0.2, 0.3, 1.0}) {
        SCOPED_TRACE(speed);
        DriveSettings settings;
        settings.stepSpeeds[0] = speed;
        Drive d(settings);
        d.run(3000, DriveKey::Forward, 2000);
        ASSERT_NEAR(d.drive->commanded().vx, 0.0, 1e-12);
        const int64_t lastKey = 2000 / 33 * 33 * MS;
        const int64_t zero = d.firstZeroAfter(lastKey);
        ASSERT_GE(zero, 0);
        EXPECT_LE(zero - lastKey, 500 * MS);
        EXPECT_GT(zero - lastKey, 350 * MS) << "not before the dead man";
    }
}

// Every way out sends the zero, also when the base had already answered
// one; a base never moved gets none.
TEST(DriveControllerStops, QuitSendsTheZeroAgainOnceTheBaseWasMoved) {
    for (bool moved : {true, false}) {
        SCOPED_TRACE(moved ? "moved" : "never moved");
        Drive d;
        d.run(2000, DriveKey::Forward, moved ? 500 : -1);
        ASSERT_TRUE(d.drive->stopAcknowledged());
        const size_t before = d.sent.size();
        d.drive->onKey(DriveKey::Quit);
        d.run(2100);
        ASSERT_EQ(d.sent.size(), before + (moved ? 1u : 0u));
        if (moved) {
            EXPECT_TRUE(d.sent.back().second.isZero());
        }
    }
}

// A turn key while a forward or backward motion is held bends it into an
// arc for as long as it repeats; from rest it turns in place.
TEST(DriveControllerArcs, ATurnKeyBendsTheHeldMotion) {
    const struct {
        const char* what;
        DriveKey first;  // held first (Quit: nothing)
        DriveKey turn;
        int vxSign, omegaSign;
        double omegaShare;  // of the step's turn rate in place
    } rows[] = {
        {"forward, then left", DriveKey::Forward, DriveKey::Left, 1, 1, 0.5},
        {"forward, then right", DriveKey::Forward, DriveKey::Right, 1, -1, 0.5},
        {"backward, then left", DriveKey::Backward, DriveKey::Left, -1, 1, 0.5},
        {"left from rest", DriveKey::Quit, DriveKey::Left, 0, 1, 1.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Drive d;
        if (row.first != DriveKey::Quit) d.run(1000, row.first, 1000);
        d.run(2000, row.turn, 2000);
        const BodyVelocity& target = d.drive->target();
        EXPECT_EQ((target.vx > 0) - (target.vx < 0), row.vxSign);
        EXPECT_NEAR(target.omega, row.omegaSign * row.omegaShare * d.drive->stepTurnRate(), 1e-9);
        EXPECT_EQ(d.drive->arc(), row.vxSign != 0);
        // The commanded velocity follows: both wheels on an arc at once.
        EXPECT_EQ(d.drive->commanded().vx != 0 && d.drive->commanded().omega != 0, row.vxSign != 0);
        // The turn key stops repeating: the dead man stops the arc too.
        d.run(3000);
        EXPECT_TRUE(d.drive->commanded().isZero());
    }
}

// + and - change the step by 10 % of it, up to the configured limit and
// down to a tenth; a step key starts from the step again.
TEST(DriveControllerFineSpeed, PlusAndMinusMoveTheStepByATenthWithinTheLimit) {
    DriveSettings settings;
    settings.stepSpeeds[0] = 0.2;
    settings.stepSpeeds[1] = 0.3;
    settings.stepSpeeds[2] = 0.3;
    settings.lineSpeed = 0.25;
    const struct {
        std::vector<DriveKey> keys;
        double speed;
        int percent;
    } rows[] = {
        {{DriveKey::Faster}, 0.22, 10},
        {{DriveKey::Faster, DriveKey::Faster}, 0.24, 20},
        {{DriveKey::Faster, DriveKey::Faster, DriveKey::Faster, DriveKey::Faster}, 0.25, 25},  // the limit
        {{DriveKey::Slower}, 0.18, -10},
        {std::vector<DriveKey>(12, DriveKey::Slower), 0.02, -90},
        {{DriveKey::Faster, DriveKey::Step1}, 0.2, 0},
        {{DriveKey::Faster, DriveKey::Step2, DriveKey::Faster}, 0.3, 0},  // capped steps stay at their own
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.speed);
        int64_t now = 0;
        DriveController drive(settings, [&now] { return now; }, {});
        for (DriveKey key : row.keys) drive.onKey(key);
        EXPECT_NEAR(drive.stepSpeed(), row.speed, 1e-9);
        EXPECT_EQ(drive.finePercent(), row.percent);
    }
    // A held direction goes on at the new speed.
    int64_t now = 0;
    DriveController drive(settings, [&now] { return now; }, {});
    drive.onKey(DriveKey::Forward);
    drive.onKey(DriveKey::Faster);
    EXPECT_NEAR(drive.target().vx, 0.22, 1e-9);
}

// The emergency latch shows on the motion line, and keys that could not be
// taken (a window too small) still count as held: a key held through the
// stop never starts the base again.
TEST(DriveControllerStops, TheLatchShowsAndHeldKeysKeepIt) {
    Drive d;
    d.run(1000, DriveKey::Forward, 1000);
    d.drive->onKey(DriveKey::EmergencyStop);
    EXPECT_STREQ(d.drive->motionState(), "E-STOP");
    for (int i = 0; i < 30; ++i) {
        d.now += 33 * MS;
        d.drive->onKeySeen();
    }
    d.drive->onKey(DriveKey::Forward);
    EXPECT_TRUE(d.drive->target().isZero()) << "held all along";
    d.now += 500 * MS;
    d.drive->onKey(DriveKey::Forward);
    EXPECT_FALSE(d.drive->target().isZero()) << "released, then a fresh press";
    BodyVelocity v;
    d.drive->tick(v);
    EXPECT_STREQ(d.drive->motionState(), "MOVING");
}

// After a reconnect the base is driven again only after a fresh press; a
// stop never confirmed before the loss is sent at once.
TEST(DriveControllerStops, AReconnectStartsFromRestAndResendsAnUnconfirmedStop) {
    Drive d;
    d.run(500, DriveKey::Forward, 500);
    d.drive->onLinkGone();
    ASSERT_TRUE(d.drive->linkLost());
    ASSERT_FALSE(d.drive->stopAcknowledged());
    d.drive->onReconnected();
    EXPECT_EQ(d.drive->exitReason(), DriveExit::None);
    EXPECT_FALSE(d.drive->linkLost());
    EXPECT_TRUE(d.drive->urgent());
    BodyVelocity v;
    ASSERT_TRUE(d.drive->tick(v));
    EXPECT_TRUE(v.isZero());
    d.drive->onVelocitySent(v, true);
    d.drive->onKey(DriveKey::Forward);  // still repeating from before the loss
    EXPECT_TRUE(d.drive->target().isZero());
    d.now += 600 * MS;
    d.drive->onKey(DriveKey::Forward);
    EXPECT_FALSE(d.drive->target().isZero());
}

TEST(DriveControllerSteps, TheViewSaysWhereTheStepsCameFromAndWhichAreCapped) {
    BaseConfig base;
    base.low_moving_speed = 0.2f;
    base.medium_moving_speed = 0.3f;
    base.high_moving_speed = 0.4f;
    base.robot_line_speed = 0.3f;
    const struct {
        StepOrigin origin;
        bool lineFromBase;
        bool configRead;
        const char* steps;
        const char* caps;
    } rows[] = {
        {StepOrigin::Defaults, false, true, "0.20 0.30 0.30 m/s: configuration defaults, the base sets none",
         "step 3 capped at 0.30 m/s: robot_line_speed, console default"},
        {StepOrigin::Base, true, true, "0.20 0.30 0.30 m/s: from the base's configuration",
         "step 3 capped at 0.30 m/s: robot_line_speed, the base's"},
    };
    for (const auto& row : rows) {
        DriveSettings settings;
        applyConfigSpeeds(base, settings, row.origin, row.lineFromBase);
        EXPECT_EQ(stepsNote(settings, row.configRead), row.steps);
        EXPECT_EQ(capNote(settings), row.caps);
    }
    DriveSettings none;
    EXPECT_EQ(stepsNote(none, false), "0.10 0.20 0.30 m/s: drive's own, configuration unreadable");
    EXPECT_EQ(capNote(none), "");
    applyConfigSpeeds(BaseConfig(), none, StepOrigin::Defaults);
    EXPECT_EQ(stepsNote(none, true), "0.10 0.20 0.30 m/s: drive's own, the configuration has none");
}

}  // namespace
}  // namespace test
}  // namespace orbitane
}  // namespace zorn
