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
    bool isFlag = false;  // true or false, in `number` as 1 or 0
    double number = 0;
    std::string text;
};

struct DecodedFrame {
    std::string text;  // the whole frame in one line
    std::vector<DecodedField> fields;
    // An answer of another size than its request's: what is wrong with it
    // ("wrong size (getStatus answers 2 bytes; too short to read)"), also
    // part of the text; empty when nothing is.
    std::string warning;
    // The size the request's answer has, -1 when it has none (or the
    // answer is of that size).
    int expectedSize = -1;
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
// cable", "error 0x8000 (not supported)". An answer of another size than
// its request's is flagged, and its record decoded as the driver reads it
// (zero-filled or cut) where the driver reads it at all: "ok, 4 bytes,
// wrong size (getStatus answers 2 bytes; the other 2 ignored): battery ...".
DecodedFrame decodeAnswer(uint8_t cmd, const uint8_t* payload, size_t size, int requestCode);

}  // namespace drv
}  // namespace zorn
