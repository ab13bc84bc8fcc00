#include "sim/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <sstream>

#include "drv/ControlBus.h"
#include "drv/FixedPoint.h"
#include "sim/BoundedFile.h"
#include "sim/ConfigRecords.h"
#include "sim/RequestNames.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

// Reads typed members with range checks; the first problem is kept in
// `error` with the member's path.
class MemberReader {
public:
    explicit MemberReader(std::string& error) : error_(error) {}

    bool fail(const std::string& path, const std::string& what) {
        error_ = "scenario member \"" + path + "\": " + what;
        return false;
    }

    bool object(const Json::Value& v, const std::string& path) {
        return v.isObject() ? true : fail(path, "must be an object");
    }

    // Rejects members that the reader does not know (catches typos).
    bool onlyKnown(const Json::Value& v, const std::string& path, const std::set<std::string>& known) {
        for (const auto& name : v.getMemberNames()) {
            if (known.count(name) == 0) {
                return fail(path.empty() ? name : path + "." + name, "unknown member");
            }
        }
        return true;
    }

    bool integer(const Json::Value& v, const std::string& path, int64_t lo, int64_t hi, int64_t& out) {
        // isInt64/isUInt64 also accept reals with an integral value in range.
        if (v.isBool() || !v.isNumeric()) return fail(path, "must be an integer");
        if (v.isInt64()) {
            int64_t i = v.asInt64();
            if (i < lo || i > hi) return outOfRange(path, lo, hi);
            out = i;
            return true;
        }
        if (v.isUInt64()) return outOfRange(path, lo, hi);  // beyond every range used here
        return fail(path, "must be an integer");
    }

    template <class T>
    bool integerAs(const Json::Value& v, const std::string& path, int64_t lo, int64_t hi, T& out) {
        int64_t i = 0;
        if (!integer(v, path, lo, hi, i)) return false;
        out = static_cast<T>(i);
        return true;
    }

    bool byte(const Json::Value& v, const std::string& path, uint8_t& out) { return integerAs(v, path, 0, 255, out); }

    bool number(const Json::Value& v, const std::string& path, double lo, double hi, double& out) {
        if (v.isBool() || !v.isNumeric()) return fail(path, "must be a number");
        double d = v.asDouble();
        if (!std::isfinite(d) || d < lo || d > hi) {
            std::ostringstream s;
            s << "must be a number from " << lo << " to " << hi;
            return fail(path, s.str());
        }
        out = d;
        return true;
    }

    bool boolean(const Json::Value& v, const std::string& path, bool& out) {
        if (!v.isBool()) return fail(path, "must be true or false");
        out = v.asBool();
        return true;
    }

