#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "config/SystemConfig.h"
#include "tests/support/JsonText.h"
#include "tests/support/LogCapture.h"

using namespace nivo::system::config;
using namespace nivo::system::util;
using tests::support::LogCapture;
using tests::support::parseJson;

namespace {

// A member as a JSON value, so that every member compares the same way;
// poses and rectangles as objects of their numbers.
template <typename T>
Json::Value asJson(const T& value) {
    if constexpr (std::is_enum<T>::value) {
        return static_cast<int>(value);
    } else {
        return value;
    }
}
Json::Value asJson(const std::vector<std::string>& values) {
    Json::Value list(Json::arrayValue);
    for (const std::string& value : values) {
        list.append(value);
    }
    return list;
}
Json::Value asJson(const Pose& p) {
    Json::Value out;
    out["x"] = p.x, out["y"] = p.y, out["z"] = p.z, out["yaw"] = p.yaw, out["pitch"] = p.pitch, out["roll"] = p.roll;
    return out;
}
Json::Value asJson(const Rect& r) {
    Json::Value out;
    out["x"] = r.x, out["y"] = r.y, out["width"] = r.width, out["height"] = r.height;
    return out;
}

bool isNumber(const Json::Value& value) {
    return value.isDouble() || value.type() == Json::intValue || value.type() == Json::uintValue;
}

// Numbers are stored as floats or doubles: equal to within a part in a million.
bool same(const Json::Value& want, const Json::Value& got) {
    if (isNumber(want) && isNumber(got)) {
        return std::fabs(want.asDouble() - got.asDouble()) <= 1e-6 * std::max(1.0, std::fabs(want.asDouble()));
    }
    if (want.isObject() && got.isObject() && want.size() == got.size()) {
        for (const std::string& name : want.getMemberNames()) {
            if (!same(want[name], got[name])) {
                return false;
            }
        }
        return true;
    }
    return want == got;
}

// One member of the configuration: where it sits in the JSON document, how to
// get it from the result, what it reads as when absent (REQUIRED: it has no
// default), a value other than the default (with its units where it takes
// them) and what that reads as (null: the given value itself).
struct Member {
    const char* path;
    Json::Value (*get)(const SystemConfig&);
    Json::Value absent;
    Json::Value given;
    Json::Value read = Json::Value();
};

const Json::Value REQUIRED = "(required)";
const Json::Value ZERO_POSE = asJson(Pose());

#define AT(jsonPath, member) jsonPath, [](const SystemConfig& c) { return asJson(c.member); }
#define MEMBER(member) AT(#member, member)

// Every member of the configuration. A sensor and a log file are lists: their
// members are given in the first element, which exists only with its
// required members.
const Member MEMBERS[] = {
    {MEMBER(type), REQUIRED, "ardo", asJson(BaseType::Ardo)},
    {MEMBER(imu), Json::nullValue, parseJson(R"({"rate": 200})")},
    {MEMBER(log.global.logLevel), LOG_INFO, "debug", LOG_DEBUG},
    {MEMBER(log.global.excludeLogSources), Json::arrayValue, parseJson(R"(["zorn.net"])")},
    {MEMBER(log.console.logLevel), LOG_INFO, "error", LOG_ERROR},
    {MEMBER(log.console.excludeLogSources), Json::arrayValue, parseJson(R"(["a", "b"])")},
    {MEMBER(log.files[0].filename), REQUIRED, "orbitane.log"},
    {MEMBER(log.files[0].logLevel), LOG_INFO, "warn", LOG_WARN},
    {MEMBER(log.files[0].excludeLogSources), Json::arrayValue, parseJson(R"(["c"])")},

    {MEMBER(base.config), Json::nullValue, parseJson(R"({"serial": "S1"})")},
    {MEMBER(base.manufacture_id), -1, 4660},
    {MEMBER(base.manufacture_name), "UNKNOWN", "Quindle"},
    {MEMBER(base.model_id), -1, 258},
    {MEMBER(base.model_name), "UNKNOWN", "R340"},
    {MEMBER(base.hardware_version), -1, 3},
    {MEMBER(base.robot_size), REQUIRED, "34 cm", 0.34},
    {MEMBER(base.robot_line_speed), REQUIRED, "30 cm/s", 0.3},
    {MEMBER(base.low_moving_speed), 0.2, "25 cm/s", 0.25},
    {MEMBER(base.medium_moving_speed), 0.3, "35 cm/s", 0.35},
    {MEMBER(base.high_moving_speed), 0.4, "45 cm/s", 0.45},
    {MEMBER(base.encoder_ticks_per_meter), REQUIRED, 6450},
    {MEMBER(base.low_battery_percentage_for_charging), 0.3, 0.2},
    {MEMBER(base.high_battery_percentage_for_resume), 0.95, 0.9},
    {MEMBER(base.low_battery_auto_homing), false, true},
    {MEMBER(base.orbitane_core_pose), ZERO_POSE,
     parseJson(R"({"x": "5 cm", "y": "-2 cm", "z": "30 cm", "yaw": "90 deg", "pitch": "1 deg", "roll": "-1 deg"})"),
     parseJson(R"({"x": 0.05, "y": -0.02, "z": 0.3, "yaw": 1.5707963, "pitch": 0.0174533, "roll": -0.0174533})")},
    {MEMBER(base.sensors[0].id), REQUIRED, 7},
    {MEMBER(base.sensors[0].type), REQUIRED, "sonar", asJson(SensorKind::Sonar)},
    {MEMBER(base.sensors[0].driver), "control_bus", "gpio"},
    {MEMBER(base.sensors[0].installation_pose), ZERO_POSE,
     parseJson(R"({"x": "10 cm", "y": "-6 cm", "z": "5 cm", "yaw": "-20 deg", "pitch": "2 deg", "roll": "3 deg"})"),
     parseJson(R"({"x": 0.1, "y": -0.06, "z": 0.05, "yaw": -0.3490659, "pitch": 0.0349066, "roll": 0.0523599})")},
    {MEMBER(base.sensors[0].config), Json::nullValue, parseJson(R"({"beam_angle": "30 deg"})")},
    {AT("base.sensors[0].config.beam_angle", base.sensors[0].beam_angle), 0.2617994, "30 deg", 0.5235988},
    {MEMBER(base.sensors[0].max_distance), 0.0, "2 m", 2.0},
    {MEMBER(base.sensors[0].min_distance), 0.0, "5 cm", 0.05},

    {MEMBER(mapping.initial_map_area), parseJson(R"({"x": -12.8, "y": -12.8, "width": 25.6, "height": 25.6})"),
     parseJson(R"({"x": 1.5, "y": -2.5, "width": 10, "height": 20})")},
    {MEMBER(mapping.restrain_mapping_angle_threshold), 0.09, "10 deg", 0.1745329},

    {MEMBER(lidar.type), REQUIRED, "urglidar", asJson(LidarType::UrgLidar)},
    {MEMBER(lidar.config), Json::nullValue, parseJson(R"({"port": "/dev/ttyUSB0"})")},
    {MEMBER(lidar.observe_radius), 1.0, "150 cm", 1.5},
    {MEMBER(lidar.hibernate_time), 60, "2 minute", 120},
    {MEMBER(lidar.aperture), REQUIRED, "270 deg", 4.7123890},
    {MEMBER(lidar.aperture_direction), 0.0, "180 deg", 3.1415927},
    {MEMBER(lidar.require_angular_compensation), true, false},
    {MEMBER(lidar.reverse_installation), false, true},
    {MEMBER(lidar.installation_pose), ZERO_POSE,
     parseJson(R"({"x": "4 cm", "y": "1 cm", "z": "20 cm", "yaw": "45 deg", "pitch": "-2 deg", "roll": "4 deg"})"),
     parseJson(R"({"x": 0.04, "y": 0.01, "z": 0.2, "yaw": 0.7853982, "pitch": -0.0349066, "roll": 0.0698132})")},
    {MEMBER(lidar.max_distance), 8.0, "12 m", 12.0},
    {MEMBER(lidar.required_scan_frequency), 5.4, 7.0},
    {MEMBER(lidar.required_scan_frequency_a2), 10.8, 15.0},
    {MEMBER(lidar.fit_filter.enable), true, false},
    {MEMBER(lidar.radius_filter.enable), true, false},
    {MEMBER(lidar.radius_filter.radius_factor), 1.0, 1.5},
    {MEMBER(lidar.normal_filter.enable), false, true},
    {MEMBER(lidar.normal_filter.max_gap_threshold), 2.0, "50 cm", 0.5},
    {MEMBER(lidar.normal_filter.max_rho_bias_threshold), 0.01, "2 cm", 0.02},
    {MEMBER(lidar.normal_filter.back_space_count), 0, 4},
    {MEMBER(lidar.normal_filter.max_failure_count), 0, 3},
    {MEMBER(lidar.normal_filter.min_points_count_threshold), 2, 5},
    {MEMBER(lidar.normal_filter.max_rho_threshold), 0.05, "10 cm", 0.1},

    {MEMBER(motion_plan.keep_landmarker_radius), 6.0, "4 m", 4.0},
    {MEMBER(motion_plan.power_cost_map_factor), 1.0, 2.0},
    {MEMBER(motion_plan.occupy_size_factor), 1.03, 1.1},
    {MEMBER(motion_plan.merge_points_count), 3, 4},
    {MEMBER(motion_plan.max_cost), 3, 9},
    {MEMBER(motion_plan.path_search_timeout_duration), 60, "2 minute", 120},
    {MEMBER(motion_plan.move_resolution), 0.15, "10 cm", 0.1},
    {MEMBER(motion_plan.distance_threshold), REQUIRED, "31 cm", 0.31},
    {MEMBER(motion_plan.side_margin), 0.0, "5 cm", 0.05},
    {MEMBER(motion_plan.motor_control_period), 0.5, "200 ms", 0.2},
    {MEMBER(motion_plan.straight_forward_safe_distance_factor), REQUIRED, 0.6},
    {MEMBER(motion_plan.bounded_relaxation), false, true},
    {MEMBER(motion_plan.sub_path_points_gap), 10, 20},
    {MEMBER(motion_plan.sub_path_search), false, true},
    {MEMBER(motion_plan.vx_slow_stop_threshold), 0.02, "3 cm/s", 0.03},
    {MEMBER(motion_plan.vy_slow_stop_threshold), 0.02, "4 cm/s", 0.04},
    {MEMBER(motion_plan.omega_slow_stop_threshold), 0.05, 0.06},
    {MEMBER(motion_plan.rounds_for_find_way), 1, 2},
    {MEMBER(motion_plan.avoid_circle_path_point_count), 5, 8},
    {MEMBER(motion_plan.same_point_gap), 0.01, "2 cm", 0.02},
    {MEMBER(motion_plan.bump_handle_strategy), asJson(BumpStrategy::Default), "stop", asJson(BumpStrategy::Stop)},

    {MEMBER(sweep.sweep_resolution), 0.3, "25 cm", 0.25},
    {MEMBER(sweep.max_sweep_points), 200, 300},
    {MEMBER(sweep.sweep_step_percentage), 0.85, 0.75},
    {MEMBER(sweep.spot_sweep_width), 1.0, "150 cm", 1.5},
    {MEMBER(sweep.sweep_points_adjacent_ratio), 0.4, 0.5},
    {MEMBER(sweep.area_points_count), 30, 40},
    {MEMBER(sweep.area_partition_threshold), -1.5, -2.0},
    {MEMBER(sweep.distance_partition_threshold), 2.0, "3 m", 3.0},
    {MEMBER(sweep.sweep_distance_threshold), 0.05, "1 cm", 0.01},
    {MEMBER(sweep.angle_divide_number), 6, 8},
    {MEMBER(sweep.speed_base_ratio), 0.6, 0.7},
    {MEMBER(sweep.speed_adjust_ratio), 0.4, 0.2},
    {MEMBER(sweep.speed_min_ratio), 0.35, 0.25},
    {MEMBER(sweep.area_depth), 1.0, "80 cm", 0.8},

    {MEMBER(simulator.enabled), false, true},
    {MEMBER(simulator.max_moving_speed), 0.1, "30 cm/s", 0.3},
    {MEMBER(simulator.map_file), "", "map.png"},
    {MEMBER(simulator.with_reality), false, true},
    {MEMBER(simulator.debug_sdp), false, true},
    {MEMBER(simulator.scan_points), 180, 360},

    {MEMBER(docking.dock_supported), true, false},
    {MEMBER(docking.backward_docking), false, true},
    {MEMBER(docking.docking_method), asJson(DockingMethod::IrTower2p), "laserpattern",
     asJson(DockingMethod::LaserPattern)},
    {MEMBER(docking.landing_offset), 0.2, "15 cm", 0.15},

    {MEMBER(features.has_ir_docking_tower), false, true},

    {MEMBER(debug.output_motion_planner_lidar_data), false, true},
    {MEMBER(debug.diagnosis_flag_file), "/tmp/orbitane_diagnosis_flag_file", "/tmp/flag"},
    {MEMBER(debug.ignore_binary_configs), Json::arrayValue, parseJson(R"(["base.sensors"])")},

    {MEMBER(landmark.depth_camera_time_out), 5.0, "3 s", 3.0},
    {MEMBER(landmark.urltra_sonic_time_out), 2.0, "500 ms", 0.5},
    {MEMBER(landmark.contactor_time_out), 60.0, "2 minute", 120.0},
    {MEMBER(landmark.contact_length_ratio), 0.3, 0.35},
    {MEMBER(landmark.cliff_length_ratio), 0.4, 0.45},
    {MEMBER(landmark.cooling_time), 0.5, "250 ms", 0.25},
    {MEMBER(landmark.ref_landmark_time), 2.0, "3 s", 3.0},
    {MEMBER(landmark.contactor_opposite_move_distance), 0.1, "5 cm", 0.05},
    {MEMBER(landmark.cliff_opposite_move_distance), 0.15, "20 cm", 0.2},

    {MEMBER(map_load.enable), false, true},
    {MEMBER(map_load.roll_size), 10, 20},
    {MEMBER(map_load.each_map_size_x), 12, 16},
    {MEMBER(map_load.each_map_size_y), 12, 24},
    {MEMBER(map_load.resolution), 0.05, "10 cm", 0.1},
    {MEMBER(map_load.compress_mode), 2, 1},
    {MEMBER(map_load.disable_mapping_time_length), 10, "1 minute", 60},
};

// Sets (or, without a value, removes) the member at `path`, a dotted path
// whose list elements are written "[n]".
void put(Json::Value& doc, const std::string& path, const Json::Value* value) {
    const size_t dot = path.rfind('.');
    Json::Value& parent = dot == std::string::npos ? doc : Json::Path(path.substr(0, dot)).make(doc);
    if (value != nullptr) {
        Json::Path(path).make(doc) = *value;
    } else {
        parent.removeMember(path.substr(dot + 1));
    }
}

Json::Value readAs(const Member& member) { return member.read.isNull() ? member.given : member.read; }

bool required(const Member& member) { return member.absent == REQUIRED; }

// Every required member and nothing else.
Json::Value minimalDocument() {
    Json::Value doc(Json::objectValue);
    for (const Member& member : MEMBERS) {
        if (required(member)) {
            put(doc, member.path, &member.given);
        }
    }
    return doc;
}

}  // namespace

