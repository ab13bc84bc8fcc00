#include "console/drive/DriveReadings.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "net/Result.h"
#include "orbitane/Units.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::config;

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
constexpr double PI = 3.14159265358979323846;
// The distance values a sensor answer carries.
constexpr int DISTANCE_VALUES = 16;

// Bytes a request and its answer put on the wire, for the view's rate:
// each frame is its flags, length, command and checksum around the payload
// (the request's payload is its code and its arguments; the velocity's
// three 4-byte words, the beacons' one byte).
int exchangeBytes(DriveRequest request) {
    int arguments = 0, answer = 0;
    switch (request) {
        case DriveRequest::Velocity: arguments = 12, answer = 13; break;
        case DriveRequest::Bumper: answer = 4; break;
        case DriveRequest::Motor: answer = 9; break;
        case DriveRequest::Sensors: answer = 64; break;
        case DriveRequest::Status: answer = 2; break;
        case DriveRequest::Beacons: arguments = 1, answer = 5; break;
    }
    return 4 + 1 + arguments + 4 + answer;
}

api::Request apiRequest(DriveRequest request) {
    switch (request) {
        case DriveRequest::Velocity: return api::Request::Velocity;
        case DriveRequest::Bumper: return api::Request::Bumper;
        case DriveRequest::Motor: return api::Request::Motor;
        case DriveRequest::Sensors: return api::Request::Sensor;
        case DriveRequest::Status: return api::Request::Status;
        case DriveRequest::Beacons: return api::Request::Beacon;
    }
    return api::Request::Status;
}

// The odometers are 32-bit counters of millimetres that wrap.
int32_t counterDelta(int32_t current, int32_t previous) {
    return static_cast<int32_t>(static_cast<uint32_t>(current) - static_cast<uint32_t>(previous));
}
int32_t wholeMillimetres(double metres) { return static_cast<int32_t>(std::llround(metres * 1000.0)); }

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

DriveReadings::DriveReadings(api::Base* base, const SystemConfig* config, double track, zorn::net::Clock& clock)
    : base_(nullptr), config_(config), track_(track), clock_(clock) {
    setBase(base, config);
}

void DriveReadings::setBase(api::Base* base, const SystemConfig* config) {
    motion_.reset();
    finished_ = false;
    base_ = base;
    if (base_ != nullptr) motion_.emplace(base_->motion());
    config_ = config;
    for (RoundTrips& trips : roundTrips_) trips.clear();
    haveOdometry_ = false;
    lastVelocityAnswerNs_ = 0;
    for (Freshness* f : {&status_, &motor_, &sensor_, &bumper_, &beacon_}) f->retryAtNs = 0;
}

bool DriveReadings::linkBroken() const { return base_ != nullptr && base_->linkLost(); }

api::StopOutcome DriveReadings::finish() {
    if (!motion_) return api::StopOutcome();
    const bool already = motion_->ended();
    const api::StopOutcome outcome = motion_->finish();
    if (!already) finished_ = true;
    return outcome;
}

void DriveReadings::zeroFromWatch() {
    if (!motion_) return;
    try {
        motion_->velocity(0, 0, 0);
    } catch (const api::Error&) {
        // The loop's own requests find out what became of the link.
    }
}

void DriveReadings::limit(int64_t timeoutNs) {
    const int64_t bounded = std::min<int64_t>(std::max<int64_t>(timeoutNs, MS_NS), SECOND_NS);
    base_->setAnswerTimeout(std::chrono::nanoseconds(bounded));
}

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
    return base_ == nullptr || base_->wouldWait(apiRequest(request));
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
auto DriveReadings::timed(DriveRequest kind, Request request) -> decltype(request()) {
    const int wireBytes = exchangeBytes(kind);
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
    if (base_ == nullptr || request == DriveRequest::Velocity) return PollOutcome::NotPolled;
    limit(timeoutNs);
    switch (request) {
        case DriveRequest::Bumper: return pollBumper();
        case DriveRequest::Motor: return pollMotor();
        case DriveRequest::Sensors: return pollSensors();
        case DriveRequest::Status: return pollStatus();
        case DriveRequest::Beacons: return pollBeacons();
        case DriveRequest::Velocity: break;
    }
    return PollOutcome::NotPolled;
}

template <typename Call, typename Value>
PollOutcome DriveReadings::readInto(DriveRequest kind, Call call, Value& into) {
    const auto answer = timed(kind, [&] { return outcomeOf(call); });
    if (answer) into = *answer;
    return outcome(answer);
}

PollOutcome DriveReadings::pollBumper() {
    return readInto(DriveRequest::Bumper, [&] { return base_->bumperBits(); }, bumperBits_);
}

