#pragma once

// Turning the base's self-description into the robot's system configuration,
// and the commands that print it or use its sensor list.
#include <cstdint>

#include <json/json.h>

#include "app/CommandResult.h"
#include "config/SystemConfig.h"

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

// The configuration of the connected base, fetched once per connection: a
// base does not change its configuration while it is connected, and on a
// serial line the binary configuration costs tens of milliseconds of wire
// time. Only a successful fetch is kept.
struct ConnectionConfig {
    bool loaded = false;
    bool legacy = false;
    nivo::system::config::SystemConfig config;
};

// fetchSystemConfig through the connection's cache (none when null).
CommandResult connectionSystemConfig(ConnectionConfig* cache, nivo::system::config::SystemConfig& out,
                               drv::QuindleBaseDrv& driver, bool& legacy);

// The command bodies. The sensor and bumper readings label their values
// with the connection's configuration.
CommandResult configCommand(drv::QuindleBaseDrv& driver);
CommandResult sensorCommand(drv::QuindleBaseDrv& driver, ConnectionConfig* cache = nullptr);
// `activeLow`: a clear bit is a triggered sensor (the JSON's "triggered";
// the listing always marks a clear bit with X).
CommandResult bumperCommand(drv::QuindleBaseDrv& driver, ConnectionConfig* cache = nullptr, bool activeLow = false);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
