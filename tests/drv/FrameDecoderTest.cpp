// The shared frame decoder: request and answer texts with their units, and
// the scanner that splits received bytes into frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "drv/FrameDecoder.h"

using namespace zorn::drv;

namespace {

std::vector<uint8_t> le32s(uint8_t code, std::initializer_list<int32_t> values) {
    std::vector<uint8_t> out{code};
    for (int32_t v : values) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    }
    return out;
}

std::string requestText(const std::vector<uint8_t>& payload, uint8_t cmd = CMD_CONTROL_BUS) {
    return decodeRequest(cmd, payload.data(), payload.size()).text;
}

std::string answerText(uint8_t cmd, const std::vector<uint8_t>& payload, int code) {
    return decodeAnswer(cmd, payload.data(), payload.size(), code).text;
}

}  // namespace

TEST(FrameDecoder, RequestsWithTheirArguments) {
    const struct {
        std::vector<uint8_t> payload;
        const char* text;
    } cases[] = {
        {{REQ_GET_STATUS}, "getStatus (0x30)"},
        {{REQ_CONNECT, CONNECT_ARGUMENT}, "connect (0x10)"},
        {le32s(REQ_SET_MOTOR, {100, -200, 0, 0}), "setMotor left=100 mm/s right=-200 mm/s (0x40)"},
        {le32s(REQ_SET_VELOCITY, {6554, 0, -65536}), "setVelocity vx=0.100 m/s vy=0.000 m/s omega=-1.000 rad/s (0x41)"},
        {{REQ_SEND_EVENT, 7}, "sendEvent event=7 (0x60)"},
        {{REQ_GET_STATUS, 1, 2}, "getStatus with 2 argument bytes (0x30)"},
        {{0x99}, "unknown request (0x99)"},
        {{}, "empty request"},
    };
    for (const auto& c : cases) EXPECT_EQ(requestText(c.payload), c.text);
    EXPECT_EQ(requestText(std::vector<uint8_t>(64, 1), 0), "synchronisation message, 64 bytes");
}

TEST(FrameDecoder, AnswersDecodedForTheirRequest) {
    const std::vector<uint8_t> motor{0xE8, 0x03, 0, 0, 0x18, 0xFC, 0xFF, 0xFF, 2};
    const struct {
        uint8_t cmd;
        std::vector<uint8_t> payload;
        int code;
        const char* text;
    } cases[] = {
        {2, {80, 3}, REQ_GET_STATUS, "ok, 2 bytes: battery 80 %, charging from cable"},
        {2, {20, 0}, REQ_GET_STATUS, "ok, 2 bytes: battery 20 %, not charging"},
        {2, {20, 4}, REQ_GET_STATUS, "ok, 2 bytes: battery 20 %, not charging, on the charging base"},
        {2, motor, REQ_GET_MOTOR_DATA, "ok, 9 bytes: odometry left 1000 mm, right -1000 mm, motor state 2"},
        {2, {80, 3}, -1, "ok, 2 bytes"},
        {2, {}, REQ_SET_MOTOR, "ok, 0 bytes"},
        {2, {0x51}, REQ_POLL_COMMAND, "ok, 1 byte: pending command 0x51 (get info)"},
        {2, {5, 0, 0, 0}, REQ_GET_BUMPER_DATA, "ok, 4 bytes: bumper bits 0x00000005"},
        {3, {0x00, 0x80}, REQ_GET_STATUS, "error 0x8000 (not supported)"},
        {3, {0x07, 0x00}, REQ_GET_STATUS, "error 0x0007"},
    };
    for (const auto& c : cases) EXPECT_EQ(answerText(c.cmd, c.payload, c.code), c.text) << c.text;
}

