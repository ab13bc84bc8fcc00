#pragma once

// A JSON object taken apart into its values: every value that is not an
// object or an array, with its path (member names and array indexes joined
// by dots: "sensors.0.distance_mm"). The CSV rows name their columns so, and
// the decoded trace the keys of the binary configuration.

#include <json/json.h>

#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

struct JsonLeaf {
    std::string path;
    Json::Value value;  // a number, text, true/false, null, or an empty array or object
};

// The leaves of `value` in the order of its members (jsoncpp keeps them by
// name) and of its arrays.
std::vector<JsonLeaf> jsonLeaves(const Json::Value& value);

// A leaf as text: a number as the JSON Lines write it (at most six
// decimals, no trailing zeros), true or false, a text as it is, "" for null
// and "[]" or "{}" for an empty array or object.
std::string leafText(const Json::Value& value);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
