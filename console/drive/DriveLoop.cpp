#include "console/drive/DriveLoop.h"

#include <algorithm>
#include <cstdio>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

std::string velocityText(const BodyVelocity& v) {
    char text[64];
    std::snprintf(text, sizeof text, "vx %.3f m/s omega %.3f rad/s", v.vx, v.omega);
    return text;
}

// The readings that take turns in the time left over.
const DriveRequest OTHER_READINGS[] = {DriveRequest::Motor, DriveRequest::Sensors, DriveRequest::Status,
                                       DriveRequest::Beacons};

// Enough passes of step() to do a period's work many times over; a bound,
// so that a fault in the bookkeeping can never spin the loop.
constexpr int MAX_ACTIONS = 64;

}  // namespace

DriveLoop::DriveLoop(DriveController& controller, DriveReadings& readings, Hooks hooks)
    : controller_(controller), readings_(readings), hooks_(std::move(hooks)), nextPeriod_(readings.nowNs()) {}

void DriveLoop::restart() {
    nextPeriod_ = readings_.nowNs();
    state_.lostHandled = false;
    state_.zeroAttempted = false;
    state_.stopInDoubt = false;
    state_.refused = false;
}

int64_t DriveLoop::wakeAt() const { return std::min(nextPeriod_, controller_.deadline()); }

void DriveLoop::input() {
    if (hooks_.readInput) hooks_.readInput();
    if (interrupted()) controller_.stop(DriveExit::Signal);
}

void DriveLoop::beginPeriod(int64_t now) {
    // What the period that ends left out: the bumper when it was not read,
    // and a reading that was due for the whole period. Counted here, once,
    // rather than each time one did not fit.
    if (readings_.hasDriver() && !controller_.linkLost() && nextPeriod_ + PERIOD_NS >= now) {
        if (!bumperRead_ && !readings_.resting(DriveRequest::Bumper, now)) {
            readings_.noteLeftOut(DriveRequest::Bumper);
        }
        for (DriveRequest request : OTHER_READINGS) {
            if (readings_.overdueNs(request, now) >= PERIOD_NS) readings_.noteLeftOut(request);
        }
    }
    periodTick_ = true;
    bumperTried_ = false;
    bumperRead_ = false;
    // A period that starts late keeps at least half a period before the next.
    nextPeriod_ = std::max(nextPeriod_ + PERIOD_NS, now + PERIOD_NS / 2);
}

int64_t DriveLoop::velocityTimeout(int64_t now, bool stop) const {
    // Never past the next period; but a stop sent late in a period gets
    // its round trip and then some, so that it is not given up on just
    // before its answer comes (an owed stop holds back every request but
    // another stop).
    const int64_t expected = readings_.expectedNs(DriveRequest::Velocity);
    const int64_t floor = (stop ? expected * 3 / 2 : expected) + DriveReadings::marginNs(expected);
    return std::min(PERIOD_NS, std::max(nextPeriod_ - now - MARGIN_NS, floor));
}

bool DriveLoop::settleOwedStop() {
    // While a stop's answer is owed the link writes nothing but a stop, and
    // it reads what arrived only when a request is made: nothing would ever
    // read that answer in. The zero goes out again (a stop is always safe
    // to repeat); it reads the owed answer in, and the period goes on.
    if (state_.dryRun || !readings_.hasDriver()) return false;
    if (!readings_.wouldWait(DriveRequest::Bumper) || !readings_.wouldWait(DriveRequest::Status)) return false;
    // Not before the owed answer can have come: a zero written sooner would
    // be confirmed by it and leave its own answer owed in turn.
    const int64_t expected = readings_.expectedNs(DriveRequest::Velocity);
    if (readings_.nowNs() < lastStopNs_ + expected + DriveReadings::marginNs(expected)) return false;
    sendVelocity(BodyVelocity());
    return true;
}

void DriveLoop::sendVelocity(const BodyVelocity& v) {
    if (state_.dryRun) {
        ++state_.withheld;
        state_.lastWithheld = velocityText(v);
        controller_.onVelocitySent(v, true);
        return;
    }
    // A moving velocity whose predecessor's answer is still owed would wait
    // for it: it is held back instead, and due again at the next tick. A
    // zero is a stop, which the link writes at once.
    if (!v.isZero() && readings_.wouldWait(DriveRequest::Velocity)) {
        controller_.onVelocityHeldBack();
        readings_.noteVelocityHeldBack();
        heldBack_ = true;
        return;
    }
    heldBack_ = false;
    if (v.isZero()) lastStopNs_ = readings_.nowNs();
    const zorn::net::Done result = readings_.sendVelocity(v, velocityTimeout(readings_.nowNs(), v.isZero()));
    if (!result && interrupted()) controller_.stop(DriveExit::Signal);  // cut by the signal, not lost
    if (!result && refusedByTheBase(result.failure())) {
        controller_.onVelocityRefused(v);
        state_.refusal = result.failure();
        state_.refused = true;
        state_.refusedZero = v.isZero();
    } else {
        controller_.onVelocitySent(v, result.ok());
        if (result) state_.refused = false;
    }
    // The base keeps the last velocity it took: a request it did not take
    // while it may be moving is an alarm, until one is taken.
    state_.stopInDoubt = !result && controller_.everMoved() && !controller_.stopAcknowledged();
    if (controller_.exitReason() != DriveExit::None && v.isZero()) {
        state_.zeroAttempted = true;
        state_.zeroFailure = result ? zorn::net::Failure() : result.failure();
        state_.zeroAnswered = result.ok();
    }
}

