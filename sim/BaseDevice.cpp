#include "sim/BaseDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "drv/FixedPoint.h"
#include "sim/ConfigRecords.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {


int32_t readInt32(const uint8_t* p) {
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
                 static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

// Drops the oldest records past the bound.
template <class T>
void trim(std::deque<T>& list, size_t limit) {
    while (list.size() > limit) list.pop_front();
}

// Appends to a record list, dropping the oldest past the bound.
template <class T>
void keep(std::deque<T>& list, const T& value, size_t limit) {
    list.push_back(value);
    trim(list, limit);
}

template <class T>
std::vector<T> listed(const std::deque<T>& list) {
    return std::vector<T>(list.begin(), list.end());
}

// Reports `value` plus what earlier reports left out as a q16 number and
// keeps what this one leaves out.
int32_t reportQ16(double value, double& unreported) {
    const double total = value + unreported;
    const int32_t q = drv::toQ16(total);
    unreported = total - drv::fromQ16(q);
    return q;
}

}  // namespace

Answer Answer::ok(const void* record, size_t size) {
    Answer a;
    a.cmd = ANS_OK;
    const uint8_t* p = static_cast<const uint8_t*>(record);
    a.payload.assign(p, p + size);
    return a;
}

Answer Answer::error(uint16_t code) {
    Answer a;
    a.cmd = ANS_ERROR;
    a.payload = {static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(code >> 8)};
    return a;
}

BaseDevice::BaseDevice(const Scenario& scenario, std::shared_ptr<const SimClock> clock)
    : scenario_(scenario),
      clock_(clock ? clock : std::make_shared<SteadyClock>()),
      drive_(2.0 * scenario.legacy.radiusMm, clock_->nowNs()),
      startNs_(clock_->nowNs()) {
    std::string why;
    // The scenario reader has checked that the configuration encodes.
    if (!encodeScenarioBinaryConfig(scenario_.binaryConfig, binaryConfig_, why)) binaryConfig_.clear();
    legacyRecord_ = buildLegacyRecord(scenario_.legacy);
}

Answer BaseDevice::execute(const uint8_t* payload, size_t size) {
    if (size == 0) return Answer::error(ERR_BAD_REQUEST);
    const uint8_t code = payload[0];
    const uint8_t* args = payload + 1;
    const size_t n = size - 1;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = clock_->nowNs();
    switch (code) {
        case drv::REQ_CONNECT:
            return connect(args, n);
        case drv::REQ_GET_CONFIG:
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            return Answer::ok(&legacyRecord_, sizeof legacyRecord_);
        case drv::REQ_GET_BINARY_CONFIG:
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            return binaryConfig();
        case drv::REQ_GET_STATUS: {
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            const Readings r = readingsAt(now);
            drv::base_status_response_t st;
            st.battery_percentage = static_cast<uint8_t>(r.battery);
            st.charging_flags = static_cast<uint8_t>(r.chargingFlags);
            return Answer::ok(&st, sizeof st);
        }
        case drv::REQ_GET_MOTOR_DATA:
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            return motorData(now);
        case drv::REQ_GET_SENSOR_DATA:
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            return sensorData(now);
        case drv::REQ_GET_BUMPER_DATA: {
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            drv::base_bumper_data_response_t b;
            b.bumper_bits = static_cast<uint32_t>(readingsAt(now).bumperBits);
            return Answer::ok(&b, sizeof b);
        }
        case drv::REQ_GET_AUTOHOME_DATA:
            if (n != 1) return Answer::error(ERR_BAD_REQUEST);
            return autoHome();
        case drv::REQ_SET_MOTOR:
            return setMotor(args, n, now);
        case drv::REQ_SET_VELOCITY:
            return setVelocity(args, n, now);
        case drv::REQ_POLL_COMMAND:
            if (n != 0) return Answer::error(ERR_BAD_REQUEST);
            return Answer::ok(&scenario_.pendingCommand, 1);
        case drv::REQ_ANSWER_GET_INFO:
            return answerGetInfo(args, n);
        case drv::REQ_SEND_EVENT:
            if (n != 1) return Answer::error(ERR_BAD_REQUEST);
            keep(events_, args[0], historyLimit_);
            return Answer::ok(nullptr, 0);
        default:
            return Answer::error(ERR_NOT_SUPPORTED);
    }
}

Answer BaseDevice::connect(const uint8_t* args, size_t n) {
    if (n != 1 || args[0] != drv::CONNECT_ARGUMENT) return Answer::error(ERR_BAD_REQUEST);
    drv::base_connect_response_t info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.model, scenario_.identity.model.data(),
                std::min(scenario_.identity.model.size(), sizeof info.model));
    info.firmware_version = scenario_.identity.firmwareVersion;
    info.hardware_version = scenario_.identity.hardwareVersion;
    for (int i = 0; i < 3; ++i) info.serial_number[i] = scenario_.identity.serialNumber[i];
    return Answer::ok(&info, sizeof info);
}

