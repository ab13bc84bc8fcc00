#include "lib/SystemConfigFetch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/BinaryConfig.h"
#include "config/BuiltinConfig.h"
#include "config/WhiteListMerge.h"
#include "lib/Failures.h"
#include "log/Log.h"

namespace orbitane {
namespace detail {

using namespace nivo::system::config;
using namespace nivo::system::util;
using zorn::drv::LegacyConfig;
using zorn::drv::MountPose;
using zorn::drv::QuindleBaseDrv;

namespace {

const char* const WHAT = "config";

// A configuration the library cannot read: the code the console has always
// reported for one, kind invalid_answer.
Error unusable(const std::string& why) {
    return Error(kind::INVALID_ANSWER, result::OPERATION_FAIL, std::string(WHAT) + ": " + why);
}

bool parseBuiltinJson(const char* text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text, text + std::strlen(text), &out, &errors);
}

SensorConfig legacySensor(int32_t id, SensorKind kind, const MountPose& pose) {
    SensorConfig sensor;
    sensor.id = id;
    sensor.type = kind;
    sensor.installation_pose.x = pose.x;
    sensor.installation_pose.y = pose.y;
    sensor.installation_pose.z = pose.z;
    sensor.installation_pose.yaw = pose.yaw;
    return sensor;
}

std::string styledText(const Json::Value& value) {
    Json::StyledWriter writer;
    return writer.write(value);
}

// Each step says in the log what went wrong, in the lines the console has
// always shown (a program without a log appender sees nothing of them).
void loadBinary(FetchedConfig& out, const std::vector<uint8_t>& buffer, bool showDecoded) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (!parseBinaryConfig(buffer.size(), buffer.data(), out.decoded)) {
        logFatal(source, "Failed to parse binary config");
        throw unusable("the base's binary configuration cannot be decoded");
    }
    if (showDecoded) logInfo(source, "Parsed JSON:\n%s", styledText(out.decoded).c_str());
    Json::Value reference;
    if (!parseBuiltinJson(REFERENCE_CONFIG, reference)) {
        logFatal(source, "Internal error: failed to parse reference config");
    }
    Json::Value whiteList;
    if (!parseBuiltinJson(WHITE_LIST, whiteList)) {
        logFatal(source, "Internal error: failed to parse white list");
    }
    Json::Value target;
    mergeWithWhiteList(std::vector<std::string>(), whiteList, target, reference, out.decoded);
    if (!readSystemConfig(target, out.config)) {
        logFatal(source, "Failed to parse to target config");
        throw unusable("the base's configuration, merged with the reference, is not a configuration");
    }
}

// Robot size and at most eight bumper/cliff entries followed by at most
// eight distance sensors; the rest of the configuration stays empty.
void loadLegacy(FetchedConfig& out, const LegacyConfig& conf) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    out.config.base.robot_size = 2.0 * conf.radiusMm() / 1000.0;
    int32_t nextId = 0;
    if (conf.bumperCount() > zorn::drv::BASE_MAX_BUMPERS) {
        logWarn(source, "Bumpers/Cliff Sensors: %d sensors (too many sensors, only 8 supported)", conf.bumperCount());
    }
    const int bumpers = std::min<int>(conf.bumperCount(), zorn::drv::BASE_MAX_BUMPERS);
    for (int i = 0; i < bumpers; ++i) {
        const SensorKind kind = conf.isCliff(i) ? SensorKind::Cliff : SensorKind::Bumper;
        out.config.base.sensors.push_back(legacySensor(nextId++, kind, conf.bumperPose(i)));
    }
    if (conf.distanceSensorCount() > zorn::drv::BASE_MAX_SENSORS) {
        logWarn(source, "Distance Sensors: %d sensors (too many distance sensors, only 8 supported)",
                conf.distanceSensorCount());
    }
    const int sensors = std::min<int>(conf.distanceSensorCount(), zorn::drv::BASE_MAX_SENSORS);
    for (int i = 0; i < sensors; ++i) {
        out.config.base.sensors.push_back(legacySensor(nextId++, SensorKind::Sonar, conf.distanceSensorPose(i)));
    }
}

}  // namespace

FetchedConfig fetchSystemConfig(QuindleBaseDrv& driver, bool showDecoded) {
    FetchedConfig out;
    const auto stream = driver.getBinaryConfig(QuindleBaseDrv::BINARY_CONFIG_CAPACITY);
    if (stream) {
        loadBinary(out, *stream, showDecoded);
        return out;
    }
    logFatal(LOG_SOURCE_BASE_CONSOLE_APP, "Failed to get binary config from base");
    // Only a base that does not support the binary request gets the legacy
    // one; any other failure is the answer.
    if (stream.failure().cause != zorn::net::Cause::NotSupported) throw errorOf(stream.failure(), WHAT);
    logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "The base doesn't support binary config, using legacy config interface");
    const auto legacy = driver.getConfig();
    if (!legacy) throw errorOf(legacy.failure(), WHAT);
    out.legacy = true;
    out.decoded = Json::Value();
    loadLegacy(out, *legacy);
    return out;
}

}  // namespace detail
}  // namespace orbitane
