#pragma once

// Host-side driver of the base's micro-controller. Each operation is one
// control-bus request made through the control endpoint: it builds the
// request payload, waits up to 1000 ms for the answer (the readings take a
// shorter time-out from a caller with a deadline of its own), checks the answer's
// size and copies it into the caller's record.
//
// Results: RESULT_OK, RESULT_INVALID_DATA for an answer of the wrong size
// (or a bad argument, see below), or the endpoint's code unchanged
// (RESULT_OPERATION_FAIL, RESULT_OPERATION_TIMEOUT,
// RESULT_OPERATION_NOT_SUPPORT, channel codes). On any failure the caller's
// record is left as it was. No retry, no caching, no logging.

#include <cstdint>

#include "drv/AbsDevice.h"
#include "drv/ControlBus.h"
#include "net/Endpoint.h"

namespace zorn {
namespace drv {

class QuindleBaseDrv : public zorn::net::AbsDevice {
public:
    // Time-out of every request, in milliseconds.
    static constexpr int32_t REQUEST_TIMEOUT_MS = 1000;

    // The endpoint is not owned; it must be bound to a channel before the
    // first operation and must outlive the driver.
    explicit QuindleBaseDrv(zorn::net::ControlEndpoint* endpoint);

    // Identity of the base; the answer must hold at least 28 bytes.
    int32_t connect(base_connect_response_t& info);
    // Legacy configuration; the answer must hold at least 264 bytes.
    int32_t getConfig(base_conf_response_t& conf);
    // Binary configuration stream: size is the buffer's capacity on entry and
    // the count of bytes copied on return (a longer answer is cut).
    int32_t getBinaryConfig(uint8_t* buffer, uint32_t& size);
    // Battery and charging state; the answer must hold at least 2 bytes.
    int32_t getStatus(base_status_response_t& status, int32_t timeoutMs = REQUEST_TIMEOUT_MS);
    // Wheel odometry; a short answer is zero-filled, a long one cut.
    int32_t getMotorData(base_motor_status_response_t& motorStatus, int32_t timeoutMs = REQUEST_TIMEOUT_MS);
    // Distance sensor values; a short answer is zero-filled, a long one cut.
    int32_t getSensorData(base_sensor_data_response_t& sensors, int32_t timeoutMs = REQUEST_TIMEOUT_MS);
    // Bumper bits; a short answer is zero-filled, one over 4 bytes is invalid.
    int32_t getBumperData(base_bumper_data_response_t& bumper, int32_t timeoutMs = REQUEST_TIMEOUT_MS);
    // Docking beacons: *responseSize is the buffer's capacity on entry and the
    // count of bytes copied on return.
    int32_t getAutoHomeData(uint8_t req, uint8_t* response, uint32_t* responseSize,
                            int32_t timeoutMs = REQUEST_TIMEOUT_MS);
    // Wheel speeds; the answer is not read.
    int32_t setMotor(const base_set_motor_request_t& req);
    // Body velocity; the displacement answer is zero-filled or cut to 13 bytes.
    int32_t setVelocity(const base_set_velocity_request_t& req, base_set_velocity_response_t& response);
    // Pending base command; an empty answer is invalid.
    int32_t pollCommand(uint8_t& command);
    // Host information for a BASE_CMD_GET_INFO; the answer is not read.
    int32_t answerGetInfo(const base_get_info_answer_t& info);
    // Event to the base; the answer is not read.
    int32_t sendEvent(uint8_t evt);

private:
    // Sends request `code` followed by `argLength` argument bytes and waits
    // for the answer. On a non-negative result, `answer` and `answerLength`
    // describe the answer payload (nullptr / 0 when there is none).
    // `kind` tells the endpoint the answer's size and whether the request
    // moves or stops the base.
    int32_t exchange(uint8_t code, const void* args, uint32_t argLength, const zorn::net::RequestKind& kind,
                     zorn::net::MessagePtr& answer, const uint8_t*& answerData, uint32_t& answerLength,
                     int32_t timeoutMs = REQUEST_TIMEOUT_MS);
    // Same, for requests whose answer is not read.
    int32_t exchange(uint8_t code, const void* args, uint32_t argLength, const zorn::net::RequestKind& kind);
};

}  // namespace drv
}  // namespace zorn