TEST(SystemConfig, EveryMemberGivenIsRead) {
    Json::Value doc(Json::objectValue);
    for (const Member& member : MEMBERS) {
        put(doc, member.path, &member.given);
    }
    LogCapture capture;
    SystemConfig config;
    ASSERT_TRUE(readSystemConfig(doc, config)) << doc.toStyledString();
    EXPECT_TRUE(capture.messages().empty());
    for (const Member& member : MEMBERS) {
        EXPECT_TRUE(same(readAs(member), member.get(config))) << member.path << " read " << member.get(config);
        EXPECT_FALSE(same(member.absent, readAs(member))) << member.path << ": give a value other than the default";
    }
}

TEST(SystemConfig, EveryMemberAbsentTakesItsDefault) {
    LogCapture capture;
    SystemConfig config;
    ASSERT_TRUE(readSystemConfig(minimalDocument(), config));
    EXPECT_TRUE(capture.messages().empty());
    for (const Member& member : MEMBERS) {
        const Json::Value want = required(member) ? readAs(member) : member.absent;
        EXPECT_TRUE(same(want, member.get(config))) << member.path << " read " << member.get(config);
    }
    // Without any one of the required members, reading fails and names it.
    for (const Member& member : MEMBERS) {
        if (!required(member)) {
            continue;
        }
        Json::Value doc = minimalDocument();
        put(doc, member.path, nullptr);
        LogCapture missing;
        SystemConfig other;
        EXPECT_FALSE(readSystemConfig(doc, other)) << member.path;
        const std::string path = member.path, name = path.substr(path.rfind('.') + 1);
        EXPECT_THAT(missing.reports(), testing::Contains("Child `" + name + "' not found")) << member.path;
    }
}

