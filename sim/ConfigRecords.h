#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "sim/Scenario.h"

namespace zorn {
namespace orbitane {
namespace sim {

// Encodes the scenario's binary configuration with the key dictionary. On
// failure `why` names the first member that cannot be represented.
bool encodeScenarioBinaryConfig(const Json::Value& config, std::vector<uint8_t>& out, std::string& why);

// The 264-byte legacy record for a legacy configuration: millimetres and
// degrees become q8 numbers, yaw is brought into [0, 360), at most 8
// entries per list are sent and the announced counts may be overridden.
drv::base_conf_response_t buildLegacyRecord(const LegacyConfig& legacy);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
