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
#include "drv/ControlBus.h"

namespace zorn {
namespace drv {
class QuindleBaseDrv;
}

namespace orbitane {
namespace test {

// What became of a poll: a reading that recently timed out is left alone
// for a while, so one silent request cannot stall the control period.
enum class PollOutcome { NotPolled, Answered, Failed };

class DriveReadings {
public:
    // `config` is null when the base's configuration could not be read.
    DriveReadings(drv::QuindleBaseDrv& driver, const nivo::system::config::SystemConfig* config, double track);

    // Reads the bumper bits.
    PollOutcome pollBumper(uint32_t& bits);
    // Reads the next of the other readings in turn (motor, sensors, status,
    // beacons).
    PollOutcome pollNext();
    // Sends a body velocity and checks its answer; the result code.
    int32_t sendVelocity(const BodyVelocity& velocity);

    // Fills the readings and link parts of the snapshot; distance sensors
    // nearer than `nearMm` are marked near.
    void fill(DriveSnapshot& snapshot, double nearMm) const;
    // The distances (mm) in reading order; false before the first reading.
    bool sonarDistances(std::vector<double>& mm) const;
    int32_t lastFailure() const { return lastFailure_; }

private:
    struct Freshness {
        bool have = false;
        bool stale = false;
        int64_t readNs = 0;
        int64_t retryAtNs = 0;  // after a time-out, not polled again before this
        ReadingAge at(int64_t now) const;
    };

    // Times one request, counts it, and marks `freshness`.
    template <typename Request>
    int32_t timed(Freshness* freshness, int wireBytes, Request request);
    static PollOutcome outcome(bool answered) { return answered ? PollOutcome::Answered : PollOutcome::Failed; }
    bool pollMotor();
    bool pollSensors();
    bool pollStatus();
    bool pollBeacons();

    drv::QuindleBaseDrv& driver_;
    const nivo::system::config::SystemConfig* config_;
    double track_;
    int nextReading_ = 0;

    Freshness status_, motor_, sensor_, bumper_, beacon_;
    drv::base_status_response_t statusValue_{};
    drv::base_motor_status_response_t motorValue_{};
    bool haveOdometry_ = false;
    int64_t motorReadNs_ = 0;
    double x_ = 0, y_ = 0, theta_ = 0, measuredVx_ = 0, measuredOmega_ = 0;
    drv::base_sensor_data_response_t sensorValue_{};
    uint32_t bumperBits_ = 0;
    drv::base_autohome_response_t beaconValue_{};

    std::deque<std::pair<int64_t, int>> recentRequests_;  // when each ended, and its bytes on the wire
    long failures_ = 0;
    long timeouts_ = 0;
    double lastRoundTripMs_ = -1.0;
    int32_t lastFailure_ = 0;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
