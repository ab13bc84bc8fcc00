#include "console/drive/DriveReadings.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "console/OrbitaneBaseConsoleApplication.h"
#include "drv/FixedPoint.h"
#include "drv/QuindleBaseDrv.h"
#include "net/Link.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::config;
using namespace zorn::drv;

namespace {

constexpr int64_t MS_NS = 1000000;
constexpr int64_t SECOND_NS = 1000000000;
// Sonar bars span this range when the configuration gives no maximum.
constexpr double DEFAULT_SONAR_RANGE_MM = 2000.0;
// Readings are refreshed several times a second; one older than this is
// shown stale.
constexpr int64_t STALE_AFTER_NS = SECOND_NS;
// The velocity answers measure the speed only while they come this close
// together (while driving); otherwise the odometers do.
constexpr int64_t MEASURE_WITHIN_NS = SECOND_NS / 2;

// Bytes a request and its answer put on the wire: each frame is its flags,
// length, command and checksum around the payload (the request's payload is
// its code and its arguments).
int exchangeBytes(size_t argumentBytes, size_t answerBytes) {
    return static_cast<int>(4 + 1 + argumentBytes + 4 + answerBytes);
}

// The size of each request's answer, as the link tells answers apart.
uint32_t answerSize(DriveRequest request) {
    switch (request) {
        case DriveRequest::Velocity: return sizeof(base_set_velocity_response_t);
        case DriveRequest::Bumper: return sizeof(base_bumper_data_response_t);
        case DriveRequest::Motor: return sizeof(base_motor_status_response_t);
        case DriveRequest::Sensors: return sizeof(base_sensor_data_response_t);
        case DriveRequest::Status: return sizeof(base_status_response_t);
        case DriveRequest::Beacons: return sizeof(base_autohome_response_t);
    }
    return 0;
}

std::chrono::nanoseconds asDuration(int64_t ns) { return std::chrono::nanoseconds(std::max<int64_t>(ns, MS_NS)); }

}  // namespace

const char* driveRequestName(DriveRequest request) {
    switch (request) {
        case DriveRequest::Velocity: return "velocity";
        case DriveRequest::Bumper: return "bumper";
        case DriveRequest::Motor: return "motor";
        case DriveRequest::Sensors: return "sensors";
        case DriveRequest::Status: return "status";
        case DriveRequest::Beacons: return "beacons";
    }
    return "?";
}

void RoundTrips::add(int64_t atNs, int64_t roundTripNs) {
    samples_.emplace_back(atNs, roundTripNs);
    while (samples_.size() > KEPT) samples_.pop_front();
}

int64_t RoundTrips::expected(int64_t nowNs) const {
    int64_t longest = 0;
    for (const auto& sample : samples_) {
        if (nowNs - sample.first <= FORGET_AFTER_NS) longest = std::max(longest, sample.second);
    }
    // Nothing recent (a request the schedule has left out for a while):
    // the latest measure is still the best there is.
    if (longest == 0 && !samples_.empty()) longest = samples_.back().second;
    return longest;
}

int64_t RoundTrips::shortest(int64_t nowNs) const {
    int64_t least = 0;
    for (const auto& sample : samples_) {
        if (nowNs - sample.first <= FORGET_AFTER_NS && (least == 0 || sample.second < least)) least = sample.second;
    }
    if (least == 0 && !samples_.empty()) least = samples_.back().second;
    return least;
}

int64_t DriveReadings::intervalNs(DriveRequest request) {
    switch (request) {
        case DriveRequest::Motor:
        case DriveRequest::Sensors: return 100 * MS_NS;
        case DriveRequest::Status:
        case DriveRequest::Beacons: return 500 * MS_NS;
        case DriveRequest::Velocity:
        case DriveRequest::Bumper: return 45 * MS_NS;
    }
    return SECOND_NS;
}

int64_t DriveReadings::marginNs(int64_t expectedNs) { return std::max<int64_t>(2 * MS_NS, expectedNs * 15 / 100); }