    // "1.2" (major.minor) or a 16-bit number with the major in the high byte.
    bool version(const Json::Value& v, const std::string& path, uint16_t& out) {
        if (v.isString()) {
            std::string text = v.asString();
            unsigned major = 0, minor = 0;
            char tail = 0;
            if (std::sscanf(text.c_str(), "%u.%u%c", &major, &minor, &tail) != 2 || major > 255 || minor > 255) {
                return fail(path, "must be \"major.minor\" with each part 0 to 255, or a 16-bit number");
            }
            out = static_cast<uint16_t>(major << 8 | minor);
            return true;
        }
        return integerAs(v, path, 0, 0xFFFF, out);
    }

private:
    bool outOfRange(const std::string& path, int64_t lo, int64_t hi) {
        return fail(path, "must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
    }

    std::string& error_;
};

// Largest magnitude of a millimetre value that fits a q8 int32 field.
constexpr double kMaxQ8Mm = 8388607.0;

bool readIdentity(MemberReader& r, const Json::Value& v, Identity& id) {
    if (!r.object(v, "identity")) return false;
    if (!r.onlyKnown(v, "identity", {"model", "firmware_version", "hardware_version", "serial_number"})) return false;
    if (v.isMember("model")) {
        if (!v["model"].isString()) return r.fail("identity.model", "must be a text");
        std::string model = v["model"].asString();
        if (model.size() > sizeof(drv::base_connect_response_t::model)) {
            return r.fail("identity.model", "holds at most 12 characters");
        }
        id.model = model;
    }
    if (v.isMember("firmware_version") && !r.version(v["firmware_version"], "identity.firmware_version", id.firmwareVersion)) {
        return false;
    }
    if (v.isMember("hardware_version") && !r.version(v["hardware_version"], "identity.hardware_version", id.hardwareVersion)) {
        return false;
    }
    if (v.isMember("serial_number")) {
        const Json::Value& sn = v["serial_number"];
        if (!sn.isArray() || sn.size() != 3) return r.fail("identity.serial_number", "must be an array of three 32-bit numbers");
        for (Json::ArrayIndex i = 0; i < 3; ++i) {
            if (!r.integerAs(sn[i], "identity.serial_number[" + std::to_string(i) + "]", 0, 0xFFFFFFFFLL, id.serialNumber[i])) {
                return false;
            }
        }
    }
    return true;
}

bool readStatus(MemberReader& r, const Json::Value& v, Scenario& s) {
    if (!r.object(v, "status")) return false;
    if (!r.onlyKnown(v, "status", {"battery_percentage", "charging_flags"})) return false;
    if (v.isMember("battery_percentage") && !r.byte(v["battery_percentage"], "status.battery_percentage", s.batteryPercentage)) {
        return false;
    }
    if (v.isMember("charging_flags") && !r.byte(v["charging_flags"], "status.charging_flags", s.chargingFlags)) return false;
    return true;
}

bool readBeacons(MemberReader& r, const Json::Value& v, Scenario& s) {
    if (!r.object(v, "beacons")) return false;
    if (!r.onlyKnown(v, "beacons", {"beacon_count", "probes", "probe_count"})) return false;
    if (v.isMember("beacon_count") && !r.byte(v["beacon_count"], "beacons.beacon_count", s.beaconCount)) return false;
    if (v.isMember("probes")) {
        const Json::Value& p = v["probes"];
        if (!p.isArray() || p.size() > static_cast<unsigned>(drv::BASE_MAX_PROBES)) {
            return r.fail("beacons.probes", "must be an array of at most 3 bit sets");
        }
        s.probes.clear();
        for (Json::ArrayIndex i = 0; i < p.size(); ++i) {
            uint8_t bits = 0;
            if (!r.byte(p[i], "beacons.probes[" + std::to_string(i) + "]", bits)) return false;
            s.probes.push_back(bits);
        }
    }
    s.probeCountOverride = -1;
    if (v.isMember("probe_count") && !r.integerAs(v["probe_count"], "beacons.probe_count", 0, 255, s.probeCountOverride)) {
        return false;
    }
    return true;
}

bool readLegacySensors(MemberReader& r, const Json::Value& v, const std::string& path, std::vector<LegacySensor>& out) {
    if (!v.isArray() || v.size() > 8) return r.fail(path, "must be an array of at most 8 sensor poses");
    out.clear();
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        std::string at = path + "[" + std::to_string(i) + "]";
        const Json::Value& e = v[i];
        if (!r.object(e, at) || !r.onlyKnown(e, at, {"x_mm", "y_mm", "z_mm", "yaw_deg"})) return false;
        LegacySensor sensor;
        if (e.isMember("x_mm") && !r.number(e["x_mm"], at + ".x_mm", -kMaxQ8Mm, kMaxQ8Mm, sensor.xMm)) return false;
        if (e.isMember("y_mm") && !r.number(e["y_mm"], at + ".y_mm", -kMaxQ8Mm, kMaxQ8Mm, sensor.yMm)) return false;
        if (e.isMember("z_mm") && !r.number(e["z_mm"], at + ".z_mm", -kMaxQ8Mm, kMaxQ8Mm, sensor.zMm)) return false;
        if (e.isMember("yaw_deg") && !r.number(e["yaw_deg"], at + ".yaw_deg", -1e6, 1e6, sensor.yawDeg)) return false;
        out.push_back(sensor);
    }
    return true;
}

