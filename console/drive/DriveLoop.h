#pragma once

// The schedule of drive's requests, period by period, on the caller's
// thread and on an injected clock (so that it runs in fake time in tests).
//
// Every period (45 ms) starts with the velocity request, when one is due:
// while moving it is repeated every period, so that two reach the base at
// most 50 ms apart. The bumper bits, the safety reading, follow it in every
// period. The other readings take turns in the time left over: one is asked
// for only when its own measured round trip, with a margin, ends before the
// next period (or before the controller's next deadline), and it waits for
// its answer no longer than that. No request ever waits for the link: one
// whose answer could not yet be told apart from an owed one is left out
// (a velocity is "held back", a reading "left out"), never waited for.
//
// A stop (the all-zero velocity) goes out at once, whatever is pending: an
// emergency stop, a quit, a signal and the end of the brake ramp after a
// release do not wait for the period, and the link writes a stop even while
// an earlier velocity's answer is owed. Keys are read between any two
// requests, so a key waits at most one request's round trip.
#include <cstdint>
#include <functional>
#include <string>

#include "console/drive/DriveController.h"
#include "console/drive/DriveReadings.h"
#include "net/Failure.h"

namespace zorn {
namespace orbitane {
namespace test {

// What the loop learnt that the view and the closing report need.
struct DriveRunState {
    bool dryRun = false;
    long withheld = 0;              // velocity requests a dry run did not send
    std::string lastWithheld;
    bool zeroAttempted = false;     // a zero was sent after driving ended
    bool zeroAnswered = false;
    zorn::net::Failure zeroFailure;  // why that zero was not answered
    bool stopInDoubt = false;       // the last velocity request failed while the base may move
    bool refused = false;           // ... because the base refused it
    bool refusedZero = false;       // ... and it was a zero
    zorn::net::Failure refusal;
    bool lostHandled = false;       // the lost link's last zero was attempted
};

class DriveLoop {
public:
    static constexpr int64_t PERIOD_NS = 45000000;
    // Kept free before the next period and before a deadline: the loop's
    // own wake-up and bookkeeping.
    static constexpr int64_t MARGIN_NS = 1000000;

    struct Hooks {
        // Takes the keys that came meanwhile (between two requests).
        std::function<void()> readInput;
        // A signal asked the console to leave.
        std::function<bool()> interrupted;
    };

    DriveLoop(DriveController& controller, DriveReadings& readings, Hooks hooks);

    void setDryRun(bool dryRun) { state_.dryRun = dryRun; }
    // A clear bit is the triggered sensor.
    void setActiveLow(bool activeLow) { activeLow_ = activeLow; }

    // Does what is due now: the velocity (at the period, or at once for a
    // stop and at the controller's deadlines), the bumper once a period,
    // then other readings while they fit. `reserveNs` is kept free before
    // the next period (the view's drawing).
    void step(int64_t reserveNs = 0);
    // When step() has something to do next: the next period or deadline.
    int64_t wakeAt() const;
    int64_t nextPeriodNs() const { return nextPeriod_; }

    // A new link (after a reconnect): the next period starts now.
    void restart();

    const DriveRunState& state() const { return state_; }
    DriveRunState& state() { return state_; }

private:
    void beginPeriod(int64_t now);
    void sendVelocity(const BodyVelocity& velocity);
    // The zero attempted once the link is lost (the controller sends
    // nothing more then).
    void lastZero();
    int64_t velocityTimeout(int64_t now, bool stop) const;
    // A stop's answer is owed: the zero again, which reads it in. False
    // when none is owed.
    bool settleOwedStop();
    bool readBumper(int64_t horizon);
    bool readNext(int64_t horizon);
    void afterReading(PollOutcome outcome);
    void input();
    bool interrupted() const { return hooks_.interrupted && hooks_.interrupted(); }

    DriveController& controller_;
    DriveReadings& readings_;
    Hooks hooks_;
    bool activeLow_ = false;
    DriveRunState state_;
    int64_t nextPeriod_;
    bool periodTick_ = false;   // the period's velocity tick is still to run
    bool bumperTried_ = false;  // the period's bumper turn was taken
    bool bumperRead_ = true;    // ... and the bumper was read in it
    int64_t lastStopNs_ = 0;    // when the latest zero was written
    bool heldBack_ = false;     // the latest velocity was held back
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