// An answer of another size than its request's is flagged, and its record
// decoded as the driver reads it: zero-filled, cut, or not at all.
TEST(FrameDecoder, AnswersOfTheWrongSizeAreFlagged) {
    const struct {
        uint8_t cmd;
        std::vector<uint8_t> payload;
        int code;
        const char* text;
        size_t fields;
    } cases[] = {
        {2, {80}, REQ_GET_STATUS, "ok, 1 byte, wrong size (getStatus answers 2 bytes; too short to read)", 0},
        {2, {80, 3, 9, 9}, REQ_GET_STATUS,
         "ok, 4 bytes, wrong size (getStatus answers 2 bytes; the other 2 bytes ignored): battery 80 %, charging "
         "from cable",
         3},
        {2, {0xE8, 0x03, 0, 0}, REQ_GET_MOTOR_DATA,
         "ok, 4 bytes, wrong size (getMotorData answers 9 bytes; the missing ones read as 0): odometry left 1000 mm, "
         "right 0 mm, motor state 0",
         3},
        {2, {5, 0, 0, 0, 0}, REQ_GET_BUMPER_DATA,
         "ok, 5 bytes, wrong size (getBumperData answers 4 bytes; too long to read)", 0},
        {2, {1, 2}, REQ_GET_AUTOHOME_DATA,
         "ok, 2 bytes, wrong size (getAutoHomeData answers 5 bytes; too short to read)", 0},
        {2, {7}, REQ_SET_MOTOR, "ok, 1 byte, wrong size (setMotor answers 0 bytes; the other 1 byte ignored)", 0},
        {2, {}, REQ_POLL_COMMAND, "ok, 0 bytes, wrong size (pollCommand answers 1 byte; too short to read)", 0},
        {3, {0x07, 0x00, 0x01}, REQ_GET_STATUS,
         "error 0x0007, wrong size (an error answer has 2 bytes; the other 1 byte ignored)", 1},
        {3, {0x07}, REQ_GET_STATUS, "error without a code, wrong size (an error answer has 2 bytes)", 0},
        // Nothing is flagged without a request, nor for a configuration of any size.
        {2, {80}, -1, "ok, 1 byte", 0},
        {2, {1, 2, 3}, REQ_GET_BINARY_CONFIG, "ok, 3 bytes: binary configuration", 0},
    };
    for (const auto& c : cases) {
        const DecodedFrame frame = decodeAnswer(c.cmd, c.payload.data(), c.payload.size(), c.code);
        EXPECT_EQ(frame.text, c.text);
        EXPECT_EQ(frame.fields.size(), c.fields) << c.text;
        const bool flagged = frame.text.find("wrong size") != std::string::npos;
        EXPECT_EQ(!frame.warning.empty(), flagged) << c.text;
        EXPECT_EQ(frame.expectedSize >= 0, flagged) << c.text;
    }
}

TEST(FrameDecoder, FieldsCarryNamesValuesAndUnits) {
    const std::vector<uint8_t> status{80, 3};
    DecodedFrame frame = decodeAnswer(2, status.data(), status.size(), REQ_GET_STATUS);
    ASSERT_GE(frame.fields.size(), 2u);
    EXPECT_EQ(frame.fields[0].name, "battery");
    EXPECT_EQ(frame.fields[0].number, 80);
    EXPECT_EQ(frame.fields[0].unit, "%");
    const std::vector<uint8_t> motor = le32s(REQ_SET_MOTOR, {100, 100, 0, 0});
    frame = decodeRequest(CMD_CONTROL_BUS, motor.data(), motor.size());
    ASSERT_EQ(frame.fields.size(), 2u);
    EXPECT_EQ(frame.fields[1].name, "right_speed");
    EXPECT_EQ(frame.fields[1].unit, "mm/s");
    // Text from the base is kept printable.
    base_connect_response_t id{};
    id.model[0] = 'A';
    id.model[1] = '\x1b';
    frame = decodeAnswer(2, reinterpret_cast<const uint8_t*>(&id), sizeof id, REQ_CONNECT);
    EXPECT_NE(frame.text.find("model \"A\\x1B\""), std::string::npos) << frame.text;
}

