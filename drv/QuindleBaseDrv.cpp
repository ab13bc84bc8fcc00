#include "drv/QuindleBaseDrv.h"

#include <algorithm>
#include <cstring>

#include "net/ControlEndpoint.h"
#include "net/Result.h"

namespace zorn {
namespace drv {

using zorn::net::AnswerShape;
using zorn::net::MessagePtr;
using zorn::net::Motion;
using zorn::net::RequestKind;
using zorn::net::RESULT_INVALID_DATA;
using zorn::net::RESULT_OK;

namespace {

// Largest request payload: the code and the 89-byte get-info record.
constexpr uint32_t MAX_REQUEST_PAYLOAD = 1 + sizeof(base_get_info_answer_t);

// A request that does not move the base, answered with `answerSize` bytes.
RequestKind reading(uint32_t answerSize) { return RequestKind{AnswerShape::of(answerSize), Motion::None}; }
// A wheel or velocity request: all zero is the stop, anything else moves.
RequestKind motion(bool stops, uint32_t answerSize) {
    return RequestKind{AnswerShape::of(answerSize), stops ? Motion::Stops : Motion::Moves};
}
bool isZero(const base_set_motor_request_t& r) {
    return r.left_speed == 0 && r.right_speed == 0 && r.reserved[0] == 0 && r.reserved[1] == 0;
}
bool isZero(const base_set_velocity_request_t& r) { return r.vx_q16 == 0 && r.vy_q16 == 0 && r.omega_q16 == 0; }

}  // namespace

QuindleBaseDrv::QuindleBaseDrv(zorn::net::ControlEndpoint* endpoint) : AbsDevice(endpoint) {}

int32_t QuindleBaseDrv::exchange(uint8_t code, const void* args, uint32_t argLength, const RequestKind& kind,
                                 MessagePtr& answer, const uint8_t*& answerData, uint32_t& answerLength,
                                 int32_t timeoutMs) {
    answerData = nullptr;
    answerLength = 0;
    zorn::net::ControlEndpoint* ep = getEndpoint();
    if (ep == nullptr || argLength > MAX_REQUEST_PAYLOAD - 1) {
        return zorn::net::RESULT_OPERATION_FAIL;
    }
    uint8_t payload[MAX_REQUEST_PAYLOAD];
    payload[0] = code;
    if (argLength != 0) {
        std::memcpy(payload + 1, args, argLength);
    }
    int32_t result = ep->request(answer, CMD_CONTROL_BUS, payload, static_cast<int32_t>(1 + argLength),
                                 std::max<int32_t>(1, std::min(timeoutMs, REQUEST_TIMEOUT_MS)), kind);
    if (result < 0) {
        return result;
    }
    // An answer without a buffer (or with a length its buffer does not
    // cover) is treated as carrying only what is really there.
    if (answer && answer->data() != nullptr) {
        answerLength = std::min(answer->payloadLength(), static_cast<uint32_t>(answer->payload.size()));
        answerData = answer->data();
    }
    return result;
}

int32_t QuindleBaseDrv::exchange(uint8_t code, const void* args, uint32_t argLength, const RequestKind& kind) {
    MessagePtr answer;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    return exchange(code, args, argLength, kind, answer, data, length);
}

namespace {

// Copies a fixed-size record: the answer must cover it, extra bytes are ignored.
template <class Record>
int32_t copyFixed(const uint8_t* data, uint32_t length, Record& record) {
    if (length < sizeof(Record)) {
        return RESULT_INVALID_DATA;
    }
    std::memcpy(&record, data, sizeof(Record));
    return RESULT_OK;
}

// Copies a variable-size record: missing bytes become 0, extra bytes are cut.
template <class Record>
int32_t copyZeroFilled(const uint8_t* data, uint32_t length, Record& record) {
    std::memset(&record, 0, sizeof(Record));
    uint32_t n = std::min<uint32_t>(length, sizeof(Record));
    if (n != 0) {
        std::memcpy(&record, data, n);
    }
    return RESULT_OK;
}

// Copies at most `capacity` bytes into a caller's buffer; returns the count.
uint32_t copyBounded(const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t capacity) {
    uint32_t n = std::min(length, capacity);
    if (n != 0) {
        std::memcpy(buffer, data, n);
    }
    return n;
}

}  // namespace

int32_t QuindleBaseDrv::connect(base_connect_response_t& info) {
    const uint8_t argument = CONNECT_ARGUMENT;
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_CONNECT, &argument, 1, reading(sizeof(base_connect_response_t)), answer, data, length);
    return result < 0 ? result : copyFixed(data, length, info);
}

int32_t QuindleBaseDrv::getConfig(base_conf_response_t& conf) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_CONFIG, nullptr, 0, reading(sizeof(base_conf_response_t)), answer, data, length);
    return result < 0 ? result : copyFixed(data, length, conf);
}

