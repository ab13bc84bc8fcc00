#pragma once

// The driver's values and the configuration as the public readings: the
// same members and labels as the console's JSON objects (console/
// ReadCommands.cpp, console/ConfigCommands.cpp, console/PollCommands.cpp),
// in SI units.

#include <string>

#include "config/SystemConfig.h"
#include "drv/BaseValues.h"
#include "drv/ControlBus.h"
#include "lib/SystemConfigFetch.h"
#include "orbitane/Values.h"

namespace orbitane {
namespace detail {

Identity identityOf(const zorn::drv::Identity& identity, const std::string& channel);
Status statusOf(const zorn::drv::Status& status);
Motor motorOf(const zorn::drv::Odometry& odometry);
SensorReading sensorOf(const nivo::system::config::SystemConfig& config, const zorn::drv::Distances& distances);
BumperReading bumperOf(const nivo::system::config::SystemConfig& config, const zorn::drv::Bumpers& bumpers,
                       bool activeLow);
// When `checked`, throws Error (invalid_answer) for an answer of the wrong
// size or with more probes than the answer holds.
BeaconReading beaconOf(const zorn::drv::Beacons& beacons, bool checked);
Config configOf(const FetchedConfig& fetched);
Displacement displacementOf(const zorn::drv::Displacement& moved);

HostInfo hostInfoOf(const zorn::drv::base_get_info_answer_t& answer);

}  // namespace detail
}  // namespace orbitane
