#pragma once

// The driving logic of the live view, free of any terminal or connection:
// speed steps and fine speed, dead man, acceleration ramp, arcs,
// bumper/cliff guard, the link-loss rule and the stop on every way out.
// Time comes from an injected clock so the behaviour can be checked without
// waiting.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/SystemConfig.h"

namespace zorn {
namespace orbitane {
namespace test {

// Body velocity: forward speed (m/s) and turn rate (rad/s, positive left).
struct BodyVelocity {
    double vx = 0.0;
    double omega = 0.0;
    bool isZero() const { return vx == 0.0 && omega == 0.0; }
};

// A bumper or cliff sensor as the guard sees it.
struct GuardSensor {
    std::string label;  // "bumper #3", "cliff #5"
    int bit = 0;        // bit of the bumper answer
    int forward = 0;    // +1 guards forward motion, -1 reverse, 0 neither
    int turn = 0;       // +1 guards left turns, -1 right turns, 0 neither
};

// Which motions a mounting pose guards: a sensor ahead of the axle guards
// forward motion and one behind it reverse; a sensor facing sideways guards
// the turn that swings its end of the robot toward the side it faces.
GuardSensor guardFor(const std::string& label, int bit, const nivo::system::config::Pose& pose);

// Bumper and cliff sensors of the configuration in bit order, labelled with
// their index in the sensor list (as the bumper command lists them).
std::vector<GuardSensor> guardSensorsOf(const nivo::system::config::BaseConfig& base);
// Distance sensors of the configuration, `bit` being the sensor's place in
// the distance readings, labelled as the view labels them ("sonar #2").
std::vector<GuardSensor> sonarGuardsOf(const nivo::system::config::BaseConfig& base);

enum class DriveKey {
    Forward,
    Backward,
    Left,
    Right,
    Step1,
    Step2,
    Step3,
    EmergencyStop,
    Quit,
    Faster,     // the speed step 10 % up, within the limit
    Slower,     // ... and down
    Reconnect,  // open the link again after it was lost (the command's, not the controller's)
};

// Where the speed steps came from.
enum class StepOrigin {
    Base,          // the base's configuration sets them
    Defaults,      // the configuration's defaults: the base's configuration sets none
    Builtin,       // drive's own: the configuration could not be read, or has no speeds
};

struct DriveSettings {
    // Forward speed of each step (m/s); turn rates follow from the half track.
    double stepSpeeds[3] = {0.1, 0.2, 0.3};
    bool speedsFromConfig = false;
    StepOrigin stepOrigin = StepOrigin::Builtin;
    bool stepCapped[3] = {false, false, false};  // the step was cut to robot_line_speed
    double lineSpeed = 0.0;        // robot_line_speed (m/s) of the configuration, 0: none
    bool lineSpeedFromBase = false;  // the base's configuration set it (else the console's reference)
    double halfTrack = 0.17;       // m: wheel-rim speed of a turn equals the step speed
    double maxTurnRate = 1.0;      // rad/s
    double accel = 0.5;            // m/s^2 while speeding up
    double brakeFactor = 4.0;      // slowing down is this much quicker than speeding up
    int64_t deadManNs = 400000000;     // target falls to zero without a drive key for this long
    // After the target fell to zero, the ramp has this long to brake; then
    // the command drops to zero, so that the zero reaches the base within
    // deadManNs + brakeWithinNs (0.5 s) of the last repeat of a key.
    int64_t brakeWithinNs = 100000000;
    // A first press (before the terminal's auto-repeat starts) holds this
    // long, bridging the usual initial repeat delay of 0.5 to 0.66 s.
    int64_t firstPressHoldNs = 700000000;
    int64_t resendNs = 50000000;       // a non-zero velocity is repeated at least this often
    int failuresForLinkLoss = 3;       // failed requests in a row that end the link ...
    int64_t lossAfterNs = 1000000000;  // ... once the row has lasted this long
    // A distance sensor nearer than this (m) is shown highlighted; motion
    // toward one nearer than half of it is refused like a triggered bumper.
    double nearMetres = 0.3;
    // An arc (a turn key while driving forward or back) turns at this share
    // of the step's turn rate in place: the inner wheel runs at half speed.
    double arcTurnShare = 0.5;
    // + and - change the step's speed by this share of it.
    double fineShare = 0.1;

