#include "console/DriveReadings.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "console/OrbitaneBaseConsoleApplication.h"
#include "console/RunClock.h"
#include "drv/FixedPoint.h"
#include "drv/QuindleBaseDrv.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::config;
using namespace zorn::drv;

namespace {

constexpr int64_t SECOND_NS = 1000000000;
// Sonar bars span this range when the configuration gives no maximum.
constexpr double DEFAULT_SONAR_RANGE_MM = 2000.0;
// Readings polled in turn after the bumper bits.
constexpr int READING_KINDS = 4;
// A reading that timed out is left alone this long: it costs the others
// their turn each time it is tried.
constexpr int64_t BACKOFF_NS = SECOND_NS;
// Readings are refreshed several times a second; one older than this is
// shown stale.
constexpr int64_t STALE_AFTER_NS = SECOND_NS;
// A bumper reading younger than this may give its turn to another reading.
constexpr int64_t BUMPER_YIELDS_WITHIN_NS = 150 * 1000000;
// Kept free before the velocity request a reading yields to: the loop's
// own wake-up and bookkeeping.
constexpr int64_t DEADLINE_MARGIN_NS = 2 * 1000000;

}  // namespace

ReadingAge DriveReadings::Freshness::at(int64_t now) const {
    ReadingAge age;
    age.have = have;
    // A reading not refreshed for a while (left out on a slow link, or left
    // alone after a time-out) is as stale as one whose request failed.
    age.stale = stale || !have || now - readNs > STALE_AFTER_NS;
    age.ageSeconds = have ? static_cast<double>(now - readNs) / 1e9 : 0.0;
    return age;
}

DriveReadings::DriveReadings(QuindleBaseDrv& driver, const SystemConfig* config, double track)
    : driver_(driver), config_(config), track_(track) {}

namespace {

// Bytes a request and its answer put on the wire: each frame is its flags,
// length, command and checksum around the payload (the request's payload is
// its code and its arguments).
int exchangeBytes(size_t argumentBytes, size_t answerBytes) {
    return static_cast<int>(4 + 1 + argumentBytes + 4 + answerBytes);
}

}  // namespace

template <typename Request>
auto DriveReadings::timed(Freshness* freshness, int wireBytes, Request request) -> decltype(request()) {
    const int64_t start = monotonicNanoseconds();
    const auto result = request();
    const int64_t end = monotonicNanoseconds();
    recentRequests_.push_back({end, wireBytes});
    while (!recentRequests_.empty() && end - recentRequests_.front().first > SECOND_NS) {
        recentRequests_.pop_front();
    }
    const bool timedOut = !result && result.failure().cause == net::Cause::Timeout;
    if (!result) {
        ++failures_;
        if (timedOut) ++timeouts_;
        lastFailure_ = result.failure();
        failed_ = true;
    } else {
        lastRoundTripMs_ = static_cast<double>(end - start) / 1e6;
    }
    if (freshness != nullptr) {
        freshness->stale = !result;
        if (timedOut) {
            freshness->retryAtNs = end + BACKOFF_NS;
        }
        if (result) {
            freshness->have = true;
            freshness->readNs = end;
            freshness->roundTripNs = end - start;
        }
    }
    return result;
}

int32_t DriveReadings::timeLeftFor(const Freshness& reading, int64_t deadlineNs) {
    const int64_t now = monotonicNanoseconds();
    const int64_t left = deadlineNs - now - DEADLINE_MARGIN_NS;
    // Its own last round trip, or any request's before its first answer.
    const int64_t expected = reading.roundTripNs > 0       ? reading.roundTripNs
                             : lastRoundTripMs_ > 0.0 ? static_cast<int64_t>(lastRoundTripMs_ * 1e6)
                                                      : 0;
    if (left <= 0 || left < expected) {
        heldBack_.push_back(now);
        while (now - heldBack_.front() > SECOND_NS) heldBack_.pop_front();
        return 0;
    }
    return static_cast<int32_t>(std::min<int64_t>(QuindleBaseDrv::REQUEST_TIMEOUT.count(), (left + 999999) / 1000000));
}

