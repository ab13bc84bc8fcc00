#pragma once

// Turning the base's self-description into the robot's system configuration,
// and the commands that print it or use its sensor list.
#include <cstdint>

#include <json/json.h>

#include "app/CommandResult.h"
#include "config/SystemConfig.h"
#include "console/ApiClient.h"

namespace zorn {
namespace drv {
class QuindleBaseDrv;
}

namespace orbitane {
namespace test {

// Bytes of the base's binary configuration read at most.
constexpr uint32_t BINARY_CONFIG_CAPACITY = 2048;

// Reads the binary configuration, merges it with the reference configuration
// under the white list and reads the result into `out`. With `printJson` the
// decoded configuration is logged; with `decoded` it is also copied there.
// Returns 0, or why not.
CommandResult loadBinaryConfig(nivo::system::config::SystemConfig& out, drv::QuindleBaseDrv& driver, bool printJson,
                         Json::Value* decoded = nullptr);

// Converts the legacy 264-byte configuration record: robot size and at most
// eight bumper/cliff entries followed by at most eight distance sensors.
// Everything else in `out` keeps the value it had (for a fresh SystemConfig:
// empty names, zero ids and hardware version, zero beam angle and limits).
CommandResult loadLegacyConfig(nivo::system::config::SystemConfig& out, drv::QuindleBaseDrv& driver);

// loadBinaryConfig, falling back to loadLegacyConfig when (and only when) the
// base does not support the binary request. `legacy` tells which path gave
// the configuration.
CommandResult fetchSystemConfig(nivo::system::config::SystemConfig& out, drv::QuindleBaseDrv& driver, bool printJson,
                          bool& legacy, Json::Value* decoded = nullptr);

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
