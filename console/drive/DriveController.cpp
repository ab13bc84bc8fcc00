#include "console/drive/DriveController.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::config;

namespace {

// Poses closer to the axle than this (metres) say nothing by their x alone.
constexpr double AXLE_TOLERANCE = 0.01;
// A yaw whose sine is below this faces straight ahead or behind.
constexpr double SIDEWAYS_SINE = 0.1;

int signOf(double value) { return value > 0 ? 1 : (value < 0 ? -1 : 0); }

bool usableSpeed(float value) { return std::isfinite(value) && value > 0.0f; }

// One component of the ramp: toward the target at `up` per second while
// speeding up in the same direction, at `down` otherwise, and through zero
// only after stopping there.
double approach(double current, double target, double up, double down, double seconds) {
    const bool speedingUp = signOf(current) * signOf(target) >= 0 && std::fabs(target) > std::fabs(current);
    const double stepSize = (speedingUp ? up : down) * seconds;
    if (std::fabs(target - current) <= stepSize) {
        return (signOf(current) * signOf(target) < 0) ? 0.0 : target;
    }
    const double next = current + (target > current ? stepSize : -stepSize);
    if (signOf(current) * signOf(next) < 0) {
        return 0.0;
    }
    return next;
}

bool sameVelocity(const BodyVelocity& a, const BodyVelocity& b) { return a.vx == b.vx && a.omega == b.omega; }

}  // namespace

GuardSensor guardFor(const std::string& label, int bit, const Pose& pose) {
    GuardSensor guard;
    guard.label = label;
    guard.bit = bit;
    if (pose.x > AXLE_TOLERANCE) {
        guard.forward = 1;
    } else if (pose.x < -AXLE_TOLERANCE) {
        guard.forward = -1;
    } else {
        const double c = std::cos(pose.yaw);
        guard.forward = c > 0.5 ? 1 : (c < -0.5 ? -1 : 0);
    }
    const double s = std::sin(pose.yaw);
    if (std::fabs(s) >= SIDEWAYS_SINE && guard.forward != 0) {
        // A front sensor facing left is swung into what it touches by a left
        // turn; a rear one facing left by a right turn.
        guard.turn = signOf(s) * guard.forward;
    }
    return guard;
}

std::vector<GuardSensor> guardSensorsOf(const BaseConfig& base) {
    std::vector<GuardSensor> guards;
    int bit = 0;
    for (size_t i = 0; i < base.sensors.size() && bit < 32; ++i) {
        const SensorConfig& sensor = base.sensors[i];
        if (sensor.type != SensorKind::Bumper && sensor.type != SensorKind::Cliff) {
            continue;
        }
        const std::string kind = sensor.type == SensorKind::Bumper ? "bumper" : "cliff";
        guards.push_back(guardFor(kind + " #" + std::to_string(i), bit++, sensor.installation_pose));
    }
    return guards;
}

std::vector<GuardSensor> sonarGuardsOf(const BaseConfig& base) {
    std::vector<GuardSensor> guards;
    int place = 0;
    for (const SensorConfig& sensor : base.sensors) {
        if (sensor.type != SensorKind::Sonar) continue;
        guards.push_back(guardFor("sonar #" + std::to_string(sensor.id), place++, sensor.installation_pose));
    }
    return guards;
}

void DriveController::onSonarDistances(const std::vector<double>& mm) {
    sonarMm_ = mm;
    stopTowardGuards();
}

void DriveController::stopTowardGuards() {
    // Motion already under way toward a sensor that has just triggered
    // stops at once, not at the next period.
    if (exit_ == DriveExit::None && !sameVelocity(guarded(commanded_, nullptr), commanded_)) urgent_ = true;
}

void DriveController::onBumperBits(uint32_t bits) {
    bool allTriggered = !guards_.empty();
    for (const GuardSensor& guard : guards_) allTriggered = allTriggered && ((bits >> guard.bit) & 1u) != 0;
    if (!bitsSeen_) polaritySuspect_ = allTriggered;
    if (!allTriggered) polaritySuspect_ = false;
    bitsSeen_ = true;
    bits_ = bits;
    stopTowardGuards();
}

double DriveSettings::speedLimit() const {
    if (lineSpeed > 0.0) return lineSpeed;
    return std::max(stepSpeeds[0], std::max(stepSpeeds[1], stepSpeeds[2]));
}

