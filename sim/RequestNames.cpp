#include "sim/RequestNames.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drv/ControlBus.h"
#include "drv/FixedPoint.h"

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

namespace {

int32_t argInt32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::string describeRequest(uint8_t code, const uint8_t* args, size_t size) {
    const char* name = requestName(code);
    char text[160];
    std::snprintf(text, sizeof text, "%s (0x%02X)", name != nullptr ? name : "unknown request", code);
    std::string out = text;
    if (code == drv::REQ_SET_MOTOR && size == sizeof(drv::base_set_motor_request_t)) {
        std::snprintf(text, sizeof text, " left=%d right=%d mm/s", argInt32(args), argInt32(args + 4));
        out += text;
    } else if (code == drv::REQ_SET_VELOCITY && size == sizeof(drv::base_set_velocity_request_t)) {
        std::snprintf(text, sizeof text, " vx=%.4f vy=%.4f m/s omega=%.4f rad/s", drv::fromQ16(argInt32(args)),
                      drv::fromQ16(argInt32(args + 4)), drv::fromQ16(argInt32(args + 8)));
        out += text;
    } else if (code == drv::REQ_SEND_EVENT && size == 1) {
        std::snprintf(text, sizeof text, " event=%u", args[0]);
        out += text;
    } else if (code == drv::REQ_ANSWER_GET_INFO && size == sizeof(drv::base_get_info_answer_t)) {
        const auto* info = reinterpret_cast<const drv::base_get_info_answer_t*>(args);
        char name12[13] = {0};
        char device[41] = {0};
        char address[21] = {0};
        std::memcpy(name12, info->model, 12);
        std::memcpy(device, info->device_name, 40);
        std::memcpy(address, info->host_address, 20);
        std::snprintf(text, sizeof text, " model=\"%s\" device=\"%s\" address=\"%s\"", name12, device, address);
        out += text;
    } else if (size > 0) {
        std::snprintf(text, sizeof text, " with %zu argument byte%s", size, size == 1 ? "" : "s");
        out += text;
    }
    return out;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