bool readLegacy(MemberReader& r, const Json::Value& v, LegacyConfig& legacy) {
    if (!r.object(v, "legacy_config")) return false;
    if (!r.onlyKnown(v, "legacy_config",
                     {"base_type", "radius_mm", "motor_type", "sensors", "bumpers", "sensor_count", "bumper_count"})) {
        return false;
    }
    legacy = LegacyConfig();
    if (v.isMember("base_type") && !r.byte(v["base_type"], "legacy_config.base_type", legacy.baseType)) return false;
    if (v.isMember("motor_type") && !r.byte(v["motor_type"], "legacy_config.motor_type", legacy.motorType)) return false;
    // The radius travels as an unsigned q8 number.
    if (v.isMember("radius_mm") && !r.number(v["radius_mm"], "legacy_config.radius_mm", 0.0, 16777215.0, legacy.radiusMm)) {
        return false;
    }
    if (v.isMember("sensors") && !readLegacySensors(r, v["sensors"], "legacy_config.sensors", legacy.sensors)) return false;
    if (v.isMember("bumpers") && !readLegacySensors(r, v["bumpers"], "legacy_config.bumpers", legacy.bumpers)) return false;
    if (v.isMember("sensor_count") && !r.integerAs(v["sensor_count"], "legacy_config.sensor_count", 0, 255, legacy.sensorCountOverride)) {
        return false;
    }
    if (v.isMember("bumper_count") && !r.integerAs(v["bumper_count"], "legacy_config.bumper_count", 0, 255, legacy.bumperCountOverride)) {
        return false;
    }
    return true;
}