ReadingAge DriveReadings::Freshness::at(int64_t now) const {
    ReadingAge age;
    age.have = have;
    // A reading not refreshed for a while (left out on a slow link, or left
    // alone after a time-out) is as stale as one whose request failed.
    age.stale = stale || !have || now - readNs > STALE_AFTER_NS;
    age.ageSeconds = have ? static_cast<double>(now - readNs) / 1e9 : 0.0;
    return age;
}

DriveReadings::DriveReadings(QuindleBaseDrv* driver, const SystemConfig* config, double track,
                             zorn::net::Clock& clock)
    : driver_(driver), config_(config), track_(track), clock_(clock) {}

void DriveReadings::setDriver(QuindleBaseDrv* driver, const SystemConfig* config) {
    driver_ = driver;
    config_ = config;
    for (RoundTrips& trips : roundTrips_) trips.clear();
    haveOdometry_ = false;
    lastVelocityAnswerNs_ = 0;
    for (Freshness* f : {&status_, &motor_, &sensor_, &bumper_, &beacon_}) f->retryAtNs = 0;
}

bool DriveReadings::linkBroken() const { return driver_ != nullptr && driver_->link().broken(); }

int64_t DriveReadings::nowNs() const { return zorn::net::nanos(clock_.now().time_since_epoch()); }

DriveReadings::Freshness* DriveReadings::freshnessOf(DriveRequest request) {
    return const_cast<Freshness*>(static_cast<const DriveReadings*>(this)->freshnessOf(request));
}

const DriveReadings::Freshness* DriveReadings::freshnessOf(DriveRequest request) const {
    switch (request) {
        case DriveRequest::Bumper: return &bumper_;
        case DriveRequest::Motor: return &motor_;
        case DriveRequest::Sensors: return &sensor_;
        case DriveRequest::Status: return &status_;
        case DriveRequest::Beacons: return &beacon_;
        case DriveRequest::Velocity: return nullptr;
    }
    return nullptr;
}

int64_t DriveReadings::expectedNs(DriveRequest request) const {
    const int64_t now = nowNs();
    const int64_t own = roundTrips_[static_cast<int>(request)].expected(now);
    if (own > 0) return own;
    // Never answered yet: answers differ in size, so another kind's round
    // trip says little; half a period, or the longest known if longer.
    int64_t longest = UNKNOWN_ROUND_TRIP_NS;
    for (const RoundTrips& trips : roundTrips_) longest = std::max(longest, trips.expected(now));
    return longest;
}

bool DriveReadings::fits(DriveRequest request, int64_t horizonNs) const {
    const int64_t expected = expectedNs(request);
    return nowNs() + expected + marginNs(expected) <= horizonNs;
}

bool DriveReadings::mayFit(DriveRequest request, int64_t horizonNs) const {
    int64_t least = roundTrips_[static_cast<int>(request)].shortest(nowNs());
    if (least == 0) least = expectedNs(request);
    return nowNs() + least + marginNs(least) <= horizonNs;
}

bool DriveReadings::wouldWait(DriveRequest request) const {
    if (driver_ == nullptr) return true;
    const zorn::net::Motion motion =
        request == DriveRequest::Velocity ? zorn::net::Motion::Moves : zorn::net::Motion::None;
    return driver_->link().wouldWait(
        zorn::net::RequestKind{zorn::net::AnswerShape::of(answerSize(request)), motion});
}

bool DriveReadings::resting(DriveRequest request, int64_t nowNs) const {
    const Freshness* freshness = freshnessOf(request);
    return freshness != nullptr && nowNs < freshness->retryAtNs;
}

int64_t DriveReadings::overdueNs(DriveRequest request, int64_t nowNs) const {
    const Freshness* freshness = freshnessOf(request);
    if (freshness == nullptr || resting(request, nowNs)) return -1;
    if (!freshness->have) return SECOND_NS;  // never read: first in line
    const int64_t past = nowNs - freshness->readNs - intervalNs(request);
    return past >= 0 ? past : -1;
}

