#include <gtest/gtest.h>

#include <cmath>

#include "sim/DriveModel.h"

using zorn::orbitane::sim::BodyDelta;
using zorn::orbitane::sim::DriveModel;

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr double kPi = 3.14159265358979323846;

TEST(DriveModelTest, StraightRunMovesBothOdometersByTheTravel) {
    DriveModel drive(340.0, 0);
    drive.setWheelSpeeds(100, 100, 0);
    EXPECT_EQ(drive.leftOdometer(kSecond / 2), 50);
    EXPECT_EQ(drive.rightOdometer(kSecond), 100);
    BodyDelta d = drive.takeBodyDelta(kSecond);
    EXPECT_NEAR(d.dx, 0.1, 1e-9);
    EXPECT_NEAR(d.dy, 0.0, 1e-9);
    EXPECT_NEAR(d.dtheta, 0.0, 1e-12);
    drive.stop(kSecond);
    EXPECT_EQ(drive.leftOdometer(5 * kSecond), 100);
    EXPECT_FALSE(drive.moving());
}

TEST(DriveModelTest, OppositeWheelSpeedsTurnOnTheSpot) {
    // A round base of 170 mm radius: track 340 mm.
    DriveModel drive(340.0, 0);
    drive.setWheelSpeeds(100, -100, 0);
    EXPECT_EQ(drive.leftOdometer(kSecond), 100);
    EXPECT_EQ(drive.rightOdometer(kSecond), -100);
    BodyDelta d = drive.takeBodyDelta(kSecond);
    EXPECT_NEAR(d.dx, 0.0, 1e-12);
    EXPECT_NEAR(d.dy, 0.0, 1e-12);
    // (dr - dl) / track, turning clockwise.
    EXPECT_NEAR(d.dtheta, -200.0 / 340.0, 1e-12);
}

TEST(DriveModelTest, BodyVelocityIntegratesAlongAnArcAndTurnsTheWheels) {
    DriveModel drive(340.0, 0);
    // 0.1 m/s at 1 rad/s: a circle of 0.1 m radius; a quarter takes pi/2 s.
    drive.setBodyVelocity(0.1, 0.0, 1.0, 0);
    int64_t quarter = static_cast<int64_t>(kPi / 2 * kSecond);
    BodyDelta d = drive.takeBodyDelta(quarter);
    EXPECT_NEAR(d.dx, 0.1, 1e-6);
    EXPECT_NEAR(d.dy, 0.1, 1e-6);
    EXPECT_NEAR(d.dtheta, kPi / 2, 1e-6);
    // Left wheel 100 - 170 mm/s, right wheel 100 + 170 mm/s.
    EXPECT_NEAR(drive.leftSpeedMmS(), -70.0, 1e-9);
    EXPECT_NEAR(drive.rightSpeedMmS(), 270.0, 1e-9);
    EXPECT_EQ(drive.rightOdometer(2 * kSecond), 540);
}

TEST(DriveModelTest, DeltaIsReportedInTheFrameOfThePreviousAnswer) {
    DriveModel drive(340.0, 0);
    drive.setBodyVelocity(0.0, 0.0, kPi / 2, 0);
    drive.takeBodyDelta(kSecond);  // now facing +90 degrees, accumulator restarts
    drive.setBodyVelocity(0.2, 0.0, 0.0, kSecond);
    BodyDelta d = drive.takeBodyDelta(2 * kSecond);
    // Straight ahead in the new frame, whatever the heading in the world.
    EXPECT_NEAR(d.dx, 0.2, 1e-9);
    EXPECT_NEAR(d.dy, 0.0, 1e-9);
    // Sideways velocity moves the body but no wheel.
    int32_t left = drive.leftOdometer(2 * kSecond);
    drive.setBodyVelocity(0.0, 0.05, 0.0, 2 * kSecond);
    d = drive.takeBodyDelta(4 * kSecond);
    EXPECT_NEAR(d.dy, 0.1, 1e-9);
    EXPECT_EQ(drive.leftOdometer(4 * kSecond), left);
}

TEST(DriveModelTest, ClockGoingBackwardsChangesNothing) {
    DriveModel drive(340.0, 10 * kSecond);
    drive.setWheelSpeeds(100, 100, 10 * kSecond);
    EXPECT_EQ(drive.leftOdometer(11 * kSecond), 100);
    EXPECT_EQ(drive.leftOdometer(5 * kSecond), 100);
    EXPECT_EQ(drive.leftOdometer(11 * kSecond), 100);
}

TEST(DriveModelTest, OdometerWrapsLikeA32BitCounter) {
    DriveModel drive(340.0, 0);
    drive.setWheelSpeeds(INT32_MAX, INT32_MIN, 0);
    // One second at the largest speed, then one millimetre more.
    EXPECT_EQ(drive.leftOdometer(kSecond), INT32_MAX);
    EXPECT_EQ(drive.rightOdometer(kSecond), INT32_MIN);
    drive.setWheelSpeeds(1000, -1000, kSecond);
    EXPECT_EQ(drive.leftOdometer(kSecond + kSecond / 1000), INT32_MIN);
    EXPECT_EQ(drive.rightOdometer(kSecond + kSecond / 1000), INT32_MAX);
}

TEST(DriveModelTest, DegenerateTrackAndNonFiniteVelocitiesStayFinite) {
    DriveModel drive(0.0, 0);
    EXPECT_EQ(drive.trackMm(), 1.0);
    drive.setBodyVelocity(NAN, INFINITY, -INFINITY, 0);
    EXPECT_FALSE(drive.moving());
    BodyDelta d = drive.takeBodyDelta(kSecond);
    EXPECT_TRUE(std::isfinite(d.dx) && std::isfinite(d.dy) && std::isfinite(d.dtheta));
}

}  // namespace
