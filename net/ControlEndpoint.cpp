#include "net/ControlEndpoint.h"

#include <cstring>

namespace zorn {
namespace net {

int32_t ControlEndpoint::requestRecord(uint8_t* record) {
    if (!record) return RESULT_OPERATION_FAIL;
    std::memset(record, 0, RECORD_SIZE);
    MessagePtr answer;
    int32_t r = request(answer, 0, nullptr, 0, REQUEST_TIMEOUT_MS);
    if (r != RESULT_OK) return r;
    if (!answer || answer->length == 0) return RESULT_OPERATION_FAIL;
    uint32_t n = answer->payloadLength();
    if (n > RECORD_SIZE) n = RECORD_SIZE;
    if (n > answer->payload.size()) n = static_cast<uint32_t>(answer->payload.size());
    if (n) std::memcpy(record, answer->payload.data(), n);
    return RESULT_OK;
}

int32_t ControlEndpoint::sendSignal() { return sendCommand(1, nullptr, 0); }

int32_t ControlEndpoint::requestByte(uint8_t arg) {
    MessagePtr answer;
    int32_t r = request(answer, 2, &arg, 1, REQUEST_TIMEOUT_MS);
    if (r != RESULT_OK) return r;
    return answer ? answer->cmd : RESULT_OPERATION_FAIL;
}

int32_t ControlEndpoint::readAnswerByte(uint8_t cmd, const uint8_t* data, int32_t len, uint8_t* value) {
    MessagePtr answer;
    int32_t r = request(answer, cmd, data, len, REQUEST_TIMEOUT_MS);
    if (r != RESULT_OK) return r;
    if (!answer) return RESULT_OPERATION_FAIL;
    if (value) *value = answer->cmd;
    return RESULT_OK;
}

int32_t ControlEndpoint::readByte(uint8_t* value) { return readAnswerByte(3, nullptr, 0, value); }

int32_t ControlEndpoint::readByteWithArg(uint8_t arg, uint8_t* value) { return readAnswerByte(4, &arg, 1, value); }

int32_t ControlEndpoint::readByteWithArgs(uint8_t arg1, uint8_t arg2, uint8_t* value) {
    const uint8_t args[2] = {arg1, arg2};
    return readAnswerByte(5, args, 2, value);
}

}  // namespace net
}  // namespace zorn