bool readFaultKind(const std::string& text, FaultKind& kind) {
    static const FaultKind kinds[] = {FaultKind::Unsupported, FaultKind::Error, FaultKind::Silent,
                                      FaultKind::BadChecksum, FaultKind::Short, FaultKind::Long,
                                      FaultKind::Delay, FaultKind::Flood, FaultKind::Swallow,
                                      FaultKind::Close, FaultKind::Stall, FaultKind::LoseAnswer};
    std::string name = text;
    std::replace(name.begin(), name.end(), '-', '_');
    for (FaultKind k : kinds) {
        if (name == faultKindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

bool readFaults(MemberReader& r, const Json::Value& v, std::vector<FaultRule>& faults) {
    if (!v.isArray()) return r.fail("faults", "must be an array");
    faults.clear();
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        std::string at = "faults[" + std::to_string(i) + "]";
        const Json::Value& e = v[i];
        if (!r.object(e, at)) return false;
        if (!r.onlyKnown(e, at, {"request", "kind", "after", "times", "delay_ms", "size", "extra", "error_code",
                                  "end_mid_frame"})) {
            return false;
        }
        FaultRule rule;
        if (!e.isMember("request") || !parseRequestSelector(e["request"], rule.request)) {
            return r.fail(at + ".request", "must be a request code (0 to 255, \"0x30\"), a request name (\"getStatus\") or \"*\"");
        }
        if (!e.isMember("kind") || !e["kind"].isString() || !readFaultKind(e["kind"].asString(), rule.kind)) {
            return r.fail(at + ".kind",
                          "must be one of unsupported, error, silent, bad_checksum, short, long, delay, flood, "
                          "swallow, close, stall, lose_answer");
        }
        if (e.isMember("after") && !r.integerAs(e["after"], at + ".after", 0, INT32_MAX, rule.after)) return false;
        if (e.isMember("times") && !r.integerAs(e["times"], at + ".times", -1, INT32_MAX, rule.times)) return false;
        if (e.isMember("delay_ms") && !r.integerAs(e["delay_ms"], at + ".delay_ms", 0, 3600000, rule.delayMs)) return false;
        // A short answer keeps at most a whole frame; a flood is bounded so
        // that a scenario cannot make the simulator hold gigabytes.
        const int64_t maxSize = rule.kind == FaultKind::Flood ? kMaxFloodBytes : 65534;
        if (e.isMember("size") && !r.integerAs(e["size"], at + ".size", 0, maxSize, rule.size)) return false;
        if (e.isMember("extra") && !r.integerAs(e["extra"], at + ".extra", 0, 60000, rule.extra)) return false;
        if (e.isMember("error_code") && !r.integerAs(e["error_code"], at + ".error_code", 0, 0xFFFF, rule.errorCode)) return false;
        if (e.isMember("end_mid_frame") && !r.boolean(e["end_mid_frame"], at + ".end_mid_frame", rule.endMidFrame)) {
            return false;
        }
        faults.push_back(rule);
    }
    return true;
}

bool readTimeline(MemberReader& r, const Json::Value& v, std::vector<TimedChange>& timeline) {
    if (!v.isArray()) return r.fail("timeline", "must be an array of changes");
    timeline.clear();
    constexpr double kMaxSeconds = 1e9;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        const std::string at = "timeline[" + std::to_string(i) + "]";
        const Json::Value& e = v[i];
        if (!r.object(e, at)) return false;
        if (!r.onlyKnown(e, at, {"reading", "value", "rate_per_s", "ramp_to", "from_s", "to_s", "every_s"})) return false;
        TimedChange c;
        if (!e["reading"].isString() || !parseTimedReading(e["reading"].asString(), c.reading, c.sonarIndex)) {
            return r.fail(at + ".reading",
                          "must be \"battery_percentage\", \"charging_flags\", \"bumper_bits\" or \"sonar_mm[K]\" "
                          "(K from 0 to 15)");
        }
        const int shapes = e.isMember("value") + e.isMember("rate_per_s") + e.isMember("ramp_to");
        if (shapes != 1) return r.fail(at, "needs exactly one of \"value\", \"rate_per_s\" and \"ramp_to\"");
        double hi = 0.0;
        switch (c.reading) {
            case TimedReading::Battery: hi = 100.0; break;
            case TimedReading::ChargingFlags: hi = 255.0; break;
            case TimedReading::BumperBits: hi = 4294967295.0; break;
            case TimedReading::Sonar: hi = 65535.99; break;
        }
        if (e.isMember("value")) {
            c.shape = TimedChange::Shape::Hold;
            if (!r.number(e["value"], at + ".value", 0.0, hi, c.value)) return false;
        } else if (e.isMember("ramp_to")) {
            c.shape = TimedChange::Shape::Ramp;
            if (!r.number(e["ramp_to"], at + ".ramp_to", 0.0, hi, c.value)) return false;
        } else {
            c.shape = TimedChange::Shape::Rate;
            if (!r.number(e["rate_per_s"], at + ".rate_per_s", -hi, hi, c.value)) return false;
        }
        if (e.isMember("from_s") && !r.number(e["from_s"], at + ".from_s", 0.0, kMaxSeconds, c.fromS)) return false;
        if (e.isMember("to_s")) {
            if (!r.number(e["to_s"], at + ".to_s", 0.0, kMaxSeconds, c.toS)) return false;
            if (c.toS <= c.fromS) return r.fail(at + ".to_s", "must be later than from_s");
        } else if (c.shape == TimedChange::Shape::Ramp) {
            return r.fail(at + ".to_s", "is needed by a ramp (when it reaches ramp_to)");
        }
        if (e.isMember("every_s")) {
            if (!r.number(e["every_s"], at + ".every_s", 0.001, kMaxSeconds, c.everyS)) return false;
            if (c.toS >= 0.0 && c.everyS < c.toS - c.fromS) {
                return r.fail(at + ".every_s", "must be at least to_s - from_s");
            }
        }
        timeline.push_back(c);
    }
    return true;
}

bool applyScenario(const Json::Value& doc, Scenario& s, std::string& error) {
    MemberReader r(error);
    if (!r.object(doc, "(document)")) return false;
    if (!r.onlyKnown(doc, "", {"identity", "status", "motor_state", "velocity_state", "sonar_mm", "bumper_bits", "beacons",
                               "pending_command", "legacy_base", "legacy_config", "binary_config", "faults", "close_after",
                               "stop_on_disconnect", "timeline"})) {
        return false;
    }
    if (doc.isMember("identity") && !readIdentity(r, doc["identity"], s.identity)) return false;
    if (doc.isMember("status") && !readStatus(r, doc["status"], s)) return false;
    if (doc.isMember("motor_state") && !r.byte(doc["motor_state"], "motor_state", s.motorState)) return false;
    if (doc.isMember("velocity_state") && !r.byte(doc["velocity_state"], "velocity_state", s.velocityState)) return false;
    if (doc.isMember("sonar_mm")) {
        const Json::Value& v = doc["sonar_mm"];
        if (!v.isArray() || v.size() > static_cast<unsigned>(drv::BASE_SENSOR_VALUES)) {
            return r.fail("sonar_mm", "must be an array of at most 16 distances");
        }
        s.sonarMm.clear();
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
            double mm = 0;
            // A distance travels as an unsigned q16 number of millimetres.
            if (!r.number(v[i], "sonar_mm[" + std::to_string(i) + "]", 0.0, 65535.99, mm)) return false;
            s.sonarMm.push_back(mm);
        }
    }
    if (doc.isMember("bumper_bits") && !r.integerAs(doc["bumper_bits"], "bumper_bits", 0, 0xFFFFFFFFLL, s.bumperBits)) {
        return false;
    }
    if (doc.isMember("beacons") && !readBeacons(r, doc["beacons"], s)) return false;
    if (doc.isMember("pending_command") && !r.byte(doc["pending_command"], "pending_command", s.pendingCommand)) return false;
    if (doc.isMember("legacy_base") && !r.boolean(doc["legacy_base"], "legacy_base", s.legacyBase)) return false;
    if (doc.isMember("binary_config")) {
        const Json::Value& bc = doc["binary_config"];
        if (!bc.isObject()) return r.fail("binary_config", "must be an object");
        std::vector<uint8_t> bytes;
        std::string why;
        if (!encodeScenarioBinaryConfig(bc, bytes, why)) return r.fail("binary_config", why);
        s.binaryConfig = bc;
    }
    if (doc.isMember("legacy_config")) {
        if (!readLegacy(r, doc["legacy_config"], s.legacy)) return false;
    } else if (doc.isMember("binary_config")) {
        std::string why;
        if (!deriveLegacyConfig(s.binaryConfig, s.legacy, why)) {
            return r.fail("legacy_config", "absent and cannot be derived from binary_config (" + why + "); give it explicitly");
        }
    }
    if (doc.isMember("faults") && !readFaults(r, doc["faults"], s.faults)) return false;
    if (doc.isMember("timeline") && !readTimeline(r, doc["timeline"], s.timeline)) return false;
    if (doc.isMember("close_after") && !r.integerAs(doc["close_after"], "close_after", -1, INT32_MAX, s.closeAfter)) return false;
    if (doc.isMember("stop_on_disconnect") && !r.boolean(doc["stop_on_disconnect"], "stop_on_disconnect", s.stopOnDisconnect)) {
        return false;
    }
    return true;
}