Answer BaseDevice::binaryConfig() {
    // Older bases only know the fixed configuration record.
    if (scenario_.legacyBase) return Answer::error(ERR_NOT_SUPPORTED);
    return Answer::ok(binaryConfig_.data(), binaryConfig_.size());
}

Answer BaseDevice::motorData(int64_t now) {
    drv::base_motor_status_response_t m;
    m.left_wheel_odometry = drive_.leftOdometer(now);
    m.right_wheel_odometry = drive_.rightOdometer(now);
    m.motor_state = scenario_.motorState;
    return Answer::ok(&m, sizeof m);
}

Readings BaseDevice::readingsAt(int64_t now) const {
    Readings r;
    r.battery = scenario_.batteryPercentage;
    r.chargingFlags = scenario_.chargingFlags;
    r.bumperBits = scenario_.bumperBits;
    r.sonarMm = scenario_.sonarMm;
    applyTimeline(scenario_.timeline, static_cast<double>(now - startNs_) / 1e9, r);
    return r;
}

Answer BaseDevice::sensorData(int64_t now) {
    const std::vector<double> sonar = readingsAt(now).sonarMm;
    drv::base_sensor_data_response_t d;
    std::memset(&d, 0, sizeof d);
    for (size_t i = 0; i < sonar.size() && i < static_cast<size_t>(drv::BASE_SENSOR_VALUES); ++i) {
        d.sensor_value[i] = drv::toUnsignedQ16(sonar[i]);
    }
    return Answer::ok(&d, sizeof d);
}

Answer BaseDevice::autoHome() {
    drv::base_autohome_response_t a;
    std::memset(&a, 0, sizeof a);
    a.beacon_count = scenario_.beaconCount;
    size_t probes = std::min(scenario_.probes.size(), static_cast<size_t>(drv::BASE_MAX_PROBES));
    a.probe_count = static_cast<uint8_t>(scenario_.probeCountOverride >= 0 ? scenario_.probeCountOverride : probes);
    for (size_t i = 0; i < probes; ++i) a.probe_data[i] = scenario_.probes[i];
    return Answer::ok(&a, sizeof a);
}

Answer BaseDevice::setMotor(const uint8_t* args, size_t n, int64_t now) {
    if (n != sizeof(drv::base_set_motor_request_t)) return Answer::error(ERR_BAD_REQUEST);
    drv::base_set_motor_request_t req;
    req.left_speed = readInt32(args);
    req.right_speed = readInt32(args + 4);
    req.reserved[0] = readInt32(args + 8);
    req.reserved[1] = readInt32(args + 12);
    keep(motorCommands_, req, historyLimit_);
    drive_.setWheelSpeeds(req.left_speed, req.right_speed, now);
    return Answer::ok(nullptr, 0);
}

Answer BaseDevice::setVelocity(const uint8_t* args, size_t n, int64_t now) {
    if (n != sizeof(drv::base_set_velocity_request_t)) return Answer::error(ERR_BAD_REQUEST);
    drv::base_set_velocity_request_t req;
    req.vx_q16 = readInt32(args);
    req.vy_q16 = readInt32(args + 4);
    req.omega_q16 = readInt32(args + 8);
    keep(velocityCommands_, req, historyLimit_);
    // The answer reports the motion since the previous answer, made at the
    // velocity that was in force until now.
    BodyDelta d = drive_.takeBodyDelta(now);
    drive_.setBodyVelocity(drv::fromQ16(req.vx_q16), drv::fromQ16(req.vy_q16), drv::fromQ16(req.omega_q16), now);
    drv::base_set_velocity_response_t r;
    r.dx_q16 = reportQ16(d.dx, unreportedDx_);
    r.dy_q16 = reportQ16(d.dy, unreportedDy_);
    r.dtheta_q16 = reportQ16(drv::toDegrees(d.dtheta), unreportedDthetaDeg_);
    r.velocity_state = scenario_.velocityState;
    return Answer::ok(&r, sizeof r);
}

Answer BaseDevice::answerGetInfo(const uint8_t* args, size_t n) {
    if (n != sizeof(drv::base_get_info_answer_t)) return Answer::error(ERR_BAD_REQUEST);
    drv::base_get_info_answer_t info;
    std::memcpy(&info, args, sizeof info);
    keep(getInfoAnswers_, info, historyLimit_);
    // The question has been answered.
    if (scenario_.pendingCommand == drv::BASE_CMD_GET_INFO) scenario_.pendingCommand = 0;
    return Answer::ok(nullptr, 0);
}