PollOutcome DriveReadings::pollMotor() {
    const auto answer = timed(DriveRequest::Motor, [&] { return outcomeOf([&] { return base_->motor(); }); });
    if (!answer) return outcome(answer);
    const int32_t leftMm = wholeMillimetres(answer->left_odometer_m);
    const int32_t rightMm = wholeMillimetres(answer->right_odometer_m);
    const int64_t now = nowNs();
    if (haveOdometry_) {
        // Pose since the view started, from the wheel odometers (mm).
        const double dl = counterDelta(leftMm, leftMm_) / 1000.0;
        const double dr = counterDelta(rightMm, rightMm_) / 1000.0;
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
    leftMm_ = leftMm;
    rightMm_ = rightMm;
    motorReadNs_ = now;
    return PollOutcome::Answered;
}

PollOutcome DriveReadings::pollSensors() {
    return readInto(DriveRequest::Sensors, [&] { return base_->distances(); }, sensorValue_);
}

PollOutcome DriveReadings::pollStatus() {
    return readInto(DriveRequest::Status, [&] { return base_->status(); }, statusValue_);
}

PollOutcome DriveReadings::pollBeacons() {
    // A base that reports more probes than its answer holds shows the ones
    // it holds; only a whole answer is a reading.
    const auto answer = timed(DriveRequest::Beacons, [&]() -> net::Outcome<api::BeaconReading> {
        const auto read = outcomeOf([&] { return base_->beacon(false); });
        if (read && read->answer_bytes != api::BeaconReading::WHOLE_ANSWER_BYTES) {
            return net::Failure::of(net::Cause::InvalidAnswer, true);
        }
        return read;
    });
    if (answer) beaconValue_ = *answer;
    return outcome(answer);
}

net::Done DriveReadings::sendVelocity(const BodyVelocity& velocity, int64_t timeoutNs) {
    if (base_ == nullptr) return net::Failure::of(net::Cause::NotWritten);
    if (motion_->ended()) {
        // An interrupt ended the scope with its stop: that stop is this
        // zero's answer, and nothing moves the base any more.
        if (!velocity.isZero()) return net::Failure::of(net::Cause::Interrupted);
        const std::optional<api::StopOutcome> stop = motion_->outcome();
        if (stop && stop->confirmed) return {};
        return stop && stop->sent ? failureOf(*stop) : net::Failure::of(net::Cause::Interrupted);
    }
    limit(timeoutNs);
    const auto answer = timed(DriveRequest::Velocity, [&] {
        return outcomeOf([&] { return motion_->velocity(velocity.vx, 0, velocity.omega); });
    });
    if (!answer) return answer.failure();
    // Each answer is the motion since the one before: while driving they
    // come every period, and measure the speed where the odometers, on a
    // slow line, may not be read at all.
    const int64_t now = nowNs();
    if (lastVelocityAnswerNs_ != 0 && now - lastVelocityAnswerNs_ <= MEASURE_WITHIN_NS) {
        const double seconds = static_cast<double>(now - lastVelocityAnswerNs_) / 1e9;
        measuredVx_ = answer->dx_m / seconds;
        measuredOmega_ = answer->dheading_rad / seconds;
        measuredNs_ = now;
    }
    lastVelocityAnswerNs_ = now;
    return {};
}

bool DriveReadings::sonarDistances(std::vector<double>& mm) const {
    if (!sensor_.have) return false;
    mm.clear();
    for (double metres : sensorValue_) mm.push_back(metres * 1000.0);
    return true;
}

void DriveReadings::fill(DriveSnapshot& s, double nearMm) const {
    const int64_t now = nowNs();
    s.statusAge = status_.at(now);
    s.charging = !status_.have ? "" : statusValue_.charging_text;
    s.batteryPercent = statusValue_.battery_percent;

    s.motorAge = motor_.at(now);
    s.leftMm = leftMm_;
    s.rightMm = rightMm_;
    s.x = x_;
    s.y = y_;
    s.headingDeg = theta_ * 180.0 / PI;
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
            if (sensor.type != SensorKind::Sonar || cursor >= DISTANCE_VALUES) {
                continue;
            }
            SonarBar bar;
            bar.label = "sonar #" + std::to_string(sensor.id);
            const size_t at = static_cast<size_t>(cursor++);
            bar.mm = at < sensorValue_.size() ? sensorValue_[at] * 1000.0 : 0.0;
            bar.read = sensor_.have;
            bar.near = bar.read && bar.mm > 0.0 && bar.mm < nearMm;
            bar.fullScaleMm = sensor.max_distance > 0 ? sensor.max_distance * 1000.0 : DEFAULT_SONAR_RANGE_MM;
            s.sonars.push_back(bar);
        }
        s.sensorNote = "no distance sensors configured";
    }

    s.bumperAge = bumper_.at(now);
    s.beaconAge = beacon_.at(now);
    s.beaconCount = beaconValue_.beacon_count;
    s.probes.clear();
    for (const api::Probe& probe : beaconValue_.probes) s.probes.push_back(static_cast<uint8_t>(probe.bits));

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
