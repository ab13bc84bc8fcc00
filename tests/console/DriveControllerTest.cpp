// The drive logic against a clock that moves only when told.
#include <gtest/gtest.h>

#include "console/DriveController.h"
#include "console/DriveView.h"

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

TEST(DriveController, DeadManDropsTargetHalfASecondAfterTheLastKey) {
    Rig rig;
    rig.hold(DriveKey::Forward, 10);
    ASSERT_GT(rig.drive->commanded().vx, 0);
    rig.tick(450);  // 450 ms after the last key: still held
    EXPECT_GT(rig.drive->target().vx, 0);
    rig.tick(100);  // 550 ms: released
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
// requests the base refuses lose the link although readings succeed in
// between, also after q.
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
        for (int i = 0; i < 3; ++i) {
            refused.drive->onKey(DriveKey::Forward);
            ASSERT_TRUE(refused.tick(50, false));
            refused.drive->onRequestResult(true);  // a reading answered in between
        }
        EXPECT_TRUE(refused.drive->linkLost());
        EXPECT_EQ(refused.drive->exitReason(), quit ? DriveExit::Quit : DriveExit::LinkLost);
    }
}

TEST(DriveController, ThreeFailedRequestsInARowLoseTheLink) {
    Rig rig;
    rig.hold(DriveKey::Left, 3);
    rig.drive->onRequestResult(false);
    rig.drive->onRequestResult(true);  // a success breaks the row
    rig.drive->onRequestResult(false);
    rig.drive->onRequestResult(false);
    EXPECT_FALSE(rig.drive->linkLost());
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
    for (int i = 0; i < 3; ++i) rig.drive->onRequestResult(false);
    for (int i = 0; i < 3; ++i) rig.drive->onVelocitySent(BodyVelocity(), false);
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
         {{0, true, false, true}, {600, true, false, true}, {633, true, false, true}, {1100, false, false, true},
          {1150, false, false, false}}},
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
