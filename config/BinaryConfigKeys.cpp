#include "config/BinaryConfig.h"

namespace nivo {
namespace system {
namespace config {

const char* const binaryConfigKeys[BINARY_CONFIG_KEY_COUNT] = {
    "base",                                  // 0
    "manufacture_id",                        // 1
    "manufacture_name",                      // 2
    "model_id",                              // 3
    "model_name",                            // 4
    "hardware_version",                      // 5
    "robot_size",                            // 6
    "low_battery_percentage_for_charging",   // 7
    "high_battery_percentage_for_charging",  // 8
    "low_battery_auto_homing",               // 9
    "sensors",                               // 10
    "type",                                  // 11
    "bumper",                                // 12
    "installation_pose",                     // 13
    "x",                                     // 14
    "y",                                     // 15
    "z",                                     // 16
    "yaw",                                   // 17
    "roll",                                  // 18
    "pitch",                                 // 19
    "cliff",                                 // 20
    "sonar",                                 // 21
    "features",                              // 22
    "has_ir_docking_tower",                  // 23
    "lidar",                                 // 24
    "id",                                    // 25
    "motion_plan",                           // 26
    "bump_handle_strategy",                  // 27
    "default",                               // 28
    "stop",                                  // 29
    "side_margin",                           // 30
    "docking",                               // 31
    "dock_supported",                        // 32
    "backward_docking",                      // 33
    "docking_method",                        // 34
    "landing_offset",                        // 35
    "laserpattern",                          // 36
    "irtower_2p",                            // 37
};

bool binaryConfigKeyIndex(const std::string& key, uint8_t& index) {
    for (size_t i = 0; i < BINARY_CONFIG_KEY_COUNT; ++i) {
        if (key == binaryConfigKeys[i]) {
            index = static_cast<uint8_t>(i);
            return true;
        }
    }
    return false;
}

}  // namespace config
}  // namespace system
}  // namespace nivo