    // The fastest a step may be made with +: robot_line_speed when the
    // configuration sets one, the fastest step otherwise.
    double speedLimit() const;
};

// Reads the speed steps from the configuration: low, medium and high moving
// speed, each capped by robot_line_speed. Unusable values keep the defaults.
// `origin` says where the configuration's speeds came from (Base or
// Defaults); steps it leaves unusable keep drive's own.
void applyConfigSpeeds(const nivo::system::config::BaseConfig& base, DriveSettings& settings,
                       StepOrigin origin = StepOrigin::Base, bool lineSpeedFromBase = false);

// What the view says of the steps: their speeds and where they came from
// ("0.20 0.30 0.30 m/s: configuration defaults, the base sets none"), and
// which ones robot_line_speed capped ("step 3 capped at 0.30 m/s:
// robot_line_speed, console default"; empty when none), so that two equal
// steps explain themselves.
std::string stepsNote(const DriveSettings& settings, bool configRead);
std::string capNote(const DriveSettings& settings);

// Why driving stopped; None while it goes on.
enum class DriveExit { None, Quit, Signal, LinkLost, TerminalGone, Failure };

class DriveController {
public:
    typedef std::function<int64_t()> Clock;  // nanoseconds, monotonic
    static constexpr int64_t NEVER = INT64_MAX;

    DriveController(const DriveSettings& settings, Clock clock, std::vector<GuardSensor> guards);

    void onKey(DriveKey key);
    // A drive key that arrived while it could not be taken (the window too
    // small for the readings): it still counts as held for the emergency
    // latch, so a key held through the stop does not start motion again.
    void onKeySeen();
    // The latest bumper bits (a failed reading keeps the last known bits
    // guarding).
    // When the first reading has every configured sensor triggered, the
    // bits more likely read the other way round: no motion starts until a
    // reading shows a sensor clear.
    void onBumperBits(uint32_t bits);
    // The latest distances (mm) in reading order, with the sonar guards that
    // apply to them; a distance of 0 or less is no reading and guards nothing.
    void setSonarGuards(std::vector<GuardSensor> guards) { sonarGuards_ = std::move(guards); }
    // The bumper and cliff guards, read again from a configuration.
    void setGuards(std::vector<GuardSensor> guards) { guards_ = std::move(guards); }
    void onSonarDistances(const std::vector<double>& mm);

    // Advances the ramp to now. Returns true with the velocity to send when
    // a velocity request is due (a change, the periodic repeat while moving,
    // a stop that the base has not yet acknowledged, or the stop on the way
    // out).
    bool tick(BodyVelocity& toSend);
    // When tick() must run next whatever the period: the dead man's time,
    // or the time by which the brake ramp must have reached zero. NEVER
    // when nothing is pending.
    int64_t deadline() const;
    // The answer to a velocity request sent after tick(). Enough failed
    // velocity requests in a row lose the link, whatever the readings do.
    void onVelocitySent(const BodyVelocity& sent, bool answered);
    // The velocity from tick() was not sent (an earlier velocity's answer
    // is still owed): it is due again at the next tick. Nothing failed.
    void onVelocityHeldBack();
    // The base refused a velocity request (an error answer): the link is
    // alive, so nothing counts toward its loss, but the velocity was not
    // taken; a refused zero leaves the base as it was, maybe moving.
    void onVelocityRefused(const BodyVelocity& sent);
    // Any request's outcome; enough failures in a row, over long enough,
    // lose the link.
    void onRequestResult(bool answered);
    // The connection is gone (closed, or the line failed): lost at once.
    void onLinkGone();
    // The link was opened again after it was lost: driving may go on, from
    // rest and only after a fresh key press; a stop the base did not
    // confirm goes out again at once.
    void onReconnected();