// Reads a plain number member of a pose, 0 when absent.
bool poseNumber(const Json::Value& pose, const char* name, double& out, std::string& error) {
    out = 0.0;
    if (pose.isNull() || !pose.isMember(name)) return true;
    const Json::Value& v = pose[name];
    if (v.isBool() || !v.isNumeric() || !std::isfinite(v.asDouble())) {
        error = std::string("installation_pose.") + name + " is not a plain number";
        return false;
    }
    out = v.asDouble();
    return true;
}

}  // namespace

const char* faultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Unsupported: return "unsupported";
        case FaultKind::Error: return "error";
        case FaultKind::Silent: return "silent";
        case FaultKind::BadChecksum: return "bad_checksum";
        case FaultKind::Short: return "short";
        case FaultKind::Long: return "long";
        case FaultKind::Delay: return "delay";
        case FaultKind::Flood: return "flood";
        case FaultKind::Swallow: return "swallow";
        case FaultKind::Close: return "close";
        case FaultKind::Stall: return "stall";
        case FaultKind::LoseAnswer: return "lose_answer";
    }
    return "?";
}

bool deriveLegacyConfig(const Json::Value& binaryConfig, LegacyConfig& out, std::string& error) {
    LegacyConfig legacy;
    const Json::Value& base = binaryConfig.isObject() ? binaryConfig["base"] : Json::Value::nullSingleton();
    if (!base.isNull() && !base.isObject()) {
        error = "base is not an object";
        return false;
    }
    if (base.isMember("robot_size")) {
        const Json::Value& size = base["robot_size"];
        if (size.isBool() || !size.isNumeric() || !(size.asDouble() >= 0.0) || size.asDouble() * 500.0 > 16777215.0) {
            error = "base.robot_size is not a plain number of metres";
            return false;
        }
        legacy.radiusMm = size.asDouble() * 1000.0 / 2.0;
    }
    const Json::Value& sensors = base.isObject() ? base["sensors"] : Json::Value::nullSingleton();
    if (!sensors.isNull() && !sensors.isArray()) {
        error = "base.sensors is not an array";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < sensors.size(); ++i) {
        const Json::Value& e = sensors[i];
        std::string type = e.isObject() && e["type"].isString() ? e["type"].asString() : "";
        const Json::Value& pose = e.isObject() ? e["installation_pose"] : Json::Value::nullSingleton();
        if (!pose.isNull() && !pose.isObject()) {
            error = "base.sensors[" + std::to_string(i) + "].installation_pose is not an object";
            return false;
        }
        double x, y, z, yaw;
        std::string why;
        if (!poseNumber(pose, "x", x, why) || !poseNumber(pose, "y", y, why) || !poseNumber(pose, "z", z, why) ||
            !poseNumber(pose, "yaw", yaw, why)) {
            error = "base.sensors[" + std::to_string(i) + "]." + why;
            return false;
        }
        LegacySensor entry;
        entry.xMm = x * 1000.0;
        entry.yMm = y * 1000.0;
        entry.zMm = z * 1000.0;
        entry.yawDeg = drv::toDegrees(yaw);
        if (std::fabs(entry.xMm) > kMaxQ8Mm || std::fabs(entry.yMm) > kMaxQ8Mm || std::fabs(entry.zMm) > kMaxQ8Mm ||
            std::fabs(entry.yawDeg) > 1e6) {
            error = "base.sensors[" + std::to_string(i) + "].installation_pose is out of range";
            return false;
        }
        if (type == "sonar") {
            if (legacy.sensors.size() < 8) legacy.sensors.push_back(entry);
        } else if (type == "bumper" || type == "cliff") {
            // The legacy record tells cliffs from bumpers by a negative height.
            if (type == "cliff" && entry.zMm >= 0.0) entry.zMm = entry.zMm > 0.0 ? -entry.zMm : -1.0;
            if (type == "bumper" && entry.zMm < 0.0) entry.zMm = -entry.zMm;
            if (legacy.bumpers.size() < 8) legacy.bumpers.push_back(entry);
        }
    }
    out = legacy;
    return true;
}

