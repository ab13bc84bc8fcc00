#pragma once

// The drive command's side of the connection: readings polled in turn,
// velocity requests, and the link statistics, all over the one driver.
#include <cstdint>
#include <deque>
#include <utility>
#include <string>
#include <vector>

#include "config/SystemConfig.h"
#include "console/DriveController.h"
#include "console/DriveView.h"
#include "drv/BaseValues.h"
#include "drv/ControlBus.h"
#include "net/Failure.h"

namespace zorn {
namespace drv {
class QuindleBaseDrv;
}

namespace orbitane {
namespace test {

// What became of a poll. Readings yield to the velocity requests: one is
// polled only when its round trip fits in the time left before the next
// velocity request, and waits for its answer no longer than that. A reading
// that timed out is also left alone for a while. A refused reading was
// answered (the link is alive) but read nothing.
enum class PollOutcome { NotPolled, Answered, Refused, Failed };

// A request's failure the base answered: it refused, or does not know it.
inline bool refusedByTheBase(const zorn::net::Failure& failure) {
    return failure.cause == zorn::net::Cause::Refused || failure.cause == zorn::net::Cause::NotSupported;
}

class DriveReadings {
public:
    // `config` is null when the base's configuration could not be read.
    DriveReadings(drv::QuindleBaseDrv& driver, const nivo::system::config::SystemConfig* config, double track);

    // Reads the bumper bits, if that fits before `deadlineNs`.
    PollOutcome pollBumper(uint32_t& bits, int64_t deadlineNs);
    // Reads the next of the other readings in turn (motor, sensors, status,
    // beacons), if it fits before `deadlineNs`.
    PollOutcome pollNext(int64_t deadlineNs);
    // Sends a body velocity and checks its answer.
    zorn::net::Done sendVelocity(const BodyVelocity& velocity);

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

private:
    struct Freshness {
        bool have = false;
        bool stale = false;
        int64_t readNs = 0;
        int64_t retryAtNs = 0;  // after a time-out, not polled again before this
        int64_t roundTripNs = 0;  // of its last answered request; 0 before one
        ReadingAge at(int64_t now) const;
    };

    // The time-out (ms) left for `reading` before `deadlineNs`, or 0 (and
    // the reading counted as held back) when its expected round trip does
    // not fit.
    int32_t timeLeftFor(const Freshness& reading, int64_t deadlineNs);
    // Whether the reading next in turn has not been read for a while.
    bool nextIsOverdue(int64_t now) const;

    // Times one request, counts it, and marks `freshness`; the request's
    // outcome.
    template <typename Request>
    auto timed(Freshness* freshness, int wireBytes, Request request) -> decltype(request());
    template <typename Answer>
    static PollOutcome outcome(const Answer& answer) {
        if (answer) return PollOutcome::Answered;
        return refusedByTheBase(answer.failure()) ? PollOutcome::Refused : PollOutcome::Failed;
    }
    PollOutcome pollMotor(int32_t timeoutMs);
    PollOutcome pollSensors(int32_t timeoutMs);
    PollOutcome pollStatus(int32_t timeoutMs);
    PollOutcome pollBeacons(int32_t timeoutMs);

    drv::QuindleBaseDrv& driver_;
    const nivo::system::config::SystemConfig* config_;
    double track_;
    int nextReading_ = 0;

    Freshness status_, motor_, sensor_, bumper_, beacon_;
    drv::Status statusValue_;
    drv::Odometry motorValue_;
    bool haveOdometry_ = false;
    int64_t motorReadNs_ = 0;
    double x_ = 0, y_ = 0, theta_ = 0, measuredVx_ = 0, measuredOmega_ = 0;
    drv::Distances sensorValue_;
    uint32_t bumperBits_ = 0;
    drv::Beacons beaconValue_;

    std::deque<std::pair<int64_t, int>> recentRequests_;  // when each ended, and its bytes on the wire
    std::deque<int64_t> heldBack_;                        // when a reading did not fit
    long failures_ = 0;
    long timeouts_ = 0;
    double lastRoundTripMs_ = -1.0;
    zorn::net::Failure lastFailure_;
    bool failed_ = false;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
