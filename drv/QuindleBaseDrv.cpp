#include "drv/QuindleBaseDrv.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "drv/FixedPoint.h"

namespace zorn {
namespace drv {

using net::AnswerShape;
using net::AnswerView;
using net::Cause;
using net::Motion;
using net::RequestKind;

namespace {

// Largest request payload: the code and the 89-byte get-info record.
constexpr size_t MAX_REQUEST_PAYLOAD = 1 + sizeof(base_get_info_answer_t);

// A request that does not move the base, answered with `size` bytes.
RequestKind reading(uint32_t size, Duration timeout = net::REQUEST_TIMEOUT) {
    return RequestKind{AnswerShape::of(size), Motion::None, std::min<Duration>(timeout, net::REQUEST_TIMEOUT)};
}

Failure invalidAnswer() { return Failure::of(Cause::InvalidAnswer, true); }

// Copies the answer into a record: missing bytes become 0, extra ones are cut.
template <class Record>
Record zeroFilled(const AnswerView& answer) {
    Record record;
    std::memset(&record, 0, sizeof record);
    if (answer.size != 0) std::memcpy(&record, answer.payload, std::min(answer.size, sizeof record));
    return record;
}

// A double truncated toward zero into a 32-bit word, held within its range.
int32_t truncated(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

}  // namespace

int32_t wheelSpeedWord(double metresPerSecond) { return roundToInt32(metresPerSecond * 1000.0); }

int32_t velocityWord(double value) { return truncated(value * Q16_ONE); }

bool velocityFits(double value) {
    const double scaled = std::trunc(value * Q16_ONE);
    return scaled <= 2147483647.0 && scaled >= -2147483648.0;
}

Outcome<AnswerView> QuindleBaseDrv::exchange(uint8_t code, const void* args, size_t argLength,
                                             const RequestKind& kind) {
    uint8_t payload[MAX_REQUEST_PAYLOAD];
    if (argLength > sizeof payload - 1) return Failure::of(Cause::NotWritten);
    payload[0] = code;
    if (argLength != 0) std::memcpy(payload + 1, args, argLength);
    return link_.transact(CMD_CONTROL_BUS, payload, 1 + argLength, kind);
}

Outcome<Identity> QuindleBaseDrv::connect() {
    const uint8_t argument = CONNECT_ARGUMENT;
    const auto answer = exchange(REQ_CONNECT, &argument, 1, reading(sizeof(base_connect_response_t)));
    if (!answer) return answer.failure();
    if (answer->size < sizeof(base_connect_response_t)) return invalidAnswer();
    Identity identity;
    std::memcpy(&identity.record, answer->payload, sizeof identity.record);
    return identity;
}

Outcome<LegacyConfig> QuindleBaseDrv::getConfig() {
    const auto answer = exchange(REQ_GET_CONFIG, nullptr, 0, reading(sizeof(base_conf_response_t)));
    if (!answer) return answer.failure();
    if (answer->size < sizeof(base_conf_response_t)) return invalidAnswer();
    LegacyConfig config;
    config.record = zeroFilled<base_conf_response_t>(*answer);
    return config;
}

Outcome<std::vector<uint8_t>> QuindleBaseDrv::getBinaryConfig(size_t capacity) {
    const auto answer = exchange(REQ_GET_BINARY_CONFIG, nullptr, 0, RequestKind{});
    if (!answer) return answer.failure();
    return std::vector<uint8_t>(answer->payload, answer->payload + std::min(answer->size, capacity));
}

Outcome<Status> QuindleBaseDrv::getStatus(Duration timeout) {
    const auto answer = exchange(REQ_GET_STATUS, nullptr, 0, reading(sizeof(base_status_response_t), timeout));
    if (!answer) return answer.failure();
    if (answer->size < sizeof(base_status_response_t)) return invalidAnswer();
    Status status;
    status.batteryPercent = answer->payload[0];
    status.chargingFlags = answer->payload[1];
    return status;
}

Outcome<Odometry> QuindleBaseDrv::getMotorData(Duration timeout) {
    const auto answer = exchange(REQ_GET_MOTOR_DATA, nullptr, 0, reading(sizeof(base_motor_status_response_t), timeout));
    if (!answer) return answer.failure();
    const auto record = zeroFilled<base_motor_status_response_t>(*answer);
    Odometry odometry;
    odometry.leftMm = record.left_wheel_odometry;
    odometry.rightMm = record.right_wheel_odometry;
    odometry.motorState = record.motor_state;
    return odometry;
}

Outcome<Distances> QuindleBaseDrv::getSensorData(Duration timeout) {
    const auto answer = exchange(REQ_GET_SENSOR_DATA, nullptr, 0, reading(sizeof(base_sensor_data_response_t), timeout));
    if (!answer) return answer.failure();
    const auto record = zeroFilled<base_sensor_data_response_t>(*answer);
    Distances distances;
    for (int i = 0; i < BASE_SENSOR_VALUES; ++i) distances.metres[i] = fromQ16(record.sensor_value[i]) / 1000.0;
    return distances;
}

Outcome<Bumpers> QuindleBaseDrv::getBumperData(Duration timeout) {
    const auto answer = exchange(REQ_GET_BUMPER_DATA, nullptr, 0, reading(sizeof(base_bumper_data_response_t), timeout));
    if (!answer) return answer.failure();
    if (answer->size > sizeof(base_bumper_data_response_t)) return invalidAnswer();
    Bumpers bumpers;
    bumpers.bits = zeroFilled<base_bumper_data_response_t>(*answer).bumper_bits;
    return bumpers;
}

Outcome<Beacons> QuindleBaseDrv::getAutoHomeData(Duration timeout) {
    const uint8_t req = 0;
    const auto answer = exchange(REQ_GET_AUTOHOME_DATA, &req, 1, reading(sizeof(base_autohome_response_t), timeout));
    if (!answer) return answer.failure();
    const auto record = zeroFilled<base_autohome_response_t>(*answer);
    Beacons beacons;
    beacons.beaconCount = record.beacon_count;
    beacons.probeCount = record.probe_count;
    std::copy(record.probe_data, record.probe_data + BASE_MAX_PROBES, beacons.probes.begin());
    beacons.answerSize = std::min(answer->size, sizeof record);
    return beacons;
}

Done QuindleBaseDrv::setWheelSpeeds(double left, double right) {
    base_set_motor_request_t request = {};
    request.left_speed = wheelSpeedWord(left);
    request.right_speed = wheelSpeedWord(right);
    const bool stop = request.left_speed == 0 && request.right_speed == 0;
    const auto answer = exchange(REQ_SET_MOTOR, &request, sizeof request,
                                 RequestKind{AnswerShape::of(0), stop ? Motion::Stops : Motion::Moves});
    if (!answer) return answer.failure();
    return {};
}

Outcome<Displacement> QuindleBaseDrv::setVelocity(double vx, double vy, double omega, Duration timeout) {
    base_set_velocity_request_t request;
    request.vx_q16 = velocityWord(vx);
    request.vy_q16 = velocityWord(vy);
    request.omega_q16 = velocityWord(omega);
    const bool stop = request.vx_q16 == 0 && request.vy_q16 == 0 && request.omega_q16 == 0;
    const auto answer = exchange(REQ_SET_VELOCITY, &request, sizeof request,
                                 RequestKind{AnswerShape::of(sizeof(base_set_velocity_response_t)),
                                             stop ? Motion::Stops : Motion::Moves,
                                             std::min<Duration>(timeout, net::REQUEST_TIMEOUT)});
    if (!answer) return answer.failure();
    const auto record = zeroFilled<base_set_velocity_response_t>(*answer);
    Displacement moved;
    moved.dx = fromQ16(record.dx_q16);
    moved.dy = fromQ16(record.dy_q16);
    // The console has always turned the base's degrees into radians with
    // the pi it prints with, so the angles it shows come out as sent.
    moved.dtheta = radiansAsPrinted(fromQ16(record.dtheta_q16));
    moved.velocityState = record.velocity_state;
    return moved;
}

Outcome<uint8_t> QuindleBaseDrv::pollCommand() {
    const auto answer = exchange(REQ_POLL_COMMAND, nullptr, 0, reading(1));
    if (!answer) return answer.failure();
    if (answer->size < 1) return invalidAnswer();
    return answer->payload[0];
}

Done QuindleBaseDrv::answerGetInfo(const base_get_info_answer_t& info) {
    const auto answer = exchange(REQ_ANSWER_GET_INFO, &info, sizeof info, reading(0));
    if (!answer) return answer.failure();
    return {};
}

Done QuindleBaseDrv::sendEvent(uint8_t event) {
    const auto answer = exchange(REQ_SEND_EVENT, &event, 1, reading(0));
    if (!answer) return answer.failure();
    return {};
}

}  // namespace drv
}  // namespace zorn