void DriveReadings::noteLeftOut(DriveRequest request) {
    const int64_t now = nowNs();
    int64_t& mark = leftOutMarkNs_[static_cast<int>(request)];
    if (mark != 0 && now - mark < intervalNs(request)) return;
    mark = now;
    ++leftOutTotal_;
    leftOutTimes_.push_back(now);
    while (!leftOutTimes_.empty() && now - leftOutTimes_.front() > SECOND_NS) leftOutTimes_.pop_front();
}

void DriveReadings::noteVelocityHeldBack() {
    const int64_t now = nowNs();
    ++velocitiesHeldBack_;
    heldBackTimes_.push_back(now);
    while (!heldBackTimes_.empty() && now - heldBackTimes_.front() > SECOND_NS) heldBackTimes_.pop_front();
}

template <typename Request>
auto DriveReadings::timed(DriveRequest kind, int wireBytes, Request request) -> decltype(request()) {
    Freshness* freshness = freshnessOf(kind);
    ++made_[static_cast<int>(kind)];
    const int64_t start = nowNs();
    const auto result = request();
    const int64_t end = nowNs();
    recentRequests_.push_back({end, wireBytes});
    while (!recentRequests_.empty() && end - recentRequests_.front().first > SECOND_NS) {
        recentRequests_.pop_front();
    }
    const bool timedOut = !result && result.failure().cause == net::Cause::Timeout;
    // Only a request that failed counts; one the schedule left out never
    // got this far.
    if (!result) {
        ++failures_;
        if (timedOut) ++timeouts_;
        lastFailure_ = result.failure();
        failed_ = true;
    }
    if (result || refusedByTheBase(result.failure())) {
        // An answer came: this is how long the request takes.
        roundTrips_[static_cast<int>(kind)].add(end, end - start);
        if (result) lastRoundTripMs_ = static_cast<double>(end - start) / 1e6;
    } else if (timedOut) {
        // It takes longer than it was given: not asked for again with less.
        roundTrips_[static_cast<int>(kind)].add(end, end - start);
    }
    if (freshness != nullptr) {
        freshness->stale = !result;
        if (timedOut && kind != DriveRequest::Bumper) {
            freshness->retryAtNs = end + BACKOFF_NS;
        }
        if (result) {
            freshness->have = true;
            freshness->readNs = end;
        }
    }
    return result;
}

PollOutcome DriveReadings::poll(DriveRequest request, int64_t timeoutNs) {
    if (driver_ == nullptr) return PollOutcome::NotPolled;
    const zorn::net::Duration timeout = asDuration(timeoutNs);
    switch (request) {
        case DriveRequest::Bumper: return pollBumper(timeout);
        case DriveRequest::Motor: return pollMotor(timeout);
        case DriveRequest::Sensors: return pollSensors(timeout);
        case DriveRequest::Status: return pollStatus(timeout);
        case DriveRequest::Beacons: return pollBeacons(timeout);
        case DriveRequest::Velocity: break;
    }
    return PollOutcome::NotPolled;
}

PollOutcome DriveReadings::pollBumper(zorn::net::Duration timeout) {
    const auto data = timed(DriveRequest::Bumper, exchangeBytes(0, sizeof(base_bumper_data_response_t)),
                            [&] { return driver_->getBumperData(timeout); });
    if (data) bumperBits_ = data->bits;
    return outcome(data);
}

PollOutcome DriveReadings::pollMotor(zorn::net::Duration timeout) {
    const auto answer = timed(DriveRequest::Motor, exchangeBytes(0, sizeof(base_motor_status_response_t)),
                              [&] { return driver_->getMotorData(timeout); });
    if (!answer) return outcome(answer);
    const Odometry& data = *answer;
    const int64_t now = nowNs();
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
        // While velocity answers come, they measure the speed more often.
        if (seconds > 0 && now - lastVelocityAnswerNs_ > MEASURE_WITHIN_NS) {
            measuredVx_ = d / seconds;
            measuredOmega_ = dtheta / seconds;
            measuredNs_ = now;
        }
    }
    haveOdometry_ = true;
    motorValue_ = data;
    motorReadNs_ = now;
    return PollOutcome::Answered;
}

