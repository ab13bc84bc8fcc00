// The configuration pipeline of the config command: decode the base's binary
// configuration, parse the built-in reference and white list, merge, and read
// the result into SystemConfig; against parsing the same configuration from
// its JSON text.

#include <benchmark/benchmark.h>

#include <json/json.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "config/BinaryConfig.h"
#include "config/BuiltinConfig.h"
#include "config/SystemConfig.h"
#include "config/WhiteListMerge.h"

using namespace nivo::system::config;

namespace bench {
namespace {

// Sensors of the large base below; with them its encoding is about 2 KB, a
// full answer buffer of the config command.
constexpr int SENSOR_COUNT = 35;

bool parseJson(const char* begin, const char* end, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(begin, end, &out, &errors);
}

bool parseJson(const std::string& text, Json::Value& out) {
    return parseJson(text.data(), text.data() + text.size(), out);
}

// A large base's own configuration: identity, size, battery thresholds, a
// ring of bumpers, cliff sensors and sonars, lidar mounting, motion and
// docking entries. About 2 KB once encoded.
Json::Value largeBaseConfig() {
    Json::Value root(Json::objectValue);
    root["type"] = "ardo";
    Json::Value& base = root["base"];
    base["manufacture_id"] = 4660;
    base["manufacture_name"] = "Orbitane Robotics Works";
    base["model_id"] = 258;
    base["model_name"] = "R340 long-range service base";
    base["hardware_version"] = 3;
    base["robot_size"] = "340 mm";
    base["low_battery_percentage_for_charging"] = 0.2;
    base["high_battery_percentage_for_charging"] = 0.9;
    base["low_battery_auto_homing"] = true;
    Json::Value& sensors = base["sensors"];
    sensors = Json::Value(Json::arrayValue);
    const char* kinds[] = {"bumper", "cliff", "sonar"};
    for (int i = 0; i < SENSOR_COUNT; ++i) {
        Json::Value s(Json::objectValue);
        s["id"] = i;
        s["type"] = kinds[i % 3];
        Json::Value& pose = s["installation_pose"];
        pose["x"] = 0.17 * ((i % 7) - 3) / 3.0;
        pose["y"] = 0.012 * (i - SENSOR_COUNT / 2);
        pose["z"] = i % 3 == 1 ? -0.01 : 0.03 + 0.001 * i;
        pose["yaw"] = std::to_string(i * 13 - 170) + " deg";
        sensors.append(s);
    }
    Json::Value& lidar = root["lidar"];
    lidar["installation_pose"]["x"] = 0.05;
    lidar["installation_pose"]["y"] = 0.0;
    lidar["installation_pose"]["z"] = 0.2;
    lidar["installation_pose"]["yaw"] = "180 deg";
    root["motion_plan"]["side_margin"] = "5 cm";
    root["motion_plan"]["bump_handle_strategy"] = "stop";
    root["features"]["has_ir_docking_tower"] = true;
    root["docking"]["dock_supported"] = true;
    root["docking"]["backward_docking"] = false;
    root["docking"]["docking_method"] = "irtower_2p";
    root["docking"]["landing_offset"] = 0.12;
    return root;
}

// What the console does with the bytes the base sent.
bool pipeline(const std::vector<uint8_t>& bytes, SystemConfig& out) {
    Json::Value binary;
    if (!parseBinaryConfig(bytes.size(), bytes.data(), binary)) return false;
    Json::Value reference;
    Json::Value whiteList;
    if (!parseJson(REFERENCE_CONFIG, REFERENCE_CONFIG + std::strlen(REFERENCE_CONFIG), reference) ||
        !parseJson(WHITE_LIST, WHITE_LIST + std::strlen(WHITE_LIST), whiteList))
        return false;
    Json::Value target;
    mergeWithWhiteList(std::vector<std::string>(), whiteList, target, reference, binary);
    return readSystemConfig(target, out);
}

void BM_ConfigPipeline(benchmark::State& state) {
    const Json::Value source = largeBaseConfig();
    std::vector<uint8_t> bytes;
    if (!encodeBinaryConfig(source, bytes)) {
        recordFigureError("config", "the configuration cannot be encoded");
        state.SkipWithError("the configuration cannot be encoded");
        return;
    }
    const std::string text = Json::FastWriter().write(source);

    {  // The pipeline must produce the configuration, not just run.
        SystemConfig check;
        if (!pipeline(bytes, check) || check.base.sensors.size() != static_cast<size_t>(SENSOR_COUNT) ||
            check.base.model_id != 258 || check.base.robot_size < 0.339 || check.base.robot_size > 0.341) {
            recordFigureError("config", "the pipeline did not read the configuration");
            state.SkipWithError("the pipeline did not read the configuration");
            return;
        }
    }

    std::vector<double> pipelineMs;
    std::vector<double> parseMs;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        SystemConfig config;
        bool ok = pipeline(bytes, config);
        Clock::time_point t1 = Clock::now();
        Json::Value parsed;
        ok = parseJson(text, parsed) && ok;
        Clock::time_point t2 = Clock::now();
        benchmark::DoNotOptimize(config.base.sensors.data());
        benchmark::DoNotOptimize(parsed);
        if (!ok) {
            recordFigureError("config", "a pipeline run failed");
            state.SkipWithError("a pipeline run failed");
            return;
        }
        state.SetIterationTime(secondsBetween(t0, t1));
        pipelineMs.push_back(secondsBetween(t0, t1) * 1000.0);
        parseMs.push_back(secondsBetween(t1, t2) * 1000.0);
    }
    state.counters["binary_bytes"] = static_cast<double>(bytes.size());
    state.counters["median_ms"] = median(pipelineMs);
    state.counters["json_text_median_ms"] = median(parseMs);
    recordFigure("config", median(pipelineMs), median(parseMs),
                 std::to_string(bytes.size()) + "-byte binary configuration; baseline parses its " +
                     std::to_string(text.size()) + "-byte JSON text");
}

BENCHMARK(BM_ConfigPipeline)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace
}  // namespace bench
