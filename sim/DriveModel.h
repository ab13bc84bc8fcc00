#pragma once

#include <cstdint>

namespace zorn {
namespace orbitane {
namespace sim {

// Motion of the base since the previous velocity answer, in the robot
// frame as it stood at that answer.
struct BodyDelta {
    double dx = 0.0;      // metres
    double dy = 0.0;      // metres
    double dtheta = 0.0;  // radians
};

// Differential drive of a round base. The drive is commanded either with
// two wheel speeds (mm/s) or with a body velocity (m/s, rad/s); both are
// kept consistent through the wheel track, and both the wheel odometers
// and the body motion are integrated in real time between commands.
//
// Not thread-safe: the owner serialises access.
class DriveModel {
public:
    // trackMm: distance between the wheels; values below 1 mm are taken as
    // 1 mm so that turning rates stay finite.
    DriveModel(double trackMm, int64_t nowNs);

    void setWheelSpeeds(int32_t leftMmS, int32_t rightMmS, int64_t nowNs);
    void setBodyVelocity(double vxMS, double vyMS, double omegaRadS, int64_t nowNs);
    void stop(int64_t nowNs) { setWheelSpeeds(0, 0, nowNs); }

    // Integrates the motion up to nowNs. Going back in time does nothing.
    void advance(int64_t nowNs);

    // Cumulative wheel travel, rounded to whole millimetres and wrapped
    // like a 32-bit hardware counter.
    int32_t leftOdometer(int64_t nowNs);
    int32_t rightOdometer(int64_t nowNs);

    // Motion since the previous call (or since construction), after which
    // the accumulator starts again from the current pose.
    BodyDelta takeBodyDelta(int64_t nowNs);

    // Exact wheel travel in mm, before rounding and wrapping.
    double leftTravelMm(int64_t nowNs) {
        advance(nowNs);
        return leftMm_;
    }
    double rightTravelMm(int64_t nowNs) {
        advance(nowNs);
        return rightMm_;
    }

    // Pose since construction in the frame the base started in.
    BodyDelta pose(int64_t nowNs);

    bool moving() const;
    double trackMm() const { return trackMm_; }
    double leftSpeedMmS() const { return leftMmS_; }
    double rightSpeedMmS() const { return rightMmS_; }

private:
    static int32_t wrapToCounter(double mm);
    void integrate(BodyDelta& frame, double dt) const;

    double trackMm_;
    int64_t lastNs_;
    // Commanded motion, both views.
    double leftMmS_ = 0.0;
    double rightMmS_ = 0.0;
    double vx_ = 0.0;     // m/s
    double vy_ = 0.0;     // m/s
    double omega_ = 0.0;  // rad/s
    // Integrated state.
    double leftMm_ = 0.0;
    double rightMm_ = 0.0;
    BodyDelta delta_;
    BodyDelta pose_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
