#include "config/BuiltinConfig.h"

namespace nivo {
namespace system {
namespace config {

const char* const REFERENCE_CONFIG = R"json({
    "type": "tessel",
    "base": {
        "robot_line_speed": 0.3,
        "encoder_ticks_per_meter": 6450
    },
    "lidar": {
        "type": "vexscan",
        "aperture": "360 deg"
    },
    "motion_plan": {
        "distance_threshold": 0.31,
        "straight_forward_safe_distance_factor": 0.6
    }
}
)json";

// "high_battery_percentage_for_charging" is the base's own name for the
// entry the schema calls "high_battery_percentage_for_resume"; the reader
// takes the base's when the merged configuration has it.
const char* const WHITE_LIST = R"json({
    "base": {
        "manufacture_id": "accept",
        "manufacture_name": "accept",
        "model_id": "accept",
        "model_name": "accept",
        "hardware_version": "accept",
        "robot_size": "accept",
        "low_battery_percentage_for_charging": "accept",
        "high_battery_percentage_for_charging": "accept",
        "low_battery_auto_homing": "accept",
        "sensors": "combine"
    },
    "lidar": {
        "installation_pose": "accept"
    },
    "features": "accept",
    "motion_plan": {
        "side_margin": "accept",
        "bump_handle_strategy": "accept"
    }
}
)json";

}  // namespace config
}  // namespace system
}  // namespace nivo
