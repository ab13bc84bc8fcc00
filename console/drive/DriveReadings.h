#pragma once

// The drive command's side of the connection: the readings and what is
// known of them, the velocity requests, each kind of request's round trip
// as measured, and the link statistics the view shows, all through the
// one Base and the motion scope it keeps open while driving. Time comes
// from an injected clock (the link's), so that the schedule built on it
// can be run in fake time.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/SystemConfig.h"
#include "console/ApiClient.h"
#include "console/drive/DriveController.h"
#include "console/drive/DriveView.h"
#include "net/Clock.h"
#include "net/Failure.h"
#include "orbitane/Base.h"

namespace zorn {
namespace orbitane {
namespace test {

// The requests drive makes, each with a round trip of its own: the answers
// differ in size (13, 4, 9, 64, 2 and 5 bytes), and on a slow line the
// size shows.
enum class DriveRequest { Velocity, Bumper, Motor, Sensors, Status, Beacons };
constexpr int DRIVE_REQUEST_KINDS = 6;
const char* driveRequestName(DriveRequest request);

// What became of a poll. A refused reading was answered (the link is
// alive) but read nothing.
enum class PollOutcome { NotPolled, Answered, Refused, Failed };

// A request's failure the base answered: it refused, or does not know it.
inline bool refusedByTheBase(const zorn::net::Failure& failure) {
    return failure.cause == zorn::net::Cause::Refused || failure.cause == zorn::net::Cause::NotSupported;
}

// The round trips of one kind of request, as measured: the longest of the
// last few, forgotten after a while so that one slow answer does not keep
// the request out for good.
class RoundTrips {
public:
    static constexpr size_t KEPT = 4;
    static constexpr int64_t FORGET_AFTER_NS = 2000000000;
    void add(int64_t atNs, int64_t roundTripNs);
    // The longest recent round trip; 0 when none is known.
    int64_t expected(int64_t nowNs) const;
    // The shortest recent round trip: the least the request takes.
    int64_t shortest(int64_t nowNs) const;
    void clear() { samples_.clear(); }

private:
    std::deque<std::pair<int64_t, int64_t>> samples_;  // when, how long
};

class DriveReadings {
public:
    // How often each of the other readings is refreshed: odometers and
    // distances (which guard) at the view's 10 Hz, battery and beacons
    // twice a second. The bumper is read every period.
    static int64_t intervalNs(DriveRequest request);
    // A reading that timed out is left alone this long: each try costs the
    // others their turn. Not the bumper, which is tried every period.
    static constexpr int64_t BACKOFF_NS = 1000000000;
    // Kept free after a request's expected round trip: a request is asked
    // for only when it fits before the next velocity with this to spare.
    static int64_t marginNs(int64_t expectedNs);
    // What a request never answered yet is expected to take.
    static constexpr int64_t UNKNOWN_ROUND_TRIP_NS = 22500000;

    // `config` is null when the base's configuration could not be read;
    // `base` null while there is no link. Opens the motion scope the
    // velocities go through.
    DriveReadings(api::Base* base, const nivo::system::config::SystemConfig* config, double track,
                  zorn::net::Clock& clock);

    // A new link (after a reconnect): its round trips are learnt again,
    // and the pose goes on from the next odometer reading. The old link's
    // scope ends first (its stop, when the base may be moving by it).
    void setBase(api::Base* base, const nivo::system::config::SystemConfig* config);
    bool hasDriver() const { return base_ != nullptr; }
    // The motion scope the velocities go through; valid while hasDriver().
    api::Motion& motion() { return *motion_; }
    // The library ended the scope with its stop (an interrupt came while
    // the base might be moving): its outcome, with its log line written.
    bool stoppedByTheLibrary() const { return motion_ && motion_->ended() && !finished_; }
    // Ends the scope: nothing is sent when the base answered the last stop
    // request, else the stop under the attempts rule.
    api::StopOutcome finish();
    // The watch's zero, from its own thread while the loop is stuck.
    void zeroFromWatch();
    // The connection is gone: every request fails at once from now on.
    bool linkBroken() const;