PollOutcome DriveReadings::pollSensors(zorn::net::Duration timeout) {
    const auto answer = timed(DriveRequest::Sensors, exchangeBytes(0, sizeof(base_sensor_data_response_t)),
                              [&] { return driver_->getSensorData(timeout); });
    if (answer) sensorValue_ = *answer;
    return outcome(answer);
}

PollOutcome DriveReadings::pollStatus(zorn::net::Duration timeout) {
    const auto answer = timed(DriveRequest::Status, exchangeBytes(0, sizeof(base_status_response_t)),
                              [&] { return driver_->getStatus(timeout); });
    if (answer) statusValue_ = *answer;
    return outcome(answer);
}

PollOutcome DriveReadings::pollBeacons(zorn::net::Duration timeout) {
    const auto answer = timed(DriveRequest::Beacons, exchangeBytes(1, sizeof(base_autohome_response_t)),
                              [&]() -> net::Outcome<Beacons> {
                                  const auto beacons = driver_->getAutoHomeData(timeout);
                                  if (beacons && beacons->answerSize != sizeof(base_autohome_response_t)) {
                                      return net::Failure::of(net::Cause::InvalidAnswer, true);
                                  }
                                  return beacons;
                              });
    if (answer) beaconValue_ = *answer;
    return outcome(answer);
}

net::Done DriveReadings::sendVelocity(const BodyVelocity& velocity, int64_t timeoutNs) {
    if (driver_ == nullptr) return net::Failure::of(net::Cause::NotWritten);
    const auto answer =
        timed(DriveRequest::Velocity,
              exchangeBytes(sizeof(base_set_velocity_request_t), sizeof(base_set_velocity_response_t)),
              [&] { return driver_->setVelocity(velocity.vx, 0, velocity.omega, asDuration(timeoutNs)); });
    if (!answer) return answer.failure();
    // Each answer is the motion since the one before: while driving they
    // come every period, and measure the speed where the odometers, on a
    // slow line, may not be read at all.
    const int64_t now = nowNs();
    if (lastVelocityAnswerNs_ != 0 && now - lastVelocityAnswerNs_ <= MEASURE_WITHIN_NS) {
        const double seconds = static_cast<double>(now - lastVelocityAnswerNs_) / 1e9;
        measuredVx_ = answer->dx / seconds;
        measuredOmega_ = answer->dtheta / seconds;
        measuredNs_ = now;
    }
    lastVelocityAnswerNs_ = now;
    return {};
}

bool DriveReadings::sonarDistances(std::vector<double>& mm) const {
    if (!sensor_.have) return false;
    mm.clear();
    for (int i = 0; i < BASE_SENSOR_VALUES; ++i) mm.push_back(sensorValue_.metres[i] * 1000.0);
    return true;
}

void DriveReadings::fill(DriveSnapshot& s, double nearMm) const {
    const int64_t now = nowNs();
    s.statusAge = status_.at(now);
    s.batteryPercent = statusValue_.batteryPercent;
    s.charging = !status_.have ? "" : statusValue_.chargingText();

    s.motorAge = motor_.at(now);
    s.leftMm = motorValue_.leftMm;
    s.rightMm = motorValue_.rightMm;
    s.x = x_;
    s.y = y_;
    s.headingDeg = zorn::drv::toDegrees(theta_);
    s.measuredVx = measuredVx_;
    s.measuredOmega = measuredOmega_;
    Freshness measured;
    measured.have = measuredNs_ != 0;
    measured.readNs = measuredNs_;
    s.measuredAge = measured.at(now);

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
    s.heldBackPerSecond = static_cast<double>(std::count_if(
        leftOutTimes_.begin(), leftOutTimes_.end(), [now](int64_t at) { return now - at <= SECOND_NS; }));
    s.velocitiesHeldBackPerSecond = static_cast<double>(std::count_if(
        heldBackTimes_.begin(), heldBackTimes_.end(), [now](int64_t at) { return now - at <= SECOND_NS; }));
    s.bytesPerSecond = static_cast<double>(bytes);
    s.failures = failures_;
    s.timeouts = timeouts_;
    s.lastRoundTripMs = lastRoundTripMs_;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