PollOutcome DriveReadings::pollBumper(uint32_t& bits, int64_t deadlineNs) {
    const int64_t now = monotonicNanoseconds();
    if (now < bumper_.retryAtNs) {
        return PollOutcome::NotPolled;
    }
    // On a link with room for one reading a period, the bumper bits would
    // take every turn: a fresh bumper reading gives its turn to another
    // reading gone stale.
    if (bumper_.have && now - bumper_.readNs < BUMPER_YIELDS_WITHIN_NS && nextIsOverdue(now)) {
        return PollOutcome::NotPolled;
    }
    const int32_t timeoutMs = timeLeftFor(bumper_, deadlineNs);
    if (timeoutMs == 0) {
        return PollOutcome::NotPolled;
    }
    const auto data = timed(&bumper_, exchangeBytes(0, sizeof(base_bumper_data_response_t)),
                            [&] { return driver_.getBumperData(std::chrono::milliseconds(timeoutMs)); });
    if (!data) return outcome(data);
    bumperBits_ = data->bits;
    bits = bumperBits_;
    return PollOutcome::Answered;
}

bool DriveReadings::nextIsOverdue(int64_t now) const {
    const Freshness* freshness[READING_KINDS] = {&motor_, &sensor_, &status_, &beacon_};
    for (int i = 0; i < READING_KINDS; ++i) {
        const Freshness& next = *freshness[(nextReading_ + i) % READING_KINDS];
        if (now >= next.retryAtNs) {
            return next.at(now).stale && !next.stale;  // left out, not failing
        }
    }
    return false;
}

PollOutcome DriveReadings::pollNext(int64_t deadlineNs) {
    const int64_t now = monotonicNanoseconds();
    for (int tries = 0; tries < READING_KINDS; ++tries) {
        const int kind = nextReading_;
        nextReading_ = (nextReading_ + 1) % READING_KINDS;
        const Freshness* freshness[READING_KINDS] = {&motor_, &sensor_, &status_, &beacon_};
        if (now < freshness[kind]->retryAtNs) {
            continue;
        }
        // One that does not fit gives its turn to the next, on a later tick.
        const int32_t timeoutMs = timeLeftFor(*freshness[kind], deadlineNs);
        if (timeoutMs == 0) {
            return PollOutcome::NotPolled;
        }
        switch (kind) {
            case 0: return pollMotor(timeoutMs);
            case 1: return pollSensors(timeoutMs);
            case 2: return pollStatus(timeoutMs);
            default: return pollBeacons(timeoutMs);
        }
    }
    return PollOutcome::NotPolled;
}

PollOutcome DriveReadings::pollMotor(int32_t timeoutMs) {
    const auto answer = timed(&motor_, exchangeBytes(0, sizeof(base_motor_status_response_t)),
                              [&] { return driver_.getMotorData(std::chrono::milliseconds(timeoutMs)); });
    if (!answer) return outcome(answer);
    const Odometry& data = *answer;
    const int64_t now = monotonicNanoseconds();
    if (haveOdometry_) {
        // Pose since the view started, from the wheel odometers (mm).
        const double dl = data.leftSinceMm(motorValue_) / 1000.0;
        const double dr = data.rightSinceMm(motorValue_) / 1000.0;
        const double d = (dl + dr) / 2.0;
        const double dtheta = (dr - dl) / track_;
        x_ += d * std::cos(theta_ + dtheta / 2.0);
        y_ += d * std::sin(theta_ + dtheta / 2.0);
        theta_ += dtheta;
        const double seconds = static_cast<double>(now - motorReadNs_) / 1e9;
        if (seconds > 0) {
            measuredVx_ = d / seconds;
            measuredOmega_ = dtheta / seconds;
        }
    }
    haveOdometry_ = true;
    motorValue_ = data;
    motorReadNs_ = now;
    return PollOutcome::Answered;
}

PollOutcome DriveReadings::pollSensors(int32_t timeoutMs) {
    const auto answer = timed(&sensor_, exchangeBytes(0, sizeof(base_sensor_data_response_t)),
                              [&] { return driver_.getSensorData(std::chrono::milliseconds(timeoutMs)); });
    if (answer) sensorValue_ = *answer;
    return outcome(answer);
}