    int64_t nowNs() const;
    // The round trip expected of `request`: its own, or before its first
    // answer UNKNOWN_ROUND_TRIP_NS or the longest of any kind if longer.
    int64_t expectedNs(DriveRequest request) const;
    // It fits between now and `horizonNs` with its margin.
    bool fits(DriveRequest request, int64_t horizonNs) const;
    // There is the least it took of late, with its margin (the safety
    // reading's test: one slow answer must not keep the bumper out of the
    // periods after it).
    bool mayFit(DriveRequest request, int64_t horizonNs) const;
    // An earlier answer of the same size is still owed: the link would
    // hold the request back until that answer came or lapsed.
    bool wouldWait(DriveRequest request) const;
    // Resting after a time-out.
    bool resting(DriveRequest request, int64_t nowNs) const;
    // A reading not read for its interval (and not resting): how long past
    // due it is, or -1 when it is not due.
    int64_t overdueNs(DriveRequest request, int64_t nowNs) const;
    // The schedule left a due reading out: counted at most once per
    // interval, for the view's "readings/s left out".
    void noteLeftOut(DriveRequest request);
    // A velocity request not sent because its predecessor's answer is owed.
    void noteVelocityHeldBack();

    // Reads one of the readings, waiting at most `timeoutNs`.
    PollOutcome poll(DriveRequest request, int64_t timeoutNs);
    uint32_t bumperBits() const { return bumperBits_; }
    // Sends a body velocity and checks its answer, waiting at most
    // `timeoutNs`.
    zorn::net::Done sendVelocity(const BodyVelocity& velocity, int64_t timeoutNs);

    // Fills the readings and link parts of the snapshot; distance sensors
    // nearer than `nearMm` are marked near.
    void fill(DriveSnapshot& snapshot, double nearMm) const;
    // The distances (mm) in reading order; false before the first reading.
    bool sonarDistances(std::vector<double>& mm) const;
    // The last request's failure, when one failed.
    bool lastFailure(zorn::net::Failure& out) const {
        out = lastFailure_;
        return failed_;
    }
    long failures() const { return failures_; }
    long timeouts() const { return timeouts_; }
    long leftOut() const { return leftOutTotal_; }
    long velocitiesHeldBack() const { return velocitiesHeldBack_; }
    // Requests of `request` made so far (answered or not).
    long made(DriveRequest request) const { return made_[static_cast<int>(request)]; }

private:
    struct Freshness {
        bool have = false;
        bool stale = false;
        int64_t readNs = 0;
        int64_t retryAtNs = 0;  // after a time-out, not polled again before this
        ReadingAge at(int64_t now) const;
    };

    Freshness* freshnessOf(DriveRequest request);
    const Freshness* freshnessOf(DriveRequest request) const;
    // Times one request, counts it, and marks its freshness; the request's
    // outcome.
    template <typename Request>
    auto timed(DriveRequest kind, Request request) -> decltype(request());
    template <typename Answer>
    static PollOutcome outcome(const Answer& answer) {
        if (answer) return PollOutcome::Answered;
        return refusedByTheBase(answer.failure()) ? PollOutcome::Refused : PollOutcome::Failed;
    }
    // One reading through the Base, timed and counted; its value into
    // `into` when it came.
    template <typename Call, typename Value>
    PollOutcome readInto(DriveRequest kind, Call call, Value& into);
    PollOutcome pollMotor();
    PollOutcome pollSensors();
    PollOutcome pollStatus();
    PollOutcome pollBeacons();
    PollOutcome pollBumper();
    // Sets the time limit of the next call.
    void limit(int64_t timeoutNs);

    api::Base* base_;
    std::optional<api::Motion> motion_;
    bool finished_ = false;
    const nivo::system::config::SystemConfig* config_;
    double track_;
    zorn::net::Clock& clock_;

    RoundTrips roundTrips_[DRIVE_REQUEST_KINDS];
    long made_[DRIVE_REQUEST_KINDS] = {};
    int64_t leftOutMarkNs_[DRIVE_REQUEST_KINDS] = {};
    Freshness status_, motor_, sensor_, bumper_, beacon_;
    api::Status statusValue_;
    int32_t leftMm_ = 0, rightMm_ = 0;  // the odometers' last reading
    bool haveOdometry_ = false;
    int64_t motorReadNs_ = 0;
    double x_ = 0, y_ = 0, theta_ = 0, measuredVx_ = 0, measuredOmega_ = 0;
    int64_t measuredNs_ = 0;  // when the measured speed was last worked out
    int64_t lastVelocityAnswerNs_ = 0;
    std::vector<double> sensorValue_;  // metres, in the answer's order
    uint32_t bumperBits_ = 0;
    api::BeaconReading beaconValue_;

    std::deque<std::pair<int64_t, int>> recentRequests_;  // when each ended, and its bytes on the wire
    std::deque<int64_t> leftOutTimes_;                    // when a due reading was left out
    std::deque<int64_t> heldBackTimes_;                   // when a velocity was held back
    long leftOutTotal_ = 0;
    long velocitiesHeldBack_ = 0;
    long failures_ = 0;
    long timeouts_ = 0;
    double lastRoundTripMs_ = -1.0;
    zorn::net::Failure lastFailure_;
    bool failed_ = false;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