void BaseDevice::hostGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scenario_.stopOnDisconnect) drive_.stop(clock_->nowNs());
}

void BaseDevice::noteReceived(const ReceivedRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    keep(requests_, request, historyLimit_);
    ++requestsReceived_;
    if (request.code >= -1 && request.code <= 255) ++requestCounts_[static_cast<size_t>(request.code + 1)];
}

void BaseDevice::setHistoryLimit(size_t records) {
    std::lock_guard<std::mutex> lock(mutex_);
    historyLimit_ = records < 1 ? 1 : records;
    trim(requests_, historyLimit_);
    trim(events_, historyLimit_);
    trim(getInfoAnswers_, historyLimit_);
    trim(motorCommands_, historyLimit_);
    trim(velocityCommands_, historyLimit_);
}

std::vector<ReceivedRequest> BaseDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listed(requests_);
}

std::vector<uint8_t> BaseDevice::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listed(events_);
}

std::vector<drv::base_get_info_answer_t> BaseDevice::getInfoAnswers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listed(getInfoAnswers_);
}

std::vector<drv::base_set_motor_request_t> BaseDevice::motorCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listed(motorCommands_);
}

std::vector<drv::base_set_velocity_request_t> BaseDevice::velocityCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listed(velocityCommands_);
}

size_t BaseDevice::requestCount(int code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code < -1 || code > 255) return 0;
    return static_cast<size_t>(requestCounts_[static_cast<size_t>(code + 1)]);
}

uint64_t BaseDevice::requestsReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestsReceived_;
}

DeviceState BaseDevice::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = clock_->nowNs();
    DeviceState st;
    st.seconds = static_cast<double>(now - startNs_) / 1e9;
    st.leftOdometer = drive_.leftOdometer(now);
    st.rightOdometer = drive_.rightOdometer(now);
    st.leftTravelMm = drive_.leftTravelMm(now);
    st.rightTravelMm = drive_.rightTravelMm(now);
    st.leftMmS = drive_.leftSpeedMmS();
    st.rightMmS = drive_.rightSpeedMmS();
    const BodyDelta pose = drive_.pose(now);
    st.x = pose.dx;
    st.y = pose.dy;
    st.theta = pose.dtheta;
    const Readings r = readingsAt(now);
    st.battery = static_cast<uint8_t>(r.battery);
    st.chargingFlags = static_cast<uint8_t>(r.chargingFlags);
    st.bumperBits = static_cast<uint32_t>(r.bumperBits);
    st.sonarMm = r.sonarMm;
    return st;
}

std::string describeState(const DeviceState& st) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "state: wheels %.0f/%.0f mm/s, odometers %d/%d mm, pose x=%.4f y=%.4f m theta=%.1f deg, battery %u%%, "
                  "charging flags 0x%02X, bumpers 0x%X",
                  st.leftMmS, st.rightMmS, st.leftOdometer, st.rightOdometer, st.x, st.y, drv::toDegrees(st.theta),
                  st.battery, st.chargingFlags, st.bumperBits);
    std::string line = text;
    if (!st.sonarMm.empty()) {
        line += ", sonar";
        for (size_t i = 0; i < st.sonarMm.size(); ++i) {
            std::snprintf(text, sizeof text, "%s%.1f", i == 0 ? " " : "/", st.sonarMm[i]);
            line += text;
        }
        line += " mm";
    }
    return line;
}

int32_t BaseDevice::leftOdometer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return drive_.leftOdometer(clock_->nowNs());
}

int32_t BaseDevice::rightOdometer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return drive_.rightOdometer(clock_->nowNs());
}

bool BaseDevice::moving() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return drive_.moving();
}

uint8_t BaseDevice::pendingCommand() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scenario_.pendingCommand;
}

Scenario BaseDevice::scenario() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scenario_;
}

std::vector<FaultRule> BaseDevice::faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scenario_.faults;
}

int BaseDevice::closeAfter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scenario_.closeAfter;
}

void BaseDevice::setPendingCommand(uint8_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_.pendingCommand = command;
}

void BaseDevice::setStatus(uint8_t batteryPercentage, uint8_t chargingFlags) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_.batteryPercentage = batteryPercentage;
    scenario_.chargingFlags = chargingFlags;
}

void BaseDevice::setBumperBits(uint32_t bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_.bumperBits = bits;
}

void BaseDevice::setSonar(const std::vector<double>& mm) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_.sonarMm = mm;
}

void BaseDevice::setFaults(const std::vector<FaultRule>& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_.faults = faults;
}

void BaseDevice::setCloseAfter(int requests) {
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_.closeAfter = requests;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
