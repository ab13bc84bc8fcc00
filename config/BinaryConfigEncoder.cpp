#include <cstring>

#include "config/BinaryConfig.h"

namespace nivo {
namespace system {
namespace config {

namespace {

void putLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A signed JSON integer decodes back as a signed one from every tag but
// BIN_UINT32/BIN_UINT64, so those two are kept for unsigned JSON integers.
bool encodeSigned(Json::Int64 value, std::vector<uint8_t>& out) {
    if (value >= 0 && value <= 0xFF) {
        out.push_back(BIN_UINT8);
        putLittleEndian(out, static_cast<uint64_t>(value), 1);
    } else if (value >= INT8_MIN && value < 0) {
        out.push_back(BIN_INT8);
        putLittleEndian(out, static_cast<uint64_t>(value), 1);
    } else if (value >= 0 && value <= 0xFFFF) {
        out.push_back(BIN_UINT16);
        putLittleEndian(out, static_cast<uint64_t>(value), 2);
    } else if (value >= INT16_MIN && value < 0) {
        out.push_back(BIN_INT16);
        putLittleEndian(out, static_cast<uint64_t>(value), 2);
    } else if (value >= INT32_MIN && value <= INT32_MAX) {
        out.push_back(BIN_INT32);
        putLittleEndian(out, static_cast<uint64_t>(value), 4);
    } else {
        return false;  // the decoder keeps 32 bits only
    }
    return true;
}

bool encodeString(const std::string& text, std::vector<uint8_t>& out) {
    uint8_t index = 0;
    if (binaryConfigKeyIndex(text, index)) {
        out.push_back(BIN_KEY_STRING);
        out.push_back(index);
        return true;
    }
    if (text.size() > 0xFF) {
        return false;
    }
    out.push_back(BIN_STRING);
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

bool encodeAt(const Json::Value& value, std::vector<uint8_t>& out, int depth) {
    switch (value.type()) {
    case Json::nullValue:
        out.push_back(BIN_NULL);
        return true;
    case Json::intValue:
        return encodeSigned(value.asInt64(), out);
    case Json::uintValue: {
        const Json::UInt64 number = value.asUInt64();
        if (number > 0xFFFFFFFFu) {
            return false;
        }
        out.push_back(BIN_UINT32);
        putLittleEndian(out, number, 4);
        return true;
    }
    case Json::realValue: {
        const double number = value.asDouble();
        uint64_t bits = 0;
        std::memcpy(&bits, &number, sizeof bits);
        out.push_back(BIN_FLOAT64);
        putLittleEndian(out, bits, 8);
        return true;
    }
    case Json::stringValue:
        return encodeString(value.asString(), out);
    case Json::booleanValue:
        out.push_back(value.asBool() ? BIN_TRUE : BIN_FALSE);
        return true;
    case Json::arrayValue:
        if (depth >= BINARY_CONFIG_MAX_DEPTH || value.size() > 0xFF) {
            return false;
        }
        out.push_back(BIN_ARRAY);
        out.push_back(static_cast<uint8_t>(value.size()));
        for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
            if (!encodeAt(value[i], out, depth + 1)) {
                return false;
            }
        }
        return true;
    case Json::objectValue: {
        if (depth >= BINARY_CONFIG_MAX_DEPTH || value.size() > 0xFF) {
            return false;
        }
        out.push_back(BIN_OBJECT);
        out.push_back(static_cast<uint8_t>(value.size()));
        for (auto it = value.begin(); it != value.end(); ++it) {
            uint8_t index = 0;
            if (!binaryConfigKeyIndex(it.name(), index)) {
                return false;
            }
            out.push_back(index);
            if (!encodeAt(*it, out, depth + 1)) {
                return false;
            }
        }
        return true;
    }
    }
    return false;
}

}  // namespace

bool encodeBinaryConfig(const Json::Value& value, std::vector<uint8_t>& out) {
    out.clear();
    if (!encodeAt(value, out, 0)) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