TEST(SystemConfig, MovedMembersWarnAndAreNotRead) {
    Json::Value doc = minimalDocument();
    doc["mapload"]["roll_size"] = 99;
    doc["lidar"]["scan_points"] = 360;
    LogCapture capture;
    SystemConfig config;
    ASSERT_TRUE(readSystemConfig(doc, config));
    EXPECT_EQ((std::vector<std::string>{
                  "lidar.scan_points found, this config entry has been moved to simulator.scan_points",
                  "mapload found, this config entry has been renamed to map_load"}),
              capture.messages());
    EXPECT_EQ(10, config.map_load.roll_size);
    EXPECT_EQ(180, config.simulator.scan_points);
}

TEST(SystemConfig, BadMembersFailWithTheirReports) {
    const std::string NOT_AN_OBJECT = "': config node is not a JSON object";
    const std::string NOT_A_STRING = "Failed to parse string value: config node is not a string";
    const struct {
        const char* path;  // "" for the whole document
        const char* json;  // nullptr: removed
        std::vector<std::string> reports;
    } cases[] = {
        // An absent section is read from null and then reported by its own name.
        {"lidar", nullptr, {NOT_A_STRING, "Child `type' not found", "Child `lidar' not found"}},
        {"type", R"("TESSEL")", {"Failed to parse enumeration value: `TESSEL' is not a known name"}},
        {"base.sensors", "{}", {"Failed to parse array: config node is not a JSON array"}},
        {"base.sensors[1]", R"({"id": 1, "type": "bumper", "driver": 5})", {NOT_A_STRING}},
        {"features", "1", {"Failed to parse child `has_ir_docking_tower" + NOT_AN_OBJECT}},
        {"map_load.enable", "1", {"Failed to parse boolean value: config node is not a bool"}},
        // A rectangle without its size fails without a message of its own.
        {"mapping.initial_map_area", R"({"x": 1, "width": 2})", {}},
        {"", "[]", {"Failed to parse child `type" + NOT_AN_OBJECT}},
    };
    for (const auto& bad : cases) {
        Json::Value doc = minimalDocument();
        const Json::Value value = bad.json ? parseJson(bad.json) : Json::Value();
        put(doc, bad.path, bad.json ? &value : nullptr);
        LogCapture capture;
        SystemConfig config;
        EXPECT_FALSE(readSystemConfig(doc, config)) << bad.path;
        EXPECT_EQ(bad.reports, capture.reports()) << bad.path;
    }
}

TEST(SystemConfig, ReadingStopsAtTheFirstFailure) {
    Json::Value doc = minimalDocument();
    doc["base"]["low_moving_speed"] = "fast";
    doc["base"]["high_moving_speed"] = 2.0;
    doc["sweep"]["max_sweep_points"] = 5;
    SystemConfig config;
    EXPECT_FALSE(readSystemConfig(doc, config));
    EXPECT_FLOAT_EQ(0.3f, config.base.robot_line_speed);  // before the failure
    EXPECT_EQ(0.0f, config.base.high_moving_speed);       // after it: untouched
    EXPECT_EQ(0, config.sweep.max_sweep_points);
}
