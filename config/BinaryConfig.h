#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/BufferStream.h"

namespace nivo {
namespace system {
namespace config {

// Tag bytes of the binary configuration encoding. Numbers are little-endian.
enum BinaryTag : uint8_t {
    BIN_NULL = 0x00,
    BIN_UINT8 = 0x10,
    BIN_UINT16 = 0x11,
    BIN_UINT32 = 0x12,
    BIN_UINT64 = 0x13,
    BIN_INT8 = 0x18,
    BIN_INT16 = 0x19,
    BIN_INT32 = 0x1A,
    BIN_INT64 = 0x1B,
    BIN_FLOAT32 = 0x20,
    BIN_FLOAT64 = 0x21,
    BIN_STRING = 0x30,      // length byte, then the bytes
    BIN_KEY_STRING = 0x31,  // index into binaryConfigKeys
    BIN_ARRAY = 0x40,       // count byte, then the elements
    BIN_OBJECT = 0x50,      // count byte, then (key index, value) pairs
    BIN_TRUE = 0x60,
    BIN_FALSE = 0x61,
};

// The key dictionary: object member names (and key strings) by index.
constexpr size_t BINARY_CONFIG_KEY_COUNT = 38;
extern const char* const binaryConfigKeys[BINARY_CONFIG_KEY_COUNT];

// Deepest nesting of arrays and objects the decoder and encoder accept.
constexpr int BINARY_CONFIG_MAX_DEPTH = 32;

// Index of `key` in the dictionary; false when it is not there.
bool binaryConfigKeyIndex(const std::string& key, uint8_t& index);

// Decodes one value at the stream's position. Fails on an invalid tag, a key
// index outside the dictionary, a body cut short or nesting deeper than
// BINARY_CONFIG_MAX_DEPTH.
bool decodeBinaryValue(serialization::IStream& stream, Json::Value& out);

// Decodes a whole binary configuration: exactly one value filling all
// `count` bytes. On failure `out` is null.
bool parseBinaryConfig(size_t count, const uint8_t* bytes, Json::Value& out);

// Encodes a JSON value in the same format: integers with the smallest tag
// that decodes back to the same JSON type and value (unsigned JSON integers
// as BIN_UINT32), reals as BIN_FLOAT64, dictionary words as key strings.
// False (and `out` empty) when the value cannot be represented: an object
// member name outside the dictionary, a string over 255 bytes, an array or
// object over 255 entries, an integer outside 32 bits, or nesting too deep.
bool encodeBinaryConfig(const Json::Value& value, std::vector<uint8_t>& out);

}  // namespace config
}  // namespace system
}  // namespace nivo
