#include <cstring>
#include <exception>

#include "config/BinaryConfig.h"

namespace nivo {
namespace system {
namespace config {

namespace {

using serialization::IStream;

// Reads a little-endian unsigned number of `size` bytes; false when the
// stream holds fewer.
bool readLittleEndian(IStream& stream, size_t size, uint64_t& value) {
    uint8_t bytes[8] = {};
    if (stream.read(bytes, size) != size) {
        return false;
    }
    value = 0;
    for (size_t i = size; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return true;
}

bool readByte(IStream& stream, uint8_t& value) {
    return stream.read(&value, 1) == 1;
}

bool keyAt(uint8_t index, std::string& key) {
    if (index >= BINARY_CONFIG_KEY_COUNT) {
        return false;
    }
    key = binaryConfigKeys[index];
    return true;
}

// A short body fails at once: carrying on from the unread bytes could reach
// the end of the data by chance and accept a corrupted value.
bool decodeAt(IStream& stream, Json::Value& out, int depth) {
    uint8_t tag = 0;
    if (stream.isEof() || !readByte(stream, tag)) {
        return false;
    }
    uint64_t raw = 0;
    switch (tag) {
    case BIN_NULL:
        out = Json::Value();
        return true;
    case BIN_UINT8:
    case BIN_UINT16:
        if (!readLittleEndian(stream, tag == BIN_UINT8 ? 1 : 2, raw)) {
            return false;
        }
        out = Json::Value(static_cast<Json::Int>(raw));
        return true;
    case BIN_UINT32:
    case BIN_UINT64:
        // Only the low 32 bits of a 64-bit value are kept.
        if (!readLittleEndian(stream, tag == BIN_UINT32 ? 4 : 8, raw)) {
            return false;
        }
        out = Json::Value(static_cast<Json::UInt>(static_cast<uint32_t>(raw)));
        return true;
    case BIN_INT8:
        if (!readLittleEndian(stream, 1, raw)) {
            return false;
        }
        out = Json::Value(static_cast<Json::Int>(static_cast<int8_t>(raw)));
        return true;
    case BIN_INT16:
        if (!readLittleEndian(stream, 2, raw)) {
            return false;
        }
        out = Json::Value(static_cast<Json::Int>(static_cast<int16_t>(raw)));
        return true;
    case BIN_INT32:
    case BIN_INT64:
        if (!readLittleEndian(stream, tag == BIN_INT32 ? 4 : 8, raw)) {
            return false;
        }
        out = Json::Value(static_cast<Json::Int>(static_cast<int32_t>(static_cast<uint32_t>(raw))));
        return true;
    case BIN_FLOAT32: {
        if (!readLittleEndian(stream, 4, raw)) {
            return false;
        }
        const uint32_t bits = static_cast<uint32_t>(raw);
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        out = Json::Value(static_cast<double>(value));
        return true;
    }
    case BIN_FLOAT64: {
        if (!readLittleEndian(stream, 8, raw)) {
            return false;
        }
        double value = 0.0;
        std::memcpy(&value, &raw, sizeof value);
        out = Json::Value(value);
        return true;
    }
    case BIN_STRING: {
        uint8_t length = 0;
        if (!readByte(stream, length)) {
            return false;
        }
        char text[255];
        if (length > 0 && stream.read(text, length) != length) {
            return false;
        }
        out = Json::Value(text, text + length);
        return true;
    }
    case BIN_KEY_STRING: {
        uint8_t index = 0;
        std::string key;
        if (!readByte(stream, index) || !keyAt(index, key)) {
            return false;
        }
        out = Json::Value(key);
        return true;
    }
    case BIN_ARRAY: {
        uint8_t count = 0;
        if (depth >= BINARY_CONFIG_MAX_DEPTH || !readByte(stream, count)) {
            return false;
        }
        out = Json::Value(Json::arrayValue);
        out.resize(count);
        for (Json::ArrayIndex i = 0; i < count; ++i) {
            if (!decodeAt(stream, out[i], depth + 1)) {
                return false;
            }
        }
        return true;
    }
    case BIN_OBJECT: {
        uint8_t count = 0;
        if (depth >= BINARY_CONFIG_MAX_DEPTH || !readByte(stream, count)) {
            return false;
        }
        out = Json::Value(Json::objectValue);
        for (unsigned i = 0; i < count; ++i) {
            uint8_t index = 0;
            std::string key;
            Json::Value member;
            if (!readByte(stream, index) || !keyAt(index, key) || !decodeAt(stream, member, depth + 1)) {
                return false;
            }
            out[key] = std::move(member);
        }
        return true;
    }
    case BIN_TRUE:
        out = Json::Value(true);
        return true;
    case BIN_FALSE:
        out = Json::Value(false);
        return true;
    default:
        return false;
    }
}

}  // namespace

bool decodeBinaryValue(IStream& stream, Json::Value& out) {
    return decodeAt(stream, out, 0);
}

bool parseBinaryConfig(size_t count, const uint8_t* bytes, Json::Value& out) {
    try {
        std::vector<uint8_t> buffer;
        if (count > 0 && bytes != nullptr) {
            buffer.assign(bytes, bytes + count);
        }
        serialization::BufferStreamAdaptor stream(&buffer);
        Json::Value value;
        if (decodeBinaryValue(stream, value) && stream.isEof()) {
            out = std::move(value);
            return true;
        }
    } catch (const std::exception&) {
        // Allocation failure and the like: the configuration is unusable.
    }
    out = Json::Value();
    return false;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
