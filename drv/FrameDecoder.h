#pragma once

// What a frame of the control bus says, in words: request names, decoded
// arguments and answer records with their units. The console's decoded
// trace and the simulator's request log both describe frames through this
// one decoder, which reads the records of drv/ControlBus.h.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorn {
namespace drv {

// Name of a control-bus request code as the driver calls the operation
// ("getStatus"), or nullptr for a code the base does not know.
const char* requestName(uint8_t code);
// The code of a request name; false for a name no request has.
bool requestCodeByName(const std::string& name, uint8_t& code);

// One decoded value of a frame: a number with its unit, or a text.
struct DecodedField {
    std::string name;
    std::string unit;  // empty for a count, a bit set or a text
    bool isText = false;
    double number = 0;
    std::string text;
};

struct DecodedFrame {
    std::string text;  // the whole frame in one line
    std::vector<DecodedField> fields;
};

// A frame the host sends: a control-bus request, the synchronisation
// message, or any other command. The text is the request's name, its
// decoded arguments and its code: "setMotor left=100 mm/s right=100 mm/s
// (0x40)", "getStatus (0x30)".
DecodedFrame decodeRequest(uint8_t cmd, const uint8_t* payload, size_t size);
// The same for a request code and its argument bytes.
DecodedFrame decodeRequestArguments(uint8_t code, const uint8_t* args, size_t size);

// A frame the base sends, decoded as the answer to request `requestCode`
// (-1 when it is not known): "ok, 2 bytes: battery 80 %, charging from
// cable", "error 0x8000 (not supported)".
DecodedFrame decodeAnswer(uint8_t cmd, const uint8_t* payload, size_t size, int requestCode);

// Splits a byte stream into frames the way the console's receiver does: it
// hunts for a flags byte (0x10 or 0x50), reads the length, command, payload
// and checksum, and goes back to hunting after each frame, good or bad.
class FrameScanner {
public:
    enum class Kind { None, Skipped, Frame };
    struct Event {
        Kind kind = Kind::None;
        size_t skipped = 0;          // Skipped: bytes before the frame start
        bool good = false;           // Frame: the checksum matched
        std::vector<uint8_t> bytes;  // Frame: every byte of it, checksum included; Skipped: those bytes
    };

    // Consumes data[0..size) up to and including the byte that completes
    // the next event, and returns how many bytes it consumed; `event` is
    // None when the bytes ran out first. Bytes skipped are reported just
    // before the frame start that ends them, which is not consumed then (or
    // in pieces of kMaxSkippedReport bytes when no frame start comes).
    size_t scan(const uint8_t* data, size_t size, Event& event);
    void reset();
    static constexpr size_t kMaxSkippedReport = 4096;
    bool midFrame() const { return state_ != State::Hunt; }

private:
    enum class State { Hunt, LengthLow, LengthHigh, Command, Payload, Checksum };
    State state_ = State::Hunt;
    std::vector<uint8_t> skippedBytes_;
    uint32_t length_ = 0;
    uint32_t remaining_ = 0;
    uint8_t checksum_ = 0;
    std::vector<uint8_t> frame_;
};

}  // namespace drv
}  // namespace zorn