bool parseScenario(const Json::Value& doc, Scenario& out, std::string& error) {
    Scenario s = defaultScenario();
    if (!applyScenario(doc, s, error)) return false;
    out = s;
    return true;
}

// Deepest nesting of arrays and objects a scenario may use.
constexpr int kMaxScenarioDepth = 64;

bool parseScenarioText(const std::string& text, Scenario& out, std::string& error) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    // A scenario is a few levels deep; a limit far below what the reader's
    // recursion can take turns a pathological nesting into an error.
    builder["stackLimit"] = kMaxScenarioDepth;
    // Text after the document is a mistake (two documents, a stray brace),
    // not something to ignore.
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value doc;
    std::string errs;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &doc, &errs);
    } catch (const std::exception& e) {
        // The reader throws past its stack limit rather than reporting it.
        errs = std::string(e.what()) + " (arrays and objects nest at most " + std::to_string(kMaxScenarioDepth) +
               " levels deep)";
    }
    if (!parsed) {
        error = "scenario is not valid JSON: " + errs;
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        return false;
    }
    return parseScenario(doc, out, error);
}

bool loadScenarioFile(const std::string& path, Scenario& out, std::string& error) {
    std::string text;
    if (!readBoundedFile(path, kMaxScenarioFileBytes, text, error)) {
        error = "cannot read scenario file " + error;
        return false;
    }
    if (!parseScenarioText(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

Scenario defaultScenario() {
    static const Scenario built = [] {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        const char* text = defaultScenarioText();
        Json::Value doc;
        std::string errs;
        Scenario s;
        std::string error;
        // The built-in text is checked by the tests; a broken one leaves the
        // plain record defaults rather than stopping the program.
        if (reader->parse(text, text + std::strlen(text), &doc, &errs)) applyScenario(doc, s, error);
        return s;
    }();
    return built;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
