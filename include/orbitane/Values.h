#pragma once

// What the base reports, as values. Each type is one reading of the
// console, and its members are named after the members of that reading's
// JSON object (docs/scripting.md), with one rule for units: where the JSON
// gives a length in millimetres or an angle in degrees, the value here is
// in SI units and its name carries the SI unit instead:
//
//   JSON            here            JSON value from this one (orbitane/Units.h)
//   ..._mm          ..._m    metres    jsonMillimetres(v), or jsonPoseMillimetres(v) in a pose
//   ..._deg         ..._rad  radians   jsonDegrees(v), or jsonPoseDegrees(v) in a pose
//
// Everything else (counts, bits, percent, texts, flags) is named and
// valued as in the JSON. The odometers are whole millimetres on the wire,
// so their metres times 1000 are whole numbers again.

#include <cstdint>
#include <string>
#include <vector>

namespace orbitane {

// The base's identity, read once when the link opens (the connect request).
struct Identity {
    std::string model;             // up to 12 characters, "ORB-BASE"
    std::string firmware_version;  // "1.2"
    std::string hardware_version;  // "3.0"
    std::string serial_number;     // 24 upper-case hex digits
    std::string channel;           // "tcp:127.0.0.1:11331", "serial:/dev/ttyUSB0"
};

// The status reading: battery and charging.
struct Status {
    int battery_percent = 0;  // 0..100
    // "cable", "dock", "none", or "legacy" for a base that only says "charging".
    std::string charging;
    bool cable_connected = false;
    bool on_dock = false;
    int charging_flags = 0;     // the raw bits: 1 charging, 2 cable, 4 dock
    std::string charging_text;  // "Charging from cable", the words of the console's line
};

// The motor reading: the wheels' cumulative odometers.
struct Motor {
    double left_odometer_m = 0;   // metres (whole millimetres on the wire)
    double right_odometer_m = 0;  // metres
    int motor_state = 0;          // passed on as the base sent it
};

// Where a sensor sits on the robot, from the configuration: metres and
// radians in the robot's frame (x forward, y left, z up, yaw
// anticlockwise).
struct MountPose {
    double x_m = 0, y_m = 0, z_m = 0;
    double yaw_rad = 0;
};

// One distance sensor (sonar) of the configuration and its reading.
struct DistanceSensor {
    int index = 0;       // the sensor's id in the configuration
    std::string label;   // "Sonar #0"
    double distance_m = 0;  // metres; 0: no reading
};

// The sensor reading: every configured distance sensor, in configuration
// order (at most 16: the answer carries no more).
struct SensorReading {
    std::vector<DistanceSensor> sensors;
};

// One bumper or cliff sensor of the configuration and its bit.
struct Bumper {
    int index = 0;        // the sensor's place in the configuration's list
    std::string kind;     // "bumper" or "cliff"
    std::string label;    // "Bumper #3"
    bool triggered = false;  // the bit, inverted when read active-low
    int bit = 0;          // the bit as the base sent it
    MountPose pose;
};

// The bumper reading.
struct BumperReading {
    std::vector<Bumper> sensors;
    uint32_t bumper_bits = 0;  // raw: bit k is the k-th bumper or cliff sensor
};

// One infrared probe of the docking beacons.
struct Probe {
    int index = 0;
    int bits = 0;                   // a bit per beacon
    std::vector<int> beacons_seen;  // the beacon numbers whose bit is set
};

// The beacon reading.
struct BeaconReading {
    static constexpr int WHOLE_ANSWER_BYTES = 5;
    static constexpr int MAX_PROBES = 3;  // the probes a whole answer holds
    int beacon_count = 0;
    int probe_count = 0;
    std::vector<Probe> probes;
    // The size of the base's answer: 5 for a whole one. An unchecked
    // reading of a shorter one reads the bytes it lacks as zero.
    int answer_bytes = 5;
};

// The base's own short record (the legacy configuration request), its
// fields as the base sent them, for a program that checks the base itself.
struct ShortRecord {
    static constexpr int CIRCLE = 0;     // base_type of a round base
    static constexpr int TWO_WHEEL = 0;  // motor_type of two driven wheels
    int base_type = 0;
    int motor_type = 0;
    int radius_q8 = 0;     // the radius in mm times 256 (24.8 fixed point), as a signed word
    int sensor_count = 0;  // distance sensors the base describes (the record holds 8)
    int bumper_count = 0;  // bumper and cliff sensors it describes (the record holds 8)
};

// One sensor of the configuration.
struct ConfigSensor {
    int id = 0;
    std::string kind;   // "sonar", "bumper", "cliff", "depth_camera"
    std::string label;  // "Sonar #0"
    MountPose pose;
    double max_distance_m = 0;  // a sonar's range, metres; 0: none given
};

// The configuration, as the console's config command reads it: the binary
// configuration merged with the reference under the white list or, from a
// base that does not support it, the legacy record.
struct Config {
    bool legacy = false;  // the legacy record was used
    std::string manufacture_name;
    int manufacture_id = 0;
    std::string model_name;
    int model_id = 0;
    int hardware_version = 0;
    double robot_diameter_m = 0;  // metres
    std::vector<ConfigSensor> sensors;
    // The speeds the robot's software drives at, m/s (0: none given):
    // robot_line_speed caps them all.
    double robot_line_speed = 0;
    double low_moving_speed = 0, medium_moving_speed = 0, high_moving_speed = 0;
    // From a binary configuration only; a legacy record leaves them as
    // they are here (the JSON leaves them out).
    MountPose lidar_pose;
    double side_margin_m = 0;   // metres
    std::string bumper_policy;  // "stop" or "default"
    bool has_ir_tower = false;
    bool auto_home_on_low_battery = false;
    double battery_percent_to_go_home = 0;  // percent
    double battery_percent_to_resume = 0;   // percent
    std::string decoded;  // the configuration as the base sent it, as JSON text
};

// What the host sent back to a base that asked for its identity.
struct HostInfo {
    std::string model;
    std::string device_name;
    std::string host_address;
};

// The poll reading.
struct PollReading {
    int pending_command = 0;  // the code the base reported
    bool get_info_requested = false;
    // Set when the base asked for the host's identity and it was sent.
    bool answered = false;
    HostInfo answered_get_info;
};

// How far the base moved since the previous velocity answer, in its own
// frame (a velocity request's answer).
struct Displacement {
    double dx_m = 0, dy_m = 0;  // metres
    double dheading_rad = 0;    // radians
    int velocity_state = 0;     // passed on as the base sent it
};

// What came of a motion scope's stop (docs/safety.md).
struct StopOutcome {
    bool sent = false;       // a stop request was sent
    bool confirmed = false;  // the base answered it
    int attempts = 0;        // stop requests sent (at most 3)
    int32_t result = 0;      // 0 when confirmed, else the last attempt's result code
    std::string kind;        // empty when confirmed, else the last attempt's failure kind
    // The last attempt's failure, when not confirmed: its cause (a word of
    // RequestFailure::cause, orbitane/Error.h), whether it reached the
    // line, and the base's error code of a refused stop (-1: none).
    std::string cause;
    bool written = false;
    int base_error = -1;
};

// The link's accounting since it was opened: every byte and frame read,
// and what became of every request.
struct LinkCounts {
    uint64_t bytes_in = 0;
    uint64_t good_frames = 0;     // frames whose checksum matched
    uint64_t requests = 0;        // written
    uint64_t answers = 0;         // taken as their request's answer
    uint64_t timeouts = 0;        // requests that ended without an answer in time
    uint64_t late_answers = 0;    // dropped as owed to a request that had ended
    uint64_t unasked = 0;         // dropped: nothing awaited or owed them
    uint64_t lost_answers = 0;    // owed answers that never came
    uint64_t corrupted = 0;       // frames the checksum rejected
    uint64_t messages = 0;        // frames that were not answers
    uint64_t skipped_bytes = 0;   // bytes outside any frame
    uint64_t abandoned_starts = 0;  // frame starts given up when the line fell quiet
    uint64_t line_errors = 0;     // reads a line error spoiled
};

}  // namespace orbitane