    // Ends driving: target and command drop to zero at once, and once the
    // base has been moved the zero goes out again even if it was answered
    // before. The first reason given is kept.
    void stop(DriveExit reason);
    // True after an emergency stop or stop() until the next tick(): the
    // zero should go out now rather than at the next period.
    bool urgent() const { return urgent_; }

    int step() const { return step_; }
    // The current step's speed with the fine adjustment; the step's own.
    double stepSpeed() const;
    double baseStepSpeed() const { return settings_.stepSpeeds[step_ - 1]; }
    // The fine adjustment in percent of the step (+10, -20, ...).
    int finePercent() const;
    double stepTurnRate() const;
    const BodyVelocity& target() const { return target_; }
    const BodyVelocity& commanded() const { return commanded_; }
    // Driving an arc: a turn key bends the forward (or backward) motion.
    bool arc() const { return target_.vx != 0.0 && target_.omega != 0.0; }
    DriveExit exitReason() const { return exit_; }
    // Set by the failure rule also after driving ended for another reason
    // (a stop the base keeps refusing after q).
    bool linkLost() const { return linkLost_; }
    // After an emergency stop, drive keys are refused until every key has
    // been released (none for the dead-man time) and a new press comes.
    bool latched() const { return latched_; }
    // STOPPED, MOVING, BRAKING, E-STOP (stopped and latched) or LINK LOST.
    const char* motionState() const;
    // True once a zero velocity has been answered and nothing moved since.
    bool stopAcknowledged() const { return stopAcknowledged_; }
    bool everMoved() const { return everMoved_; }
    // Why motion is being refused, empty when it is not.
    const std::string& blockReason() const { return blockReason_; }
    uint32_t triggeredBits() const { return bits_; }
    const std::vector<GuardSensor>& guards() const { return guards_; }
    const DriveSettings& settings() const { return settings_; }

private:
    // `wanted` less every component that moves toward a triggered sensor;
    // `reason` (when given) says what was refused.
    BodyVelocity guarded(BodyVelocity wanted, std::string* reason) const;
    BodyVelocity stepVelocity(DriveKey key) const;
    // Makes the next tick urgent when the command moves toward a sensor
    // that now guards against it.
    void stopTowardGuards();
    bool rowLosesTheLink(int failures, int64_t sinceNs) const;
    // The time the target falls to zero without another key.
    int64_t holdEnd() const;
    // Keeps a held motion going at a changed speed.
    void rescaleTarget(double previousSpeed);

    DriveSettings settings_;
    Clock clock_;
    std::vector<GuardSensor> guards_;
    std::vector<GuardSensor> sonarGuards_;
    std::vector<double> sonarMm_;
    int step_ = 1;
    int fine_ = 0;  // fine adjustment in steps of fineShare
    BodyVelocity target_;
    BodyVelocity commanded_;
    int64_t lastDriveKeyNs_ = 0;
    int64_t lastKeySeenNs_ = 0;  // any drive key, also one refused while latched
    DriveKey heldKey_ = DriveKey::Quit;
    bool repeating_ = false;     // the held key's auto-repeat has started
    bool latched_ = false;
    bool released_ = true;       // the target fell by the dead man (no key held)
    int64_t lastTickNs_ = 0;
    int64_t lastSentNs_ = 0;
    bool ticked_ = false;
    bool urgent_ = false;
    bool resendNow_ = false;     // the last velocity was held back
    BodyVelocity lastSent_;
    bool stopAcknowledged_ = true;  // the base is assumed still at start
    bool everMoved_ = false;
    uint32_t bits_ = 0;
    bool bitsSeen_ = false;
    bool polaritySuspect_ = false;
    int failuresInRow_ = 0;
    int velocityFailuresInRow_ = 0;  // readings that succeed in between do not reset it
    int64_t failingSinceNs_ = 0;     // the first failure of each row
    int64_t velocityFailingSinceNs_ = 0;
    bool linkLost_ = false;
    DriveExit exit_ = DriveExit::None;
    std::string blockReason_;
};

const char* driveExitText(DriveExit reason);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
