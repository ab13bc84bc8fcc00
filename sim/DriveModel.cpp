#include "sim/DriveModel.h"

#include <cmath>

namespace zorn {
namespace orbitane {
namespace sim {

namespace {
// Below this turning rate the arc integral is replaced by a straight line.
constexpr double kStraightOmega = 1e-9;
}  // namespace

DriveModel::DriveModel(double trackMm, int64_t nowNs)
    : trackMm_(std::isfinite(trackMm) && trackMm >= 1.0 ? trackMm : 1.0), lastNs_(nowNs) {}

void DriveModel::setWheelSpeeds(int32_t leftMmS, int32_t rightMmS, int64_t nowNs) {
    advance(nowNs);
    leftMmS_ = leftMmS;
    rightMmS_ = rightMmS;
    vx_ = (leftMmS_ + rightMmS_) * 0.5 / 1000.0;
    vy_ = 0.0;
    omega_ = (rightMmS_ - leftMmS_) / trackMm_;
}

void DriveModel::setBodyVelocity(double vxMS, double vyMS, double omegaRadS, int64_t nowNs) {
    advance(nowNs);
    vx_ = std::isfinite(vxMS) ? vxMS : 0.0;
    vy_ = std::isfinite(vyMS) ? vyMS : 0.0;
    omega_ = std::isfinite(omegaRadS) ? omegaRadS : 0.0;
    // A two-wheel base cannot move sideways: vy moves the body as commanded
    // but turns no wheel.
    double turn = omega_ * trackMm_ * 0.5;
    leftMmS_ = vx_ * 1000.0 - turn;
    rightMmS_ = vx_ * 1000.0 + turn;
}

void DriveModel::advance(int64_t nowNs) {
    if (nowNs <= lastNs_) {
        return;
    }
    double dt = static_cast<double>(nowNs - lastNs_) / 1e9;
    lastNs_ = nowNs;
    leftMm_ += leftMmS_ * dt;
    rightMm_ += rightMmS_ * dt;

    integrate(delta_, dt);
    integrate(pose_, dt);
}

void DriveModel::integrate(BodyDelta& frame, double dt) const {
    // Constant twist over dt, integrated exactly from the frame's current
    // heading.
    double th0 = frame.dtheta;
    double th1 = th0 + omega_ * dt;
    double ic;  // integral of cos(theta) dt
    double is;  // integral of sin(theta) dt
    if (std::fabs(omega_) < kStraightOmega) {
        ic = std::cos(th0) * dt;
        is = std::sin(th0) * dt;
    } else {
        ic = (std::sin(th1) - std::sin(th0)) / omega_;
        is = (std::cos(th0) - std::cos(th1)) / omega_;
    }
    frame.dx += vx_ * ic - vy_ * is;
    frame.dy += vx_ * is + vy_ * ic;
    frame.dtheta = th1;
}

BodyDelta DriveModel::pose(int64_t nowNs) {
    advance(nowNs);
    return pose_;
}

int32_t DriveModel::wrapToCounter(double mm) {
    double rounded = std::nearbyint(mm);
    // Keep the value in the range where the conversion is defined, then
    // wrap modulo 2^32 like a hardware counter.
    double wrapped = std::fmod(rounded, 4294967296.0);
    int64_t whole = static_cast<int64_t>(wrapped);
    return static_cast<int32_t>(static_cast<uint32_t>(whole));
}

int32_t DriveModel::leftOdometer(int64_t nowNs) {
    advance(nowNs);
    return wrapToCounter(leftMm_);
}

int32_t DriveModel::rightOdometer(int64_t nowNs) {
    advance(nowNs);
    return wrapToCounter(rightMm_);
}

BodyDelta DriveModel::takeBodyDelta(int64_t nowNs) {
    advance(nowNs);
    BodyDelta out = delta_;
    delta_ = BodyDelta();
    return out;
}

bool DriveModel::moving() const { return leftMmS_ != 0.0 || rightMmS_ != 0.0 || vy_ != 0.0 || omega_ != 0.0; }

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
