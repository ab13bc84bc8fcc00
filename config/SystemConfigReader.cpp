#include "config/ConfigReaders.h"
#include "config/SystemConfig.h"
#include "log/Log.h"

namespace nivo {
namespace system {
namespace config {

bool readSystemConfig(const Json::Value& node, SystemConfig& out) {
    const bool ok = readChild(node, "type", out.type, readBaseType) &&
                    readChild(node, "log", out.log, readLogConfig) && readChild(node, "imu", out.imu) &&
                    readChild(node, "base", out.base, readBaseConfig) &&
                    readChild(node, "mapping", out.mapping, readMappingConfig) &&
                    readChild(node, "lidar", out.lidar, readLidarConfig) &&
                    readChild(node, "motion_plan", out.motion_plan, readMotionPlanConfig) &&
                    readChild(node, "sweep", out.sweep, readSweepConfig) &&
                    readChild(node, "simulator", out.simulator, readSimulatorConfig) &&
                    readChild(node, "docking", out.docking, readDockingConfig) &&
                    readChild(node, "features", out.features, readFeaturesConfig) &&
                    readChild(node, "debug", out.debug, readDebugConfig) &&
                    readChild(node, "landmark", out.landmark, readLandmarkConfig) &&
                    readChild(node, "map_load", out.map_load, readMapLoadConfig);
    if (!ok) {
        return false;
    }
    // The old name of map_load is not read any more; say so.
    if (!detail::childOf(node, "mapload").isNull()) {
        util::logWarn(util::LOG_SOURCE_CONFIG, "mapload found, this config entry has been renamed to map_load");
    }
    return true;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
