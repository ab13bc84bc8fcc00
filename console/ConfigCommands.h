#pragma once

// The commands that print the robot's system configuration or use its
// sensor list.
#include <cstdint>

#include <json/json.h>

#include "app/CommandResult.h"
#include "config/SystemConfig.h"
#include "console/ApiClient.h"

namespace zorn {
namespace orbitane {
namespace test {

// The command bodies, on the library's Base. The sensor and bumper readings
// label their values with the connection's configuration, which the Base
// reads once per link.
CommandResult configCommand(api::Base& base);
CommandResult sensorCommand(api::Base& base);
// `activeLow`: a clear bit is a triggered sensor (the JSON's "triggered";
// the listing always marks a clear bit with X).
CommandResult bumperCommand(api::Base& base, bool activeLow = false);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
