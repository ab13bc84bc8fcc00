#include "tests/support/ScriptedBase.h"

#include <algorithm>
#include <iterator>

namespace tests {
namespace support {

using namespace zorn::drv;

namespace {

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

constexpr uint8_t FLAGS_SHORT = zorn::net::FRAME_FLAGS_SHORT;
constexpr uint8_t FLAGS_LONG = zorn::net::FRAME_FLAGS_LONG;

bool isRequestWithCode(const BaseRequest& request, uint8_t code) {
    return !request.payload.empty() && request.code == code;
}

}  // namespace

BaseReply BaseReply::ok(const Bytes& payload) { return {Ok, payload}; }

BaseReply BaseReply::error(uint16_t code) {
    return {Error, Bytes{static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(code >> 8)}, code};
}

BaseReply BaseReply::errorPayload(const Bytes& payload) { return {Error, payload}; }
BaseReply BaseReply::raw(const Bytes& frameBytes) { return {Raw, frameBytes}; }
BaseReply BaseReply::silent() { return {Silent, {}}; }
BaseReply BaseReply::late(const Bytes& payload) { return {Late, payload}; }

ScriptedBase::ScriptedBase() : default_(BaseReply::error(BASE_ERROR_NOT_SUPPORTED)) {}

void ScriptedBase::script(uint8_t code, const BaseReply& reply) {
    std::lock_guard<std::mutex> guard(mutex_);
    Script& s = scripts_[code];
    s.hasStanding = true;
    s.standing = reply;
}

void ScriptedBase::scriptOnce(uint8_t code, const BaseReply& reply) {
    std::lock_guard<std::mutex> guard(mutex_);
    scripts_[code].once.push_back(reply);
}

base_connect_response_t ScriptedBase::healthyIdentity() {
    base_connect_response_t r = {};
    std::memcpy(r.model, "SCRIPTBASE", 10);
    r.firmware_version = 0x0203;
    r.hardware_version = 0x0101;
    r.serial_number[0] = 0x0000BEEF;
    r.serial_number[1] = 0x12345678;
    r.serial_number[2] = 0xCAFEF00D;
    return r;
}

base_conf_response_t ScriptedBase::healthyConfig() {
    base_conf_response_t r = {};
    r.base_type = CIRCLE;
    r.base_radius_q8 = 170 * 256;  // 170 mm
    r.base_motor_type = TWO_WHEEL;
    r.base_sensor_num = 2;
    r.sensors[0] = base_sensor_entry_t{150 * 256, 0, 40 * 256, 0};
    r.sensors[1] = base_sensor_entry_t{0, 150 * 256, 40 * 256, 90 * 256};
    r.base_bumper_num = 2;
    r.bumpers[0] = base_sensor_entry_t{160 * 256, 50 * 256, 20 * 256, 20 * 256};
    r.bumpers[1] = base_sensor_entry_t{160 * 256, 0, -10 * 256, 0};  // a cliff sensor
    return r;
}

void ScriptedBase::scriptHealthyBase() {
    answerRecord(REQ_CONNECT, healthyIdentity());
    answerRecord(REQ_GET_CONFIG, healthyConfig());
    fail(REQ_GET_BINARY_CONFIG, BASE_ERROR_NOT_SUPPORTED);
    answerRecord(REQ_GET_STATUS, base_status_response_t{80, CHARGING_FLAG_CHARGING | CHARGING_FLAG_DC_CONNECTED});
    answerRecord(REQ_GET_MOTOR_DATA, base_motor_status_response_t{1234, -567, 1});
    base_sensor_data_response_t sensors = {};
    sensors.sensor_value[0] = 500u << 16;   // 500 mm
    sensors.sensor_value[1] = 1250u << 16;  // 1250 mm
    answerRecord(REQ_GET_SENSOR_DATA, sensors);
    answerRecord(REQ_GET_BUMPER_DATA, base_bumper_data_response_t{0x1});
    answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{2, 3, {0x1, 0x3, 0x2}});
    answer(REQ_SET_MOTOR, Bytes());
    answerRecord(REQ_SET_VELOCITY, base_set_velocity_response_t{65536 / 100, 0, 2 * 65536, 0});
    answer(REQ_POLL_COMMAND, Bytes{0x00});
    answer(REQ_ANSWER_GET_INFO, Bytes());
    answer(REQ_SEND_EVENT, Bytes());
}

Bytes ScriptedBase::frame(uint8_t cmd, const Bytes& payload) {
    const size_t length = payload.size() + 1;
    Bytes out;
    out.reserve(length + 4);
    if (length >= 256) {
        out.push_back(FLAGS_LONG);
        out.push_back(static_cast<uint8_t>(length & 0xFF));
        out.push_back(static_cast<uint8_t>((length >> 8) & 0xFF));
    } else {
        out.push_back(FLAGS_SHORT);
        out.push_back(static_cast<uint8_t>(length));
    }
    out.push_back(cmd);
    out.insert(out.end(), payload.begin(), payload.end());
    uint8_t checksum = 0;
    for (uint8_t b : out) {
        checksum ^= b;
    }
    out.push_back(checksum);
    return out;
}

Bytes ScriptedBase::receive(const uint8_t* data, size_t length) {
    Bytes out;
    std::lock_guard<std::mutex> guard(mutex_);
    if (data != nullptr && length != 0) {
        rx_.insert(rx_.end(), data, data + length);
    }
    parseLocked(out);
    changed_.notify_all();
    return out;
}

void ScriptedBase::parseLocked(Bytes& out) {
    size_t pos = 0;
    while (pos < rx_.size()) {
        const uint8_t flags = rx_[pos];
        if (flags != FLAGS_SHORT && flags != FLAGS_LONG) {
            ++pos;  // hunting for the first byte of a frame
            continue;
        }
        const size_t lengthBytes = flags == FLAGS_LONG ? 2 : 1;
        if (rx_.size() - pos < 1 + lengthBytes) {
            break;
        }
        size_t length = rx_[pos + 1];
        if (lengthBytes == 2) {
            length |= static_cast<size_t>(rx_[pos + 2]) << 8;
        }
        const size_t total = 1 + lengthBytes + length + 1;
        if (rx_.size() - pos < total) {
            break;
        }
        const uint8_t* f = rx_.data() + pos;
        uint8_t checksum = 0;
        for (size_t i = 0; i + 1 < total; ++i) {
            checksum ^= f[i];
        }
        Bytes frameBytes(f, f + total);
        if (checksum != f[total - 1]) {
            ++badFrames_;
        } else if (length == 0) {
            ++otherFrames_;  // a frame without a command byte
        } else {
            const uint8_t* body = f + 1 + lengthBytes;
            handleFrameLocked(frameBytes, body[0], body + 1, length - 1, out);
        }
        pos += total;
    }
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void ScriptedBase::handleFrameLocked(const Bytes& frameBytes, uint8_t cmd, const uint8_t* payload,
                                     size_t payloadLength, Bytes& out) {
    if (cmd != CMD_CONTROL_BUS) {
        ++otherFrames_;  // synchronisation and anything else: not answered
        return;
    }
    BaseRequest request;
    request.cmd = cmd;
    request.frame = frameBytes;
    request.payload.assign(payload, payload + payloadLength);
    if (payloadLength != 0) {
        request.code = payload[0];
        request.args.assign(payload + 1, payload + payloadLength);
    }
    requests_.push_back(request);

    const BaseReply reply = payloadLength != 0 ? replyForLocked(request.code) : default_;
    // A late answer held back goes out first: the host is awaiting another
    // request's answer by now.
    Bytes bytes = std::move(held_);
    held_.clear();
    switch (reply.kind) {
        case BaseReply::Ok:
            append(bytes, frame(BASE_ANS_OK, reply.bytes));
            break;
        case BaseReply::Error:
            append(bytes, frame(BASE_ANS_ERROR, reply.bytes));
            break;
        case BaseReply::Raw:
            append(bytes, reply.bytes);
            break;
        case BaseReply::Late:
            held_ = frame(BASE_ANS_OK, reply.bytes);
            break;
        case BaseReply::Silent:
            break;
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
}

BaseReply ScriptedBase::replyForLocked(uint8_t code) {
    auto it = scripts_.find(code);
    if (it == scripts_.end()) {
        return default_;
    }
    Script& s = it->second;
    if (!s.once.empty()) {
        BaseReply reply = s.once.front();
        s.once.pop_front();
        return reply;
    }
    return s.hasStanding ? s.standing : default_;
}

std::vector<BaseRequest> ScriptedBase::requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

std::vector<BaseRequest> ScriptedBase::requests(uint8_t code) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<BaseRequest> result;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(result),
                 [code](const BaseRequest& r) { return isRequestWithCode(r, code); });
    return result;
}

size_t ScriptedBase::requestCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_.size();
}

size_t ScriptedBase::requestCount(uint8_t code) const {
    return requests(code).size();
}

size_t ScriptedBase::otherFrameCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return otherFrames_;
}

size_t ScriptedBase::badFrameCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return badFrames_;
}

bool ScriptedBase::waitForRequests(size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

bool ScriptedBase::waitForRequests(uint8_t code, size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                 [code](const BaseRequest& r) { return isRequestWithCode(r, code); })) >= count;
    });
}

void ScriptedBase::clearRequests() {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.clear();
    otherFrames_ = 0;
    badFrames_ = 0;
}

}  // namespace support
}  // namespace tests
