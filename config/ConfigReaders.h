#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nivo {
namespace system {
namespace config {

// Texts of the configuration error report; "%s" stands for a member name.
extern const char* const MSG_NOT_AN_OBJECT;      // "Failed to parse child `%s': ..."
extern const char* const MSG_CHILD_NOT_FOUND;    // "Child `%s' not found"
extern const char* const MSG_NOT_A_NUMBER;
extern const char* const MSG_BAD_UNITS;
extern const char* const MSG_NOT_A_STRING;
extern const char* const MSG_NOT_A_BOOL;
extern const char* const MSG_NOT_AN_ARRAY;
extern const char* const MSG_UNKNOWN_NAME;      // an enumeration text that names nothing

// The JSON library's styled rendering of a node (indentation 3, right margin
// 74, ending with a line feed).
std::string styledJson(const Json::Value& node);

// The single error report of the configuration readers: logs `message` at
// warning level (its "%s", if any, replaced by `name`), then the node as
// "Config content: %s". Always returns false.
bool reportConfigError(const std::string& message, const Json::Value& node);
bool reportConfigError(const std::string& message, const std::string& name, const Json::Value& node);

// Value readers: true when `out` was set, false after a report. None of them
// throws, whatever the node holds.
bool readInt(const Json::Value& node, int32_t& out);
bool readFloat(const Json::Value& node, float& out);
bool readDouble(const Json::Value& node, double& out);
bool readString(const Json::Value& node, std::string& out);
bool readBool(const Json::Value& node, bool& out);
bool readJson(const Json::Value& node, Json::Value& out);

// Reads every element of an array with `reader` and appends the ones read;
// null appends nothing. Stops at the first element that fails.
template <typename T, typename Reader>
bool readList(const Json::Value& node, std::vector<T>& out, Reader reader) {
    if (node.isNull()) {
        return true;
    }
    if (!node.isArray()) {
        return reportConfigError(MSG_NOT_AN_ARRAY, node);
    }
    for (Json::ArrayIndex i = 0; i < node.size(); ++i) {
        T element{};
        if (!reader(node[i], element)) {
            return false;
        }
        out.push_back(std::move(element));
    }
    return true;
}

// One name of an enumeration and its value.
template <typename E>
struct EnumName {
    const char* name;
    E value;
};

// Reads an enumeration written as one of `names` (exact, case-sensitive).
template <typename E, size_t N>
bool readEnum(const Json::Value& node, E& out, const EnumName<E> (&names)[N]) {
    std::string text;
    if (!readString(node, text)) {
        return false;
    }
    for (const EnumName<E>& entry : names) {
        if (text == entry.name) {
            out = entry.value;
            return true;
        }
    }
    return reportConfigError(MSG_UNKNOWN_NAME, text, node);
}

// Overloads that pick the value reader by the field's type.
inline bool readValue(const Json::Value& node, int32_t& out) { return readInt(node, out); }
inline bool readValue(const Json::Value& node, float& out) { return readFloat(node, out); }
inline bool readValue(const Json::Value& node, double& out) { return readDouble(node, out); }
inline bool readValue(const Json::Value& node, std::string& out) { return readString(node, out); }
inline bool readValue(const Json::Value& node, bool& out) { return readBool(node, out); }
inline bool readValue(const Json::Value& node, Json::Value& out) { return readJson(node, out); }
template <typename T>
bool readValue(const Json::Value& node, std::vector<T>& out) {
    return readList(node, out, [](const Json::Value& element, T& value) { return readValue(element, value); });
}

namespace detail {

// Checks that `parent` can hold members (an object, or null read as an empty
// object); reports the not-an-object message naming `name` otherwise.
bool checkParent(const Json::Value& parent, const char* name);

// The member `name` of an object or null parent, without adding it; a null
// node when absent. A member holding null reads exactly like an absent one.
const Json::Value& childOf(const Json::Value& parent, const char* name);

template <typename T>
struct Same {
    using type = T;
};

}  // namespace detail

// Required member: an absent (or null) member is handed to the reader as null;
// when that fails too, "Child `name' not found" follows the reader's report.
template <typename T, typename Reader>
bool readChild(const Json::Value& parent, const char* name, T& out, Reader reader) {
    if (!detail::checkParent(parent, name)) {
        return false;
    }
    const Json::Value& child = detail::childOf(parent, name);
    if (!child.isNull()) {
        return reader(child, out);
    }
    if (reader(child, out)) {
        return true;
    }
    return reportConfigError(MSG_CHILD_NOT_FOUND, name, parent);
}

template <typename T>
bool readChild(const Json::Value& parent, const char* name, T& out) {
    return readChild(parent, name, out, [](const Json::Value& node, T& value) { return readValue(node, value); });
}

// Member with a default: an absent (or null) member takes `fallback` without a
// message; a present one must be read by `reader`.
template <typename T, typename Reader>
bool readChildOr(const Json::Value& parent, const char* name, T& out, const typename detail::Same<T>::type& fallback,
                 Reader reader) {
    if (!detail::checkParent(parent, name)) {
        return false;
    }
    const Json::Value& child = detail::childOf(parent, name);
    if (child.isNull()) {
        out = fallback;
        return true;
    }
    return reader(child, out);
}

template <typename T>
bool readChildOr(const Json::Value& parent, const char* name, T& out, const typename detail::Same<T>::type& fallback) {
    return readChildOr(parent, name, out, fallback,
                       [](const Json::Value& node, T& value) { return readValue(node, value); });
}

}  // namespace config
}  // namespace system
}  // namespace nivo
