#include "sim/RequestNames.h"

#include <cstdlib>
#include <cstring>

#include "drv/ControlBus.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

struct NamedRequest {
    uint8_t code;
    const char* name;
};

const NamedRequest kRequests[] = {
    {drv::REQ_CONNECT, "connect"},
    {drv::REQ_GET_CONFIG, "getConfig"},
    {drv::REQ_GET_BINARY_CONFIG, "getBinaryConfig"},
    {drv::REQ_GET_STATUS, "getStatus"},
    {drv::REQ_GET_MOTOR_DATA, "getMotorData"},
    {drv::REQ_GET_SENSOR_DATA, "getSensorData"},
    {drv::REQ_GET_BUMPER_DATA, "getBumperData"},
    {drv::REQ_GET_AUTOHOME_DATA, "getAutoHomeData"},
    {drv::REQ_SET_MOTOR, "setMotor"},
    {drv::REQ_SET_VELOCITY, "setVelocity"},
    {drv::REQ_POLL_COMMAND, "pollCommand"},
    {drv::REQ_ANSWER_GET_INFO, "answerGetInfo"},
    {drv::REQ_SEND_EVENT, "sendEvent"},
};

}  // namespace

const char* requestName(uint8_t code) {
    for (const auto& r : kRequests) {
        if (r.code == code) return r.name;
    }
    return nullptr;
}

bool parseRequestSelector(const Json::Value& value, int& code) {
    if (value.isIntegral() && !value.isBool()) {
        if (!value.isInt() || value.asInt() < 0 || value.asInt() > 255) return false;
        code = value.asInt();
        return true;
    }
    if (!value.isString()) return false;
    std::string text = value.asString();
    if (text == "*") {
        code = -1;
        return true;
    }
    for (const auto& r : kRequests) {
        if (text == r.name) {
            code = r.code;
            return true;
        }
    }
    if (text.size() > 2 && text.size() <= 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        char* end = nullptr;
        long v = std::strtol(text.c_str() + 2, &end, 16);
        if (end != nullptr && *end == '\0' && v >= 0 && v <= 255) {
            code = static_cast<int>(v);
            return true;
        }
    }
    return false;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
