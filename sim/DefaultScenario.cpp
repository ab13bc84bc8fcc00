#include "sim/Scenario.h"

namespace zorn {
namespace orbitane {
namespace sim {

// Kept identical to sim/scenarios/default.json (a test compares them).
const char* defaultScenarioText() {
    return R"json({
  "identity": {
    "model": "ORB-BASE",
    "firmware_version": "1.2",
    "hardware_version": "3.0",
    "serial_number": [1330791017, 1413566021, 1]
  },
  "status": { "battery_percentage": 80, "charging_flags": 3 },
  "motor_state": 0,
  "velocity_state": 0,
  "sonar_mm": [350.5, 1200.0, 800.25],
  "bumper_bits": 0,
  "beacons": { "beacon_count": 2, "probes": [1, 3] },
  "pending_command": 0,
  "legacy_base": false,
  "binary_config": {
    "base": {
      "manufacture_id": 4660,
      "manufacture_name": "Orbitane",
      "model_id": 258,
      "model_name": "ORB-BASE",
      "hardware_version": 3,
      "robot_size": 0.34,
      "low_battery_percentage_for_charging": 0.2,
      "high_battery_percentage_for_charging": 0.9,
      "low_battery_auto_homing": true,
      "sensors": [
        { "id": 0, "type": "sonar", "installation_pose": { "x": 0.16, "y": 0.0, "z": 0.05, "yaw": 0.0 } },
        { "id": 1, "type": "sonar", "installation_pose": { "x": 0.113, "y": 0.113, "z": 0.05, "yaw": 0.7853982 } },
        { "id": 2, "type": "sonar", "installation_pose": { "x": 0.113, "y": -0.113, "z": 0.05, "yaw": -0.7853982 } },
        { "id": 3, "type": "bumper", "installation_pose": { "x": 0.147, "y": 0.085, "z": 0.03, "yaw": 0.5235988 } },
        { "id": 4, "type": "bumper", "installation_pose": { "x": 0.147, "y": -0.085, "z": 0.03, "yaw": -0.5235988 } },
        { "id": 5, "type": "cliff", "installation_pose": { "x": 0.14, "y": 0.05, "z": -0.01, "yaw": 0.0 } },
        { "id": 6, "type": "cliff", "installation_pose": { "x": 0.14, "y": -0.05, "z": -0.01, "yaw": 0.0 } }
      ]
    },
    "lidar": { "installation_pose": { "x": 0.0, "y": 0.0, "z": 0.2, "yaw": 0.0 } },
    "motion_plan": { "side_margin": 0.05, "bump_handle_strategy": "stop" },
    "features": { "has_ir_docking_tower": true }
  },
  "faults": [],
  "close_after": -1,
  "stop_on_disconnect": false
}
)json";
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
