#pragma once

// Application protocol spoken with the base's micro-controller on top of the
// interchip frames: request codes and the payload records of the requests
// and answers. Used by the host-side driver and by the base simulator.
//
// Every record is a packed structure whose memory image is the wire image:
// multi-byte fields are little-endian and may sit at odd offsets. Records
// are copied to and from the wire byte for byte, which is only correct on a
// little-endian host; we build for little-endian hosts only, and the check
// below stops the build anywhere else instead of silently swapping fields.
//
// Fields of packed records may be misaligned: read them by value (copy into
// a local) rather than binding references or pointers to them.

#include <cstddef>
#include <cstdint>

#if !defined(__BYTE_ORDER__) || !defined(__ORDER_LITTLE_ENDIAN__) || \
    (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
#error "control-bus records are copied byte for byte and need a little-endian host"
#endif

namespace zorn {
namespace drv {

// Command byte of every control-bus request message.
constexpr uint8_t CMD_CONTROL_BUS = 0xF8;

// Request codes: first payload byte of a control-bus request.
constexpr uint8_t REQ_CONNECT = 0x10;
constexpr uint8_t REQ_GET_CONFIG = 0x20;
constexpr uint8_t REQ_GET_BINARY_CONFIG = 0x21;
// Bytes of the binary configuration a reader takes at most.
constexpr size_t BINARY_CONFIG_CAPACITY = 2048;
constexpr uint8_t REQ_GET_STATUS = 0x30;
constexpr uint8_t REQ_GET_MOTOR_DATA = 0x31;
constexpr uint8_t REQ_GET_SENSOR_DATA = 0x32;
constexpr uint8_t REQ_GET_BUMPER_DATA = 0x33;
constexpr uint8_t REQ_GET_AUTOHOME_DATA = 0x34;
constexpr uint8_t REQ_SET_MOTOR = 0x40;
constexpr uint8_t REQ_SET_VELOCITY = 0x41;
constexpr uint8_t REQ_POLL_COMMAND = 0x50;
constexpr uint8_t REQ_ANSWER_GET_INFO = 0x5F;
constexpr uint8_t REQ_SEND_EVENT = 0x60;

// Argument byte of the connect request.
constexpr uint8_t CONNECT_ARGUMENT = 0x01;

// Pending base command reported by REQ_POLL_COMMAND: the base asks for the
// host's information and expects REQ_ANSWER_GET_INFO.
constexpr uint8_t BASE_CMD_GET_INFO = 0x51;

// base_conf_response_t::base_type
constexpr uint8_t CIRCLE = 0;
// base_conf_response_t::base_motor_type
constexpr uint8_t TWO_WHEEL = 0;

// base_status_response_t::charging_flags bits.
constexpr uint8_t CHARGING_FLAG_CHARGING = 0x01;
constexpr uint8_t CHARGING_FLAG_DC_CONNECTED = 0x02;
constexpr uint8_t CHARGING_FLAG_ON_CHARGING_BASE = 0x04;

// Number of entries in each sensor list of the legacy configuration.
constexpr int BASE_MAX_SENSORS = 8;
constexpr int BASE_MAX_BUMPERS = 8;
// Number of distance values in a sensor data answer.
constexpr int BASE_SENSOR_VALUES = 16;
// Largest number of IR beacons and probes an autohome answer can describe.
constexpr int BASE_MAX_BEACONS = 8;
constexpr int BASE_MAX_PROBES = 3;

#pragma pack(push, 1)

// Identity of the base, answer of REQ_CONNECT.
struct base_connect_response_t {
    char model[12];              // NUL-padded; may fill all 12 bytes without a terminator
    uint16_t firmware_version;   // major in the high byte, minor in the low byte
    uint16_t hardware_version;   // major in the high byte, minor in the low byte
    uint32_t serial_number[3];
};

// Mounting pose of one sensor in the robot frame.
struct base_sensor_entry_t {
    int32_t x_q8;     // mm * 256
    int32_t y_q8;     // mm * 256
    int32_t z_q8;     // mm * 256; negative in the bumper list marks a cliff sensor
    uint32_t yaw_q8;  // degrees * 256
};

// Legacy configuration, answer of REQ_GET_CONFIG.
struct base_conf_response_t {
    uint8_t base_type;         // CIRCLE
    uint32_t base_radius_q8;   // mm * 256
    uint8_t base_motor_type;   // TWO_WHEEL
    uint8_t base_sensor_num;   // distance sensors described, at most 8 used
    base_sensor_entry_t sensors[BASE_MAX_SENSORS];
    uint8_t base_bumper_num;   // bumper and cliff sensors described, at most 8 used
    base_sensor_entry_t bumpers[BASE_MAX_BUMPERS];
};

// Battery and charging state, answer of REQ_GET_STATUS.
struct base_status_response_t {
    uint8_t battery_percentage;  // 0 to 100
    uint8_t charging_flags;      // CHARGING_FLAG_* bits; exactly 1 is the legacy "charging"
};

// Wheel odometry, answer of REQ_GET_MOTOR_DATA (short answers are zero-filled).
struct base_motor_status_response_t {
    int32_t left_wheel_odometry;   // mm, cumulative
    int32_t right_wheel_odometry;  // mm, cumulative
    uint8_t motor_state;
};

// Distance sensor values, answer of REQ_GET_SENSOR_DATA (short answers are zero-filled).
struct base_sensor_data_response_t {
    uint32_t sensor_value[BASE_SENSOR_VALUES];  // mm * 65536, in configuration order
};

// Bumper and cliff bits, answer of REQ_GET_BUMPER_DATA.
struct base_bumper_data_response_t {
    uint32_t bumper_bits;  // bit k: k-th bumper or cliff sensor of the configuration
};

// Docking beacons seen, answer of REQ_GET_AUTOHOME_DATA.
struct base_autohome_response_t {
    uint8_t beacon_count;                 // at most BASE_MAX_BEACONS supported
    uint8_t probe_count;                  // at most BASE_MAX_PROBES
    uint8_t probe_data[BASE_MAX_PROBES];  // one bit set over the beacons per probe
};

// Wheel speeds, argument of REQ_SET_MOTOR; all zero stops the motors.
struct base_set_motor_request_t {
    int32_t left_speed;   // mm/s
    int32_t right_speed;  // mm/s
    int32_t reserved[2];  // always 0
};

// Body velocity, argument of REQ_SET_VELOCITY; all zero stops the base.
struct base_set_velocity_request_t {
    int32_t vx_q16;     // m/s * 65536
    int32_t vy_q16;     // m/s * 65536
    int32_t omega_q16;  // rad/s * 65536
};

// Displacement since the previous answer, answer of REQ_SET_VELOCITY
// (short answers are zero-filled).
struct base_set_velocity_response_t {
    int32_t dx_q16;      // m * 65536, robot frame
    int32_t dy_q16;      // m * 65536, robot frame
    int32_t dtheta_q16;  // degrees * 65536
    uint8_t velocity_state;
};

// Host information, argument of REQ_ANSWER_GET_INFO. The first 28 bytes have
// the layout of base_connect_response_t.
struct base_get_info_answer_t {
    char model[12];
    uint16_t firmware_version;
    uint16_t hardware_version;
    uint32_t serial_number[3];
    uint8_t info_flag;
    char device_name[40];   // NUL-padded
    char host_address[20];  // dotted IPv4 text, NUL-padded
};

#pragma pack(pop)

static_assert(sizeof(base_connect_response_t) == 28, "base_connect_response_t is 28 bytes");
static_assert(sizeof(base_sensor_entry_t) == 16, "base_sensor_entry_t is 16 bytes");
static_assert(sizeof(base_conf_response_t) == 264, "base_conf_response_t is 264 bytes");
static_assert(sizeof(base_status_response_t) == 2, "base_status_response_t is 2 bytes");
static_assert(sizeof(base_motor_status_response_t) == 9, "base_motor_status_response_t is 9 bytes");
static_assert(sizeof(base_sensor_data_response_t) == 64, "base_sensor_data_response_t is 64 bytes");
static_assert(sizeof(base_bumper_data_response_t) == 4, "base_bumper_data_response_t is 4 bytes");
static_assert(sizeof(base_autohome_response_t) == 5, "base_autohome_response_t is 5 bytes");
static_assert(sizeof(base_set_motor_request_t) == 16, "base_set_motor_request_t is 16 bytes");
static_assert(sizeof(base_set_velocity_request_t) == 12, "base_set_velocity_request_t is 12 bytes");
static_assert(sizeof(base_set_velocity_response_t) == 13, "base_set_velocity_response_t is 13 bytes");
static_assert(sizeof(base_get_info_answer_t) == 89, "base_get_info_answer_t is 89 bytes");

// Offsets that the base relies on (fields at odd offsets inside packed records).
static_assert(offsetof(base_conf_response_t, base_radius_q8) == 1, "radius at offset 1");
static_assert(offsetof(base_conf_response_t, sensors) == 7, "sensors at offset 7");
static_assert(offsetof(base_conf_response_t, base_bumper_num) == 135, "bumper count at offset 135");
static_assert(offsetof(base_conf_response_t, bumpers) == 136, "bumpers at offset 136");
static_assert(offsetof(base_get_info_answer_t, info_flag) == 28, "info flag at offset 28");
static_assert(offsetof(base_get_info_answer_t, device_name) == 29, "device name at offset 29");
static_assert(offsetof(base_get_info_answer_t, host_address) == 69, "host address at offset 69");

}  // namespace drv
}  // namespace zorn