void applyConfigSpeeds(const BaseConfig& base, DriveSettings& settings, StepOrigin origin, bool lineSpeedFromBase) {
    const float wanted[3] = {base.low_moving_speed, base.medium_moving_speed, base.high_moving_speed};
    const bool capped = usableSpeed(base.robot_line_speed);
    if (capped) {
        settings.lineSpeed = base.robot_line_speed;
        settings.lineSpeedFromBase = lineSpeedFromBase;
    }
    bool any = false;
    for (int i = 0; i < 3; ++i) {
        if (!usableSpeed(wanted[i])) {
            continue;
        }
        settings.stepCapped[i] = capped && wanted[i] > base.robot_line_speed;
        settings.stepSpeeds[i] = settings.stepCapped[i] ? base.robot_line_speed : wanted[i];
        any = true;
    }
    settings.speedsFromConfig = any;
    settings.stepOrigin = any ? origin : StepOrigin::Builtin;
    if (std::isfinite(base.robot_size) && base.robot_size > 0.0) {
        settings.halfTrack = base.robot_size / 2.0;
    }
}

std::string stepsNote(const DriveSettings& settings, bool configRead) {
    const char* origin = "";
    switch (settings.stepOrigin) {
        case StepOrigin::Base: origin = "from the base's configuration"; break;
        case StepOrigin::Defaults: origin = "configuration defaults, the base sets none"; break;
        case StepOrigin::Builtin:
            origin = configRead ? "drive's own, the configuration has none" : "drive's own, configuration unreadable";
            break;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f m/s: %s", settings.stepSpeeds[0], settings.stepSpeeds[1],
                  settings.stepSpeeds[2], origin);
    return text;
}

std::string capNote(const DriveSettings& settings) {
    std::string steps;
    int count = 0;
    for (int i = 0; i < 3; ++i) {
        if (!settings.stepCapped[i]) continue;
        steps += (count++ == 0 ? "" : ", ") + std::to_string(i + 1);
    }
    if (count == 0) return std::string();
    const std::string which = count == 3 ? "all steps" : (count == 1 ? "step " : "steps ") + steps;
    char text[128];
    std::snprintf(text, sizeof text, "%s capped at %.2f m/s: robot_line_speed, %s", which.c_str(), settings.lineSpeed,
                  settings.lineSpeedFromBase ? "the base's" : "console default");
    return text;
}

const char* driveExitText(DriveExit reason) {
    switch (reason) {
        case DriveExit::None: return "driving";
        case DriveExit::Quit: return "quit";
        case DriveExit::Signal: return "interrupted";
        case DriveExit::LinkLost: return "link lost";
        case DriveExit::TerminalGone: return "terminal gone";
        case DriveExit::Failure: return "internal failure";
    }
    return "unknown";
}

DriveController::DriveController(const DriveSettings& settings, Clock clock, std::vector<GuardSensor> guards)
    : settings_(settings), clock_(std::move(clock)), guards_(std::move(guards)) {}

double DriveController::stepSpeed() const {
    const double own = baseStepSpeed();
    return std::min(own * (1.0 + settings_.fineShare * fine_), std::max(own, settings_.speedLimit()));
}

int DriveController::finePercent() const {
    return static_cast<int>(std::lround((stepSpeed() / baseStepSpeed() - 1.0) * 100.0));
}

double DriveController::stepTurnRate() const {
    return std::min(stepSpeed() / settings_.halfTrack, settings_.maxTurnRate);
}

BodyVelocity DriveController::stepVelocity(DriveKey key) const {
    BodyVelocity v;
    switch (key) {
        case DriveKey::Forward: v.vx = stepSpeed(); break;
        case DriveKey::Backward: v.vx = -stepSpeed(); break;
        case DriveKey::Left: v.omega = stepTurnRate(); break;
        case DriveKey::Right: v.omega = -stepTurnRate(); break;
        default: break;
    }
    return v;
}

void DriveController::rescaleTarget(double previousSpeed) {
    const bool bent = arc();
    // A held direction keeps going at the new speed.
    target_.vx *= stepSpeed() / previousSpeed;
    target_.omega = signOf(target_.omega) * stepTurnRate() * (bent ? settings_.arcTurnShare : 1.0);
}

int64_t DriveController::holdEnd() const {
    return lastDriveKeyNs_ + (repeating_ ? settings_.deadManNs : settings_.firstPressHoldNs);
}

void DriveController::onKeySeen() { lastKeySeenNs_ = clock_(); }

