#pragma once

#include <cstdint>

#include "net/Endpoint.h"

namespace zorn {
namespace net {

// Fixed requests of the control bus, each with a 1000 ms time-out.
class ControlEndpoint : public Endpoint {
public:
    static constexpr uint32_t RECORD_SIZE = 44;
    static constexpr int32_t REQUEST_TIMEOUT_MS = ENDPOINT_REQUEST_TIMEOUT_MS;

    ControlEndpoint() {}
    ~ControlEndpoint() override {}

    // Request 0: fills record (RECORD_SIZE bytes, zeroed first) with at
    // most RECORD_SIZE bytes of the answer payload.
    virtual int32_t requestRecord(uint8_t* record);
    // Command 1, sent without awaiting an answer.
    virtual int32_t sendSignal();
    // Request 2 with one argument byte: the answer's command byte on success.
    virtual int32_t requestByte(uint8_t arg);
    // Requests 3, 4 and 5: value = the answer's command byte.
    virtual int32_t readByte(uint8_t* value);
    virtual int32_t readByteWithArg(uint8_t arg, uint8_t* value);
    virtual int32_t readByteWithArgs(uint8_t arg1, uint8_t arg2, uint8_t* value);

private:
    int32_t readAnswerByte(uint8_t cmd, const uint8_t* data, int32_t len, uint8_t* value);
};

}  // namespace net
}  // namespace zorn