PollOutcome DriveReadings::pollStatus(int32_t timeoutMs) {
    const auto answer = timed(&status_, exchangeBytes(0, sizeof(base_status_response_t)),
                              [&] { return driver_.getStatus(std::chrono::milliseconds(timeoutMs)); });
    if (answer) statusValue_ = *answer;
    return outcome(answer);
}

PollOutcome DriveReadings::pollBeacons(int32_t timeoutMs) {
    const auto answer = timed(&beacon_, exchangeBytes(1, sizeof(base_autohome_response_t)),
                              [&]() -> net::Outcome<Beacons> {
                                  const auto beacons = driver_.getAutoHomeData(std::chrono::milliseconds(timeoutMs));
                                  if (beacons && beacons->answerSize != sizeof(base_autohome_response_t)) {
                                      return net::Failure::of(net::Cause::InvalidAnswer, true);
                                  }
                                  return beacons;
                              });
    if (answer) beaconValue_ = *answer;
    return outcome(answer);
}

net::Done DriveReadings::sendVelocity(const BodyVelocity& velocity) {
    const auto answer = timed(nullptr, exchangeBytes(sizeof(base_set_velocity_request_t), sizeof(base_set_velocity_response_t)),
                              [&] { return driver_.setVelocity(velocity.vx, 0, velocity.omega); });
    if (!answer) return answer.failure();
    return {};
}

bool DriveReadings::sonarDistances(std::vector<double>& mm) const {
    if (!sensor_.have) return false;
    mm.clear();
    for (int i = 0; i < BASE_SENSOR_VALUES; ++i) mm.push_back(sensorValue_.metres[i] * 1000.0);
    return true;
}

void DriveReadings::fill(DriveSnapshot& s, double nearMm) const {
    const int64_t now = monotonicNanoseconds();
    s.statusAge = status_.at(now);
    s.batteryPercent = statusValue_.batteryPercent;
    s.charging = !status_.have ? ""
                 : statusValue_.legacyCharging()
                     ? "Charging"
                     : OrbitaneBaseConsoleApplication::chargingStatusText(statusValue_.chargingFlags);

    s.motorAge = motor_.at(now);
    s.leftMm = motorValue_.leftMm;
    s.rightMm = motorValue_.rightMm;
    s.x = x_;
    s.y = y_;
    s.headingDeg = zorn::drv::toDegrees(theta_);
    s.measuredVx = measuredVx_;
    s.measuredOmega = measuredOmega_;

    s.sensorAge = sensor_.at(now);
    s.sonars.clear();
    if (config_ == nullptr) {
        s.sensorNote = "configuration unreadable: sensors unknown";
    } else {
        int cursor = 0;
        for (const SensorConfig& sensor : config_->base.sensors) {
            if (sensor.type != SensorKind::Sonar || cursor >= BASE_SENSOR_VALUES) {
                continue;
            }
            SonarBar bar;
            bar.label = "sonar #" + std::to_string(sensor.id);
            bar.mm = sensorValue_.metres[cursor++] * 1000.0;
            bar.read = sensor_.have;
            bar.near = bar.read && bar.mm > 0.0 && bar.mm < nearMm;
            bar.fullScaleMm = sensor.max_distance > 0 ? sensor.max_distance * 1000.0 : DEFAULT_SONAR_RANGE_MM;
            s.sonars.push_back(bar);
        }
        s.sensorNote = "no distance sensors configured";
    }

    s.bumperAge = bumper_.at(now);
    s.beaconAge = beacon_.at(now);
    s.beaconCount = beaconValue_.beaconCount;
    s.probes.assign(beaconValue_.probes.begin(),
                    beaconValue_.probes.begin() + std::min<int>(beaconValue_.probeCount, BASE_MAX_PROBES));

    size_t recent = 0, bytes = 0;
    for (const auto& request : recentRequests_) {
        if (now - request.first > SECOND_NS) continue;
        ++recent;
        bytes += static_cast<size_t>(request.second);
    }
    s.requestsPerSecond = static_cast<double>(recent);
    s.heldBackPerSecond = static_cast<double>(
        std::count_if(heldBack_.begin(), heldBack_.end(), [now](int64_t at) { return now - at <= SECOND_NS; }));
    s.bytesPerSecond = static_cast<double>(bytes);
    s.failures = failures_;
    s.timeouts = timeouts_;
    s.lastRoundTripMs = lastRoundTripMs_;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
