#include "drv/AbsDevice.h"

#include "net/Result.h"

namespace zorn {
namespace net {

void AbsDevice::copyCodes(std::list<int32_t>& out) {
    out.insert(out.end(), codes.begin(), codes.end());
}

int32_t AbsDevice::requestRecord(uint8_t* record) {
    return endpoint ? endpoint->requestRecord(record) : RESULT_OPERATION_FAIL;
}

int32_t AbsDevice::sendSignal() {
    return endpoint ? endpoint->sendSignal() : RESULT_OPERATION_FAIL;
}

int32_t AbsDevice::requestByte(uint8_t arg) {
    return endpoint ? endpoint->requestByte(arg) : RESULT_OPERATION_FAIL;
}

int32_t AbsDevice::readByte(uint8_t* value) {
    return endpoint ? endpoint->readByte(value) : RESULT_OPERATION_FAIL;
}

void AbsDevice::addCode(int32_t code) {
    codes.push_back(code);
}

void AbsDevice::clearCodes() {
    codes.clear();
}

}  // namespace net
}  // namespace zorn
