#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

namespace zorn {
namespace orbitane {
namespace sim {

// Name of a control-bus request code as the driver calls the operation
// ("getStatus"), or nullptr for a code the base does not know.
const char* requestName(uint8_t code);

// Reads a request selector of a scenario: a number, a "0x.." text, an
// operation name such as "getStatus", or "*" for every request (-1).
bool parseRequestSelector(const Json::Value& value, int& code);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
