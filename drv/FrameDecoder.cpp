#include "drv/FrameDecoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "drv/ControlBus.h"
#include "drv/FixedPoint.h"
#include "net/Framer.h"

namespace zorn {
namespace drv {

namespace {

struct NamedRequest {
    uint8_t code;
    const char* name;
};

const NamedRequest kRequests[] = {
    {REQ_CONNECT, "connect"},
    {REQ_GET_CONFIG, "getConfig"},
    {REQ_GET_BINARY_CONFIG, "getBinaryConfig"},
    {REQ_GET_STATUS, "getStatus"},
    {REQ_GET_MOTOR_DATA, "getMotorData"},
    {REQ_GET_SENSOR_DATA, "getSensorData"},
    {REQ_GET_BUMPER_DATA, "getBumperData"},
    {REQ_GET_AUTOHOME_DATA, "getAutoHomeData"},
    {REQ_SET_MOTOR, "setMotor"},
    {REQ_SET_VELOCITY, "setVelocity"},
    {REQ_POLL_COMMAND, "pollCommand"},
    {REQ_ANSWER_GET_INFO, "answerGetInfo"},
    {REQ_SEND_EVENT, "sendEvent"},
};

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// A record copied out of the wire bytes (the caller checked the size).
template <typename Record>
Record recordAt(const uint8_t* data) {
    Record record;
    std::memcpy(&record, data, sizeof record);
    return record;
}

// A fixed-size text field of a record, up to its first NUL; bytes that are
// not printable ASCII are shown as \xNN, so the text is safe anywhere.
std::string fixedText(const char* field, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && field[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') out += static_cast<char>(c);
        else out += format("\\x%02X", c);
    }
    return out;
}

class Builder {
public:
    explicit Builder(std::string text) { frame_.text = std::move(text); }
    Builder& add(const std::string& text) {
        frame_.text += text;
        return *this;
    }
    void number(const char* name, double value, const char* unit = "") {
        DecodedField field;
        field.name = name;
        field.unit = unit;
        field.number = value;
        frame_.fields.push_back(field);
    }
    void text(const char* name, const std::string& value) {
        DecodedField field;
        field.name = name;
        field.isText = true;
        field.text = value;
        frame_.fields.push_back(field);
    }
    DecodedFrame take() { return std::move(frame_); }

private:
    DecodedFrame frame_;
};

std::string chargingText(uint8_t flags) {
    std::string text = (flags & CHARGING_FLAG_CHARGING) ? "charging" : "not charging";
    const bool charging = (flags & CHARGING_FLAG_CHARGING) != 0;
    if (flags & CHARGING_FLAG_DC_CONNECTED) text += charging ? " from cable" : ", cable connected";
    if (flags & CHARGING_FLAG_ON_CHARGING_BASE) {
        text += (charging && !(flags & CHARGING_FLAG_DC_CONNECTED)) ? " on the charging base" : ", on the charging base";
    }
    return text;
}

std::string versionText(uint16_t version) { return format("%u.%u", version >> 8, version & 0xFF); }

void identityFields(Builder& b, const base_connect_response_t& id) {
    const std::string model = fixedText(id.model, sizeof id.model);
    const std::string serial = format("%08X%08X%08X", id.serial_number[0], id.serial_number[1], id.serial_number[2]);
    b.add("model \"" + model + "\", firmware " + versionText(id.firmware_version) + ", hardware " +
          versionText(id.hardware_version) + ", serial " + serial);
    b.text("model", model);
    b.text("firmware", versionText(id.firmware_version));
    b.text("hardware", versionText(id.hardware_version));
    b.text("serial", serial);
}

// The answer record of a request, decoded after "ok, N bytes: ".
void answerDetails(Builder& b, int code, const uint8_t* p, size_t size) {
    switch (code) {
        case REQ_CONNECT:
            if (size == sizeof(base_connect_response_t)) identityFields(b, recordAt<base_connect_response_t>(p));
            return;
        case REQ_GET_CONFIG:
            if (size == sizeof(base_conf_response_t)) {
                const auto conf = recordAt<base_conf_response_t>(p);
                const double radius = fromQ8(static_cast<double>(conf.base_radius_q8));
                b.add(format("legacy configuration, radius %.1f mm, %u distance sensors, %u bumper/cliff sensors",
                             radius, conf.base_sensor_num, conf.base_bumper_num));
                b.number("base_type", conf.base_type);
                b.number("radius", radius, "mm");
                b.number("motor_type", conf.base_motor_type);
                b.number("distance_sensors", conf.base_sensor_num);
                b.number("bumper_sensors", conf.base_bumper_num);
            }
            return;
        case REQ_GET_BINARY_CONFIG:
            b.add("binary configuration");
            return;
        case REQ_GET_STATUS:
            if (size == sizeof(base_status_response_t)) {
                const auto s = recordAt<base_status_response_t>(p);
                b.add(format("battery %u %%, ", s.battery_percentage) + chargingText(s.charging_flags));
                b.number("battery", s.battery_percentage, "%");
                b.number("charging_flags", s.charging_flags);
                b.text("charging", chargingText(s.charging_flags));
            }
            return;
        case REQ_GET_MOTOR_DATA:
            if (size == sizeof(base_motor_status_response_t)) {
                const auto m = recordAt<base_motor_status_response_t>(p);
                b.add(format("odometry left %d mm, right %d mm, motor state %u", m.left_wheel_odometry,
                             m.right_wheel_odometry, m.motor_state));
                b.number("left_odometry", m.left_wheel_odometry, "mm");
                b.number("right_odometry", m.right_wheel_odometry, "mm");
                b.number("motor_state", m.motor_state);
            }
            return;
        case REQ_GET_SENSOR_DATA:
            if (size == sizeof(base_sensor_data_response_t)) {
                const auto d = recordAt<base_sensor_data_response_t>(p);
                std::string values;
                for (int i = 0; i < BASE_SENSOR_VALUES; ++i) {
                    const double mm = fromQ16(static_cast<double>(d.sensor_value[i]));
                    values += format(i == 0 ? "%.1f" : " %.1f", mm);
                    b.number(format("distance_%d", i).c_str(), mm, "mm");
                }
                b.add("distances " + values + " mm");
            }
            return;
        case REQ_GET_BUMPER_DATA:
            if (size == sizeof(base_bumper_data_response_t)) {
                const auto d = recordAt<base_bumper_data_response_t>(p);
                b.add(format("bumper bits 0x%08X", d.bumper_bits));
                b.number("bumper_bits", d.bumper_bits);
            }
            return;
        case REQ_GET_AUTOHOME_DATA:
            if (size == sizeof(base_autohome_response_t)) {
                const auto a = recordAt<base_autohome_response_t>(p);
                b.add(format("%u beacons, %u probes, probe bits 0x%02X 0x%02X 0x%02X", a.beacon_count, a.probe_count,
                             a.probe_data[0], a.probe_data[1], a.probe_data[2]));
                b.number("beacons", a.beacon_count);
                b.number("probes", a.probe_count);
                for (int i = 0; i < BASE_MAX_PROBES; ++i) b.number(format("probe_%d", i).c_str(), a.probe_data[i]);
            }
            return;
        case REQ_SET_VELOCITY:
            if (size == sizeof(base_set_velocity_response_t)) {
                const auto v = recordAt<base_set_velocity_response_t>(p);
                const double dx = fromQ16(v.dx_q16), dy = fromQ16(v.dy_q16), dtheta = fromQ16(v.dtheta_q16);
                b.add(format("dx=%.4f m dy=%.4f m dtheta=%.3f deg, velocity state %u", dx, dy, dtheta,
                             v.velocity_state));
                b.number("dx", dx, "m");
                b.number("dy", dy, "m");
                b.number("dtheta", dtheta, "deg");
                b.number("velocity_state", v.velocity_state);
            }
            return;
        case REQ_POLL_COMMAND:
            if (size == 1) {
                b.add(format("pending command 0x%02X", p[0]) + (p[0] == BASE_CMD_GET_INFO ? " (get info)" : ""));
                b.number("pending_command", p[0]);
            }
            return;
        default:
            return;
    }
}

// The size of each request's answer and what the driver does with an
// answer of another size (drv/QuindleBaseDrv.cpp): refuses it, or reads it
// zero-filled (too short) or cut (too long). Requests whose answer has no
// fixed size (the binary configuration) are not listed.
struct AnswerSize {
    uint8_t code;
    size_t size;
    bool shortRead;  // a shorter answer is read zero-filled (else refused)
    bool longRead;   // a longer answer is read cut (else refused)
};

const AnswerSize kAnswerSizes[] = {
    {REQ_CONNECT, sizeof(base_connect_response_t), false, true},
    {REQ_GET_CONFIG, sizeof(base_conf_response_t), false, true},
    {REQ_GET_STATUS, sizeof(base_status_response_t), false, true},
    {REQ_GET_MOTOR_DATA, sizeof(base_motor_status_response_t), true, true},
    {REQ_GET_SENSOR_DATA, sizeof(base_sensor_data_response_t), true, true},
    {REQ_GET_BUMPER_DATA, sizeof(base_bumper_data_response_t), true, false},
    // The beacon command refuses a short answer.
    {REQ_GET_AUTOHOME_DATA, sizeof(base_autohome_response_t), false, true},
    {REQ_SET_MOTOR, 0, false, true},
    {REQ_SET_VELOCITY, sizeof(base_set_velocity_response_t), true, true},
    {REQ_POLL_COMMAND, 1, false, true},
    {REQ_ANSWER_GET_INFO, 0, false, true},
    {REQ_SEND_EVENT, 0, false, true},
};

const AnswerSize* answerSizeOf(int code) {
    for (const auto& rule : kAnswerSizes) {
        if (rule.code == code) return &rule;
    }
    return nullptr;
}

std::string bytesText(size_t n) { return format("%zu byte%s", n, n == 1 ? "" : "s"); }

}  // namespace

const char* requestName(uint8_t code) {
    for (const auto& r : kRequests) {
        if (r.code == code) return r.name;
    }
    return nullptr;
}

bool requestCodeByName(const std::string& name, uint8_t& code) {
    for (const auto& r : kRequests) {
        if (name == r.name) {
            code = r.code;
            return true;
        }
    }
    return false;
}

DecodedFrame decodeRequestArguments(uint8_t code, const uint8_t* args, size_t size) {
    const char* name = requestName(code);
    Builder b(name != nullptr ? name : "unknown request");
    if (code == REQ_SET_MOTOR && size == sizeof(base_set_motor_request_t)) {
        const auto m = recordAt<base_set_motor_request_t>(args);
        b.add(format(" left=%d mm/s right=%d mm/s", m.left_speed, m.right_speed));
        b.number("left_speed", m.left_speed, "mm/s");
        b.number("right_speed", m.right_speed, "mm/s");
    } else if (code == REQ_SET_VELOCITY && size == sizeof(base_set_velocity_request_t)) {
        const auto v = recordAt<base_set_velocity_request_t>(args);
        const double vx = fromQ16(v.vx_q16), vy = fromQ16(v.vy_q16), omega = fromQ16(v.omega_q16);
        b.add(format(" vx=%.3f m/s vy=%.3f m/s omega=%.3f rad/s", vx, vy, omega));
        b.number("vx", vx, "m/s");
        b.number("vy", vy, "m/s");
        b.number("omega", omega, "rad/s");
    } else if (code == REQ_SEND_EVENT && size == 1) {
        b.add(format(" event=%u", args[0]));
        b.number("event", args[0]);
    } else if (code == REQ_ANSWER_GET_INFO && size == sizeof(base_get_info_answer_t)) {
        const auto info = recordAt<base_get_info_answer_t>(args);
        const std::string model = fixedText(info.model, sizeof info.model);
        const std::string device = fixedText(info.device_name, sizeof info.device_name);
        const std::string address = fixedText(info.host_address, sizeof info.host_address);
        b.add(" model=\"" + model + "\" device=\"" + device + "\" address=\"" + address + "\"");
        b.text("model", model);
        b.number("info_flag", info.info_flag);
        b.text("device", device);
        b.text("address", address);
    } else if ((code == REQ_CONNECT && size == 1 && args[0] == CONNECT_ARGUMENT) ||
               (code == REQ_GET_AUTOHOME_DATA && size == 1 && args[0] == 0)) {
        // The one argument these requests always carry.
    } else if (size > 0) {
        b.add(format(" with %zu argument byte%s", size, size == 1 ? "" : "s"));
    }
    b.add(format(" (0x%02X)", code));
    return b.take();
}

DecodedFrame decodeRequest(uint8_t cmd, const uint8_t* payload, size_t size) {
    if (cmd == CMD_CONTROL_BUS) {
        if (size == 0) return Builder("empty request").take();
        return decodeRequestArguments(payload[0], payload + 1, size - 1);
    }
    if (cmd == 0) return Builder(format("synchronisation message, %zu bytes", size)).take();
    return Builder(format("message 0x%02X, %zu byte%s", cmd, size, size == 1 ? "" : "s")).take();
}

DecodedFrame decodeAnswer(uint8_t cmd, const uint8_t* payload, size_t size, int requestCode) {
    if (cmd == net::ANS_ERROR) {
        // The link reads the code from the first two bytes of any error answer.
        const unsigned code = size >= 2 ? static_cast<unsigned>(payload[0] | payload[1] << 8) : 0;
        Builder b(size >= 2 ? format("error 0x%04X", code) : "error without a code");
        if (size >= 2) {
            if (code == net::ANS_ERROR_NOT_SUPPORTED) b.add(" (not supported)");
            else if (code == 0x0001) b.add(" (bad request)");
            b.number("error", code);
        }
        DecodedFrame out = b.take();
        if (size != 2) {
            out.warning = "wrong size (an error answer has 2 bytes" +
                          (size > 2 ? "; the other " + bytesText(size - 2) + " ignored)" : std::string(")"));
            out.expectedSize = 2;
            out.text += ", " + out.warning;
        }
        return out;
    }
    if (cmd != net::ANS_OK) {
        return Builder(format("message 0x%02X, %zu byte%s", cmd, size, size == 1 ? "" : "s")).take();
    }
    Builder b(format("ok, %zu byte%s", size, size == 1 ? "" : "s"));
    const AnswerSize* expected = answerSizeOf(requestCode);
    std::vector<uint8_t> record;  // the answer as the driver reads it
    bool readable = true;
    std::string warning;
    if (expected != nullptr && size != expected->size) {
        const char* name = requestName(static_cast<uint8_t>(requestCode));
        warning = "wrong size (" + std::string(name) + " answers " + bytesText(expected->size) + "; ";
        if (size < expected->size) {
            readable = expected->shortRead;
            warning += readable ? "the missing ones read as 0)" : "too short to read)";
        } else {
            readable = expected->longRead;
            warning += readable ? "the other " + bytesText(size - expected->size) + " ignored)" : "too long to read)";
        }
        b.add(", " + warning);
        if (readable) {
            record.assign(expected->size, 0);
            const size_t kept = std::min(size, expected->size);
            if (kept > 0) std::memcpy(record.data(), payload, kept);
        }
    } else if (size > 0) {
        record.assign(payload, payload + size);
    }
    DecodedFrame decoded;
    if (readable) {
        Builder details("");
        answerDetails(details, requestCode, record.data(), record.size());
        decoded = details.take();
    }
    if (!decoded.text.empty()) b.add(": " + decoded.text);
    DecodedFrame out = b.take();
    out.fields = std::move(decoded.fields);
    out.warning = warning;
    if (!warning.empty()) out.expectedSize = static_cast<int>(expected->size);
    return out;
}

}  // namespace drv
}  // namespace zorn