void DriveController::onKey(DriveKey key) {
    if (key == DriveKey::Quit) {
        stop(DriveExit::Quit);
        return;
    }
    if (key == DriveKey::Reconnect) {
        return;  // the command's business: the link, not the motion
    }
    const int64_t now = clock_();
    if (key == DriveKey::EmergencyStop) {
        target_ = BodyVelocity();
        commanded_ = BodyVelocity();
        urgent_ = true;
        latched_ = true;
        lastKeySeenNs_ = now;
        return;
    }
    if (exit_ != DriveExit::None) {
        return;
    }
    if (key == DriveKey::Step1 || key == DriveKey::Step2 || key == DriveKey::Step3) {
        const double previous = stepSpeed();
        step_ = key == DriveKey::Step1 ? 1 : (key == DriveKey::Step2 ? 2 : 3);
        fine_ = 0;
        rescaleTarget(previous);
        return;
    }
    if (key == DriveKey::Faster || key == DriveKey::Slower) {
        const double previous = stepSpeed();
        if (key == DriveKey::Faster) {
            ++fine_;
            // Past the limit nothing changes: the step stays at the limit.
            if (stepSpeed() <= previous) --fine_;
        } else if (1.0 + settings_.fineShare * (fine_ - 1) > settings_.fineShare / 2) {
            --fine_;  // down to one share of the step, never to a standstill
        }
        rescaleTarget(previous);
        return;
    }
    bool newPress = key != heldKey_ || now - lastKeySeenNs_ > settings_.firstPressHoldNs;
    if (latched_) {
        const bool released = now - lastKeySeenNs_ > settings_.deadManNs;
        lastKeySeenNs_ = now;
        if (!released) return;  // a key still held from before the stop
        latched_ = false;
        newPress = true;
    }
    // A turn key while a forward or backward motion is held bends it into
    // an arc for as long as the turn key repeats: a terminal reports only
    // the last key held, so the two keys can never be seen together.
    const bool turn = key == DriveKey::Left || key == DriveKey::Right;
    const double heldVx = target_.vx;
    repeating_ = !newPress;
    heldKey_ = key;
    lastKeySeenNs_ = now;
    target_ = stepVelocity(key);
    if (turn && heldVx != 0.0) {
        target_.vx = heldVx;
        target_.omega *= settings_.arcTurnShare;
    }
    lastDriveKeyNs_ = now;
}

const char* DriveController::motionState() const {
    if (linkLost_) return "LINK LOST";
    if (commanded_.isZero()) return latched_ ? "E-STOP" : "STOPPED";
    const bool slowing = std::fabs(target_.vx) < std::fabs(commanded_.vx) ||
                         std::fabs(target_.omega) < std::fabs(commanded_.omega);
    return slowing ? "BRAKING" : "MOVING";
}

void DriveController::stop(DriveExit reason) {
    if (exit_ == DriveExit::None) {
        exit_ = reason;
        // Every way out sends the zero once the base has been moved, also
        // when the base had already answered one.
        if (everMoved_ && reason != DriveExit::LinkLost) stopAcknowledged_ = false;
    }
    if (reason == DriveExit::LinkLost) {
        linkLost_ = true;
    }
    target_ = BodyVelocity();
    commanded_ = BodyVelocity();
    urgent_ = true;
}

void DriveController::onReconnected() {
    linkLost_ = false;
    if (exit_ == DriveExit::LinkLost) exit_ = DriveExit::None;
    failuresInRow_ = 0;
    velocityFailuresInRow_ = 0;
    target_ = BodyVelocity();
    commanded_ = BodyVelocity();
    lastSent_ = BodyVelocity();
    resendNow_ = false;
    // Nothing moves until a fresh press: keys still repeating from before
    // the loss (they count as seen while it lasts) keep the latch, as after
    // an emergency stop.
    latched_ = true;
    urgent_ = !stopAcknowledged_;  // a stop never confirmed goes out at once
}

int64_t DriveController::deadline() const {
    if (exit_ != DriveExit::None || linkLost_) return NEVER;
    if (!target_.isZero()) return holdEnd();
    if (!commanded_.isZero()) return holdEnd() + settings_.brakeWithinNs;
    return NEVER;
}

BodyVelocity DriveController::guarded(BodyVelocity wanted, std::string* reason) const {
    // Takes out of `wanted` what moves toward `guard`; says what, if it is
    // the first refusal.
    auto refuse = [&wanted, reason](const GuardSensor& guard, const std::string& why) {
        const char* refused = nullptr;
        if (guard.forward != 0 && signOf(wanted.vx) == guard.forward) {
            refused = guard.forward > 0 ? "forward" : "reverse";
            wanted.vx = 0.0;
        }
        if (guard.turn != 0 && signOf(wanted.omega) == guard.turn) {
            refused = guard.turn > 0 ? "left turn" : "right turn";
            wanted.omega = 0.0;
        }
        if (refused != nullptr && reason != nullptr && reason->empty()) {
            *reason = std::string(refused) + " refused: " + guard.label + " " + why;
        }
    };
    if (polaritySuspect_) {
        if (reason != nullptr && reason->empty() && !wanted.isZero()) {
            *reason = "every sensor reads triggered: polarity inverted? try --bumper-active-low";
        }
        return BodyVelocity();
    }
    for (const GuardSensor& guard : guards_) {
        if (((bits_ >> guard.bit) & 1u) != 0) refuse(guard, "triggered");
    }
    const double tooNearMm = settings_.nearMetres * 1000.0 / 2.0;
    for (const GuardSensor& guard : sonarGuards_) {
        const size_t place = static_cast<size_t>(guard.bit);
        if (place < sonarMm_.size() && sonarMm_[place] > 0.0 && sonarMm_[place] < tooNearMm) {
            char at[32];
            std::snprintf(at, sizeof at, "at %.0f mm", sonarMm_[place]);
            refuse(guard, at);
        }
    }
    return wanted;
}