void DriveLoop::lastZero() {
    if (state_.lostHandled) return;
    state_.lostHandled = true;
    // Stop trying, except for one last zero when the base may be moving.
    if (state_.dryRun || controller_.stopAcknowledged() || state_.zeroAttempted || !readings_.hasDriver()) return;
    const BodyVelocity zero;
    lastStopNs_ = readings_.nowNs();
    const zorn::net::Done result = readings_.sendVelocity(zero, velocityTimeout(readings_.nowNs(), true));
    controller_.onVelocitySent(zero, result.ok());
    state_.zeroAttempted = true;
    state_.zeroAnswered = result.ok();
    state_.zeroFailure = result ? zorn::net::Failure() : result.failure();
}

void DriveLoop::afterReading(PollOutcome outcome) {
    if (outcome == PollOutcome::NotPolled) return;
    if (outcome == PollOutcome::Failed && interrupted()) controller_.stop(DriveExit::Signal);
    controller_.onRequestResult(outcome != PollOutcome::Failed);
}

bool DriveLoop::readBumper(int64_t horizon) {
    const int64_t now = readings_.nowNs();
    if (readings_.resting(DriveRequest::Bumper, now)) return false;
    if (readings_.wouldWait(DriveRequest::Bumper) || !readings_.mayFit(DriveRequest::Bumper, horizon)) return false;
    bumperRead_ = true;
    const PollOutcome outcome = readings_.poll(DriveRequest::Bumper, horizon - now);
    afterReading(outcome);
    if (outcome == PollOutcome::Answered) {
        const uint32_t bits = readings_.bumperBits();
        controller_.onBumperBits(activeLow_ ? ~bits : bits);
    }
    return true;
}

bool DriveLoop::readNext(int64_t horizon) {
    const int64_t now = readings_.nowNs();
    // The reading longest past its time goes first.
    DriveRequest order[4];
    int count = 0;
    for (DriveRequest request : OTHER_READINGS) {
        if (readings_.overdueNs(request, now) >= 0) order[count++] = request;
    }
    std::stable_sort(order, order + count, [this, now](DriveRequest a, DriveRequest b) {
        return readings_.overdueNs(a, now) > readings_.overdueNs(b, now);
    });
    for (int i = 0; i < count; ++i) {
        const DriveRequest request = order[i];
        if (readings_.wouldWait(request) || !readings_.fits(request, horizon)) {
            continue;  // a shorter one may still fit
        }
        const PollOutcome outcome = readings_.poll(request, horizon - now);
        afterReading(outcome);
        if (request == DriveRequest::Sensors && outcome == PollOutcome::Answered) {
            std::vector<double> distances;
            if (readings_.sonarDistances(distances)) controller_.onSonarDistances(distances);
        }
        return true;
    }
    return false;
}

void DriveLoop::step(int64_t reserveNs) {
    for (int action = 0; action < MAX_ACTIONS; ++action) {
        if (interrupted()) controller_.stop(DriveExit::Signal);
        const int64_t now = readings_.nowNs();
        if (now >= nextPeriod_) beginPeriod(now);
        if (readings_.linkBroken() && !controller_.linkLost()) controller_.onLinkGone();
        if (controller_.linkLost()) {
            lastZero();
            return;
        }
        // A velocity held back goes as soon as the answer in its way was
        // read in (by the request after it), not a whole period later.
        const bool unblocked = heldBack_ && !readings_.wouldWait(DriveRequest::Velocity);
        if (periodTick_ || unblocked || controller_.urgent() || now >= controller_.deadline()) {
            periodTick_ = false;
            heldBack_ = false;
            BodyVelocity velocity;
            if (controller_.tick(velocity)) {
                sendVelocity(velocity);
                input();
                continue;
            }
        }
        if (controller_.exitReason() != DriveExit::None) {
            if (controller_.linkLost()) lastZero();
            return;  // the zero went out with the tick; the command leaves
        }
        const int64_t horizon = std::min(nextPeriod_ - reserveNs, controller_.deadline()) - MARGIN_NS;
        if (!bumperRead_ && settleOwedStop()) {
            bumperTried_ = false;  // the bumper may still fit in this period
            input();
            continue;
        }
        if (!bumperTried_) {
            bumperTried_ = true;
            if (readBumper(horizon)) {
                input();
                continue;
            }
        }
        if (readNext(horizon)) {
            input();
            continue;
        }
        return;
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
