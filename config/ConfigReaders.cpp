#include "config/ConfigReaders.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "config/Units.h"
#include "log/Log.h"

namespace nivo {
namespace system {
namespace config {

using util::LOG_SOURCE_CONFIG;
using util::logWarn;

const char* const MSG_NOT_AN_OBJECT = "Failed to parse child `%s': config node is not a JSON object";
const char* const MSG_CHILD_NOT_FOUND = "Child `%s' not found";
const char* const MSG_NOT_A_NUMBER = "Failed to parse numberic value: config node is not a number";
const char* const MSG_BAD_UNITS = "Failed to parse numberic value: string cannot be parsed with uom subsystem";
const char* const MSG_NOT_A_STRING = "Failed to parse string value: config node is not a string";
const char* const MSG_NOT_A_BOOL = "Failed to parse boolean value: config node is not a bool";
const char* const MSG_NOT_AN_ARRAY = "Failed to parse array: config node is not a JSON array";
const char* const MSG_UNKNOWN_NAME = "Failed to parse enumeration value: `%s' is not a known name";

namespace {

// A JSON number (or boolean) as a double, for the float and double readers.
// False for other kinds and for values that are not finite.
bool numberAsDouble(const Json::Value& node, double& out) {
    switch (node.type()) {
    case Json::intValue:
        out = static_cast<double>(node.asInt64());
        return true;
    case Json::uintValue:
        out = static_cast<double>(node.asUInt64());
        return true;
    case Json::realValue:
        out = node.asDouble();
        return std::isfinite(out);
    case Json::booleanValue:
        out = node.asBool() ? 1.0 : 0.0;
        return true;
    default:
        return false;
    }
}

}  // namespace

std::string styledJson(const Json::Value& node) {
    Json::StyledWriter writer;
    return writer.write(node);
}

bool reportConfigError(const std::string& message, const Json::Value& node) {
    logWarn(LOG_SOURCE_CONFIG, "%s", message.c_str());
    logWarn(LOG_SOURCE_CONFIG, "Config content: %s", styledJson(node).c_str());
    return false;
}

bool reportConfigError(const std::string& message, const std::string& name, const Json::Value& node) {
    std::string text = message;
    const size_t placeholder = text.find("%s");
    if (placeholder != std::string::npos) {
        text.replace(placeholder, 2, name);
    }
    return reportConfigError(text, node);
}

namespace detail {

bool checkParent(const Json::Value& parent, const char* name) {
    if (parent.isNull() || parent.isObject()) {
        return true;
    }
    return reportConfigError(MSG_NOT_AN_OBJECT, name, parent);
}

const Json::Value& childOf(const Json::Value& parent, const char* name) {
    if (parent.isObject()) {
        const Json::Value* child = parent.find(name, name + std::strlen(name));
        if (child != nullptr) {
            return *child;
        }
    }
    return Json::Value::nullSingleton();
}

}  // namespace detail

bool readInt(const Json::Value& node, int32_t& out) {
    // Ranges are checked here: the JSON library's own conversions throw (or
    // abort) on a value that does not fit 32 bits.
    switch (node.type()) {
    case Json::intValue: {
        const Json::Int64 value = node.asInt64();
        if (value < INT32_MIN || value > INT32_MAX) {
            return reportConfigError(MSG_NOT_A_NUMBER, node);
        }
        out = static_cast<int32_t>(value);
        return true;
    }
    case Json::uintValue: {
        const Json::UInt64 value = node.asUInt64();
        if (value > static_cast<Json::UInt64>(INT32_MAX)) {
            return reportConfigError(MSG_NOT_A_NUMBER, node);
        }
        out = static_cast<int32_t>(value);
        return true;
    }
    case Json::realValue: {
        const double value = node.asDouble();
        // Truncation toward zero must land in range; NaN fails both tests.
        if (!(value > -2147483649.0 && value < 2147483648.0)) {
            return reportConfigError(MSG_NOT_A_NUMBER, node);
        }
        out = static_cast<int32_t>(value);
        return true;
    }
    case Json::booleanValue:
        out = node.asBool() ? 1 : 0;
        return true;
    case Json::stringValue:
        if (!parseIntWithUnits(node.asString(), out)) {
            return reportConfigError(MSG_BAD_UNITS, node);
        }
        return true;
    default:
        return reportConfigError(MSG_NOT_A_NUMBER, node);
    }
}

bool readDouble(const Json::Value& node, double& out) {
    if (node.isString()) {
        if (!parseDoubleWithUnits(node.asString(), out)) {
            return reportConfigError(MSG_BAD_UNITS, node);
        }
        return true;
    }
    double value = 0.0;
    if (!numberAsDouble(node, value)) {
        return reportConfigError(MSG_NOT_A_NUMBER, node);
    }
    out = value;
    return true;
}

bool readFloat(const Json::Value& node, float& out) {
    if (node.isString()) {
        if (!parseFloatWithUnits(node.asString(), out)) {
            return reportConfigError(MSG_BAD_UNITS, node);
        }
        return true;
    }
    double value = 0.0;
    if (!numberAsDouble(node, value) || std::fabs(value) > static_cast<double>(FLT_MAX)) {
        return reportConfigError(MSG_NOT_A_NUMBER, node);
    }
    out = static_cast<float>(value);
    return true;
}

bool readString(const Json::Value& node, std::string& out) {
    if (!node.isString()) {
        return reportConfigError(MSG_NOT_A_STRING, node);
    }
    out = node.asString();
    return true;
}

bool readBool(const Json::Value& node, bool& out) {
    if (!node.isBool()) {
        return reportConfigError(MSG_NOT_A_BOOL, node);
    }
    out = node.asBool();
    return true;
}

bool readJson(const Json::Value& node, Json::Value& out) {
    out = node;
    return true;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
