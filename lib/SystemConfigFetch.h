#pragma once

// Reading the robot's system configuration from the base, as the console's
// config command shows it: the binary
// configuration merged with the reference under the white list, or, from a
// base that does not support the binary request, the legacy record.

#include <json/json.h>

#include "config/SystemConfig.h"
#include "drv/QuindleBaseDrv.h"

namespace orbitane {
namespace detail {

struct FetchedConfig {
    nivo::system::config::SystemConfig config;
    bool legacy = false;   // the legacy record was used
    Json::Value decoded;   // the binary configuration as the base sent it (null for legacy)
};

// Throws Error: the request's failure, or invalid_answer for a
// configuration that cannot be read. Says in the log why it falls back or
// fails; with `showDecoded`, also the binary configuration as decoded.
FetchedConfig fetchSystemConfig(zorn::drv::QuindleBaseDrv& driver, bool showDecoded = false);

}  // namespace detail
}  // namespace orbitane