bool DriveController::tick(BodyVelocity& toSend) {
    const int64_t now = clock_();
    const double seconds = ticked_ ? std::max<int64_t>(0, now - lastTickNs_) / 1e9 : 0.0;
    ticked_ = true;
    lastTickNs_ = now;
    urgent_ = false;

    blockReason_.clear();
    if (exit_ == DriveExit::None) {
        if (!target_.isZero() && now >= holdEnd()) {
            target_ = BodyVelocity();  // the dead man: no key for the hold time
        }
        const BodyVelocity allowed = guarded(target_, &blockReason_);
        const double angularAccel = settings_.accel / settings_.halfTrack;
        const double brake = settings_.brakeFactor;
        commanded_.vx = approach(commanded_.vx, allowed.vx, settings_.accel, settings_.accel * brake, seconds);
        commanded_.omega = approach(commanded_.omega, allowed.omega, angularAccel, angularAccel * brake, seconds);
        // The ramp had its time after a release: the rest of it is skipped,
        // so the zero reaches the base in time whatever the speed.
        if (target_.isZero() && !commanded_.isZero() && now >= holdEnd() + settings_.brakeWithinNs) {
            commanded_ = BodyVelocity();
        }
        // Motion toward a sensor that has just triggered stops at once.
        commanded_ = guarded(commanded_, nullptr);
    }
    if (linkLost_) {
        return false;  // nothing more goes out on a lost link
    }

    bool due = resendNow_;
    resendNow_ = false;
    if (!sameVelocity(commanded_, lastSent_)) {
        due = true;
    } else if (!commanded_.isZero()) {
        // A tick that comes early (the last send was late in its own period,
        // or went out between periods) still repeats: waiting for the next
        // would stretch the gap at the base far past the period.
        due = due || now - lastSentNs_ >= settings_.resendNs / 2;
    } else {
        due = due || !stopAcknowledged_;  // repeat the zero until the base answers it
    }
    if (!due) {
        return false;
    }
    if (!commanded_.isZero()) {
        everMoved_ = true;
        stopAcknowledged_ = false;
    }
    lastSent_ = commanded_;
    lastSentNs_ = now;
    toSend = commanded_;
    return true;
}

void DriveController::onVelocityHeldBack() { resendNow_ = true; }

void DriveController::onVelocitySent(const BodyVelocity& sent, bool answered) {
    if (sent.isZero() && answered) {
        stopAcknowledged_ = true;
    }
    // After a signal the cancel token cuts every request but the stop: those
    // failures are the signal's, not the link's.
    if (!answered && exit_ == DriveExit::Signal) return;
    if (answered) {
        velocityFailuresInRow_ = 0;
    } else if (velocityFailuresInRow_++ == 0) {
        velocityFailingSinceNs_ = clock_();
    }
    if (rowLosesTheLink(velocityFailuresInRow_, velocityFailingSinceNs_)) {
        stop(DriveExit::LinkLost);
    }
    onRequestResult(answered);
}

void DriveController::onVelocityRefused(const BodyVelocity&) {
    velocityFailuresInRow_ = 0;
    failuresInRow_ = 0;
}

void DriveController::onRequestResult(bool answered) {
    if (answered) {
        failuresInRow_ = 0;
        return;
    }
    if (exit_ == DriveExit::Signal) return;  // cut by the signal's cancel token
    if (failuresInRow_++ == 0) failingSinceNs_ = clock_();
    if (rowLosesTheLink(failuresInRow_, failingSinceNs_)) {
        stop(DriveExit::LinkLost);
    }
}

bool DriveController::rowLosesTheLink(int failures, int64_t sinceNs) const {
    // Requests wait no longer than a period, so a few in a row can fail in
    // a host's hiccup: the row must also have lasted a while.
    return failures >= settings_.failuresForLinkLoss && clock_() - sinceNs >= settings_.lossAfterNs;
}

void DriveController::onLinkGone() { stop(DriveExit::LinkLost); }

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