int32_t QuindleBaseDrv::getBinaryConfig(uint8_t* buffer, uint32_t& size) {
    // A capacity without a buffer would be written through a null pointer.
    if (buffer == nullptr && size != 0) {
        return RESULT_INVALID_DATA;
    }
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_BINARY_CONFIG, nullptr, 0, RequestKind(), answer, data, length);
    if (result < 0) {
        return result;
    }
    size = copyBounded(data, length, buffer, size);
    return RESULT_OK;
}

int32_t QuindleBaseDrv::getStatus(base_status_response_t& status, int32_t timeoutMs) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_STATUS, nullptr, 0, reading(sizeof(base_status_response_t)), answer, data, length,
                              timeoutMs);
    return result < 0 ? result : copyFixed(data, length, status);
}

int32_t QuindleBaseDrv::getMotorData(base_motor_status_response_t& motorStatus, int32_t timeoutMs) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_MOTOR_DATA, nullptr, 0, reading(sizeof(base_motor_status_response_t)), answer, data, length,
                              timeoutMs);
    return result < 0 ? result : copyZeroFilled(data, length, motorStatus);
}

int32_t QuindleBaseDrv::getSensorData(base_sensor_data_response_t& sensors, int32_t timeoutMs) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_SENSOR_DATA, nullptr, 0, reading(sizeof(base_sensor_data_response_t)), answer, data, length,
                              timeoutMs);
    return result < 0 ? result : copyZeroFilled(data, length, sensors);
}

int32_t QuindleBaseDrv::getBumperData(base_bumper_data_response_t& bumper, int32_t timeoutMs) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_BUMPER_DATA, nullptr, 0, reading(sizeof(base_bumper_data_response_t)), answer, data, length,
                              timeoutMs);
    if (result < 0) {
        return result;
    }
    if (length > sizeof(base_bumper_data_response_t)) {
        return RESULT_INVALID_DATA;
    }
    return copyZeroFilled(data, length, bumper);
}

int32_t QuindleBaseDrv::getAutoHomeData(uint8_t req, uint8_t* response, uint32_t* responseSize, int32_t timeoutMs) {
    // Without a size there is no capacity to respect; a capacity without a
    // buffer would be written through a null pointer.
    if (responseSize == nullptr || (response == nullptr && *responseSize != 0)) {
        return RESULT_INVALID_DATA;
    }
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_GET_AUTOHOME_DATA, &req, 1, reading(sizeof(base_autohome_response_t)), answer, data, length,
                              timeoutMs);
    if (result < 0) {
        return result;
    }
    *responseSize = copyBounded(data, length, response, *responseSize);
    return RESULT_OK;
}

int32_t QuindleBaseDrv::setMotor(const base_set_motor_request_t& req) {
    return exchange(REQ_SET_MOTOR, &req, sizeof(req), motion(isZero(req), 0));
}

int32_t QuindleBaseDrv::setVelocity(const base_set_velocity_request_t& req, base_set_velocity_response_t& response) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_SET_VELOCITY, &req, sizeof(req), motion(isZero(req), sizeof(base_set_velocity_response_t)), answer, data, length);
    return result < 0 ? result : copyZeroFilled(data, length, response);
}

int32_t QuindleBaseDrv::pollCommand(uint8_t& command) {
    MessagePtr answer;
    const uint8_t* data;
    uint32_t length;
    int32_t result = exchange(REQ_POLL_COMMAND, nullptr, 0, reading(1), answer, data, length);
    if (result < 0) {
        return result;
    }
    if (length < 1) {
        return RESULT_INVALID_DATA;
    }
    command = data[0];
    return RESULT_OK;
}

int32_t QuindleBaseDrv::answerGetInfo(const base_get_info_answer_t& info) {
    return exchange(REQ_ANSWER_GET_INFO, &info, sizeof(info), reading(0));
}

int32_t QuindleBaseDrv::sendEvent(uint8_t evt) {
    return exchange(REQ_SEND_EVENT, &evt, 1, reading(0));
}

}  // namespace drv
}  // namespace zorn
