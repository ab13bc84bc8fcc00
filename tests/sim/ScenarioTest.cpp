#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <set>
#include <sstream>

#include "sim/Scenario.h"
#include "tests/support/JsonText.h"

using namespace zorn::orbitane::sim;
using tests::support::parseJson;

namespace {

std::string sourceRoot() {
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/tests/sim/"));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Parses a scenario that is expected to fail and returns the message.
std::string errorOf(const std::string& text) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(parseScenarioText(text, s, error)) << text;
    return error;
}

TEST(ScenarioTest, DefaultIsTheRoundBaseOfTheExampleFile) {
    EXPECT_EQ(parseJson(defaultScenarioText()), parseJson(readFile(sourceRoot() + "/sim/scenarios/default.json")));
    Scenario s = defaultScenario();
    EXPECT_EQ(s.identity.model, "ORB-BASE");
    EXPECT_EQ(s.identity.firmwareVersion, 0x0102);
    EXPECT_EQ(s.identity.hardwareVersion, 0x0300);
    EXPECT_FALSE(s.legacyBase);
    EXPECT_TRUE(s.binaryConfig["features"]["has_ir_docking_tower"].asBool());
    EXPECT_DOUBLE_EQ(s.binaryConfig["base"]["robot_size"].asDouble(), 0.34);
    // The legacy record is derived from the same robot: 170 mm radius,
    // three sonars, two bumpers and two cliffs (negative height).
    EXPECT_NEAR(s.legacy.radiusMm, 170.0, 1e-9);
    ASSERT_EQ(s.legacy.sensors.size(), 3u);
    ASSERT_EQ(s.legacy.bumpers.size(), 4u);
    EXPECT_GT(s.legacy.bumpers[1].zMm, 0.0);
    EXPECT_LT(s.legacy.bumpers[2].zMm, 0.0);
    EXPECT_NEAR(s.legacy.sensors[1].yawDeg, 45.0, 1e-4);
    EXPECT_EQ(s.sonarMm.size(), 3u);
}

TEST(ScenarioTest, ExampleFilesLoad) {
    Scenario legacy;
    std::string error;
    ASSERT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/legacy.json", legacy, error)) << error;
    EXPECT_TRUE(legacy.legacyBase);
    EXPECT_EQ(legacy.legacy.bumpers.size(), 3u);
    EXPECT_EQ(legacy.chargingFlags, 1);
    Scenario faults;
    ASSERT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/faults.json", faults, error)) << error;
    ASSERT_EQ(faults.faults.size(), 5u);
    EXPECT_EQ(faults.faults[2].request, 0x34);
    EXPECT_EQ(faults.faults[2].kind, FaultKind::Unsupported);
    EXPECT_EQ(faults.faults[4].delayMs, 1500);

    Scenario alive;
    ASSERT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/alive.json", alive, error)) << error;
    EXPECT_EQ(alive.timeline.size(), 4u);
    // It can be driven: nothing triggered at start, and its bumper event
    // triggers a sensor (sets its bit) rather than clearing all the others.
    EXPECT_EQ(alive.bumperBits, 0u);
    EXPECT_EQ(alive.timeline[1].value, 1.0);

    // The example shows every member and every kind of fault.
    Scenario example;
    ASSERT_TRUE(loadScenarioFile(sourceRoot() + "/sim/scenarios/example.json", example, error)) << error;
    EXPECT_EQ(example.identity.model, "ORB-DEMO");
    EXPECT_EQ(example.identity.firmwareVersion, 0x0204);
    EXPECT_EQ(example.identity.hardwareVersion, 513);
    EXPECT_EQ(example.probeCountOverride, 3);
    EXPECT_EQ(example.pendingCommand, 0x51);
    EXPECT_EQ(example.legacy.radiusMm, 190.0);
    EXPECT_EQ(example.legacy.sensors.size(), 4u);
    EXPECT_EQ(example.legacy.bumperCountOverride, 3);
    std::set<FaultKind> kinds;
    for (const auto& rule : example.faults) kinds.insert(rule.kind);
    EXPECT_EQ(kinds.size(), 12u);
    const Json::Value doc = parseJson(readFile(sourceRoot() + "/sim/scenarios/example.json"));
    for (const char* member : {"identity", "status", "motor_state", "velocity_state", "sonar_mm", "bumper_bits",
                               "beacons", "pending_command", "legacy_base", "binary_config", "legacy_config", "faults",
                               "close_after", "stop_on_disconnect", "timeline"}) {
        EXPECT_TRUE(doc.isMember(member)) << member;
    }
}

TEST(ScenarioTest, MembersOverlayTheDefault) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"status": {"battery_percentage": 15},
                                      "identity": {"firmware_version": 515, "serial_number": [1, 2, 4294967295]},
                                      "pending_command": 81})",
                                  s, error))
        << error;
    EXPECT_EQ(s.batteryPercentage, 15);
    EXPECT_EQ(s.chargingFlags, 3);  // from the default
    EXPECT_EQ(s.identity.firmwareVersion, 515);
    EXPECT_EQ(s.identity.serialNumber[2], 4294967295u);
    EXPECT_EQ(s.identity.model, "ORB-BASE");
    EXPECT_EQ(s.pendingCommand, 0x51);
}

TEST(ScenarioTest, FaultSelectorsAndWindows) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"faults": [
        {"request": 48, "kind": "silent"},
        {"request": "0x31", "kind": "delay", "delay_ms": 1200, "after": 2, "times": 1},
        {"request": "setMotor", "kind": "error", "error_code": 7},
        {"request": "*", "kind": "short", "size": 0},
        {"request": "getBumperData", "kind": "long", "extra": 3},
        {"request": "getStatus", "kind": "bad_checksum"},
        {"request": "getConfig", "kind": "unsupported"}],
        "close_after": 4})",
                                  s, error))
        << error;
    ASSERT_EQ(s.faults.size(), 7u);
    EXPECT_EQ(s.faults[0].request, 0x30);
    EXPECT_EQ(s.faults[1].request, 0x31);
    EXPECT_EQ(s.faults[1].after, 2);
    EXPECT_EQ(s.faults[1].times, 1);
    EXPECT_EQ(s.faults[2].request, 0x40);
    EXPECT_EQ(s.faults[2].errorCode, 7);
    EXPECT_EQ(s.faults[3].request, -1);
    EXPECT_EQ(s.faults[3].size, 0);
    EXPECT_EQ(s.faults[4].extra, 3);
    EXPECT_EQ(s.faults[5].kind, FaultKind::BadChecksum);
    EXPECT_EQ(s.closeAfter, 4);
}

TEST(ScenarioTest, LineFaultsAndTheirSizes) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"faults": [
        {"request": "getStatus", "kind": "flood"},
        {"request": "getStatus", "kind": "flood", "size": 4194304},
        {"request": "getMotorData", "kind": "swallow", "extra": 13},
        {"request": "*", "kind": "close", "after": 5}]})",
                                  s, error))
        << error;
    ASSERT_EQ(s.faults.size(), 4u);
    EXPECT_EQ(s.faults[0].kind, FaultKind::Flood);
    EXPECT_EQ(s.faults[0].size, -1);
    EXPECT_EQ(s.faults[1].size, 4194304);
    EXPECT_EQ(s.faults[2].kind, FaultKind::Swallow);
    EXPECT_EQ(s.faults[2].extra, 13);
    EXPECT_EQ(s.faults[3].kind, FaultKind::Close);
    EXPECT_EQ(s.faults[3].after, 5);
    for (FaultKind k : {FaultKind::Flood, FaultKind::Swallow, FaultKind::Close, FaultKind::Stall,
                        FaultKind::LoseAnswer}) {
        std::string name = faultKindName(k);
        std::string hyphenated = name;
        std::replace(hyphenated.begin(), hyphenated.end(), '_', '-');
        for (const std::string& spelling : {name, hyphenated}) {
            Scenario one;
            const std::string text = R"({"faults": [{"request": "*", "kind": ")" + spelling + R"(", "after": 3}]})";
            ASSERT_TRUE(parseScenarioText(text, one, error)) << error;
            EXPECT_EQ(one.faults[0].kind, k) << spelling;
            EXPECT_EQ(one.faults[0].after, 3);
        }
    }
    // A flood may be larger than a frame, but not without bound; a short
    // answer keeps at most a frame.
    EXPECT_NE(errorOf(R"({"faults": [{"request": "*", "kind": "flood", "size": 4194305}]})").find("faults[0].size"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"faults": [{"request": "*", "kind": "short", "size": 70000}]})").find("faults[0].size"),
              std::string::npos);
}

TEST(ScenarioTest, BadDocumentsNameTheMember) {
    EXPECT_NE(errorOf("{").find("not valid JSON"), std::string::npos);
    EXPECT_NE(errorOf("[]").find("must be an object"), std::string::npos);
    EXPECT_NE(errorOf(R"({"fualts": []})").find("\"fualts\": unknown member"), std::string::npos);
    EXPECT_NE(errorOf(R"({"status": {"battery_percentage": 300}})").find("status.battery_percentage"), std::string::npos);
    EXPECT_NE(errorOf(R"({"status": {"battery_percentage": 12.5}})").find("must be an integer"), std::string::npos);
    EXPECT_NE(errorOf(R"({"identity": {"model": "THIRTEEN-CHAR"}})").find("at most 12"), std::string::npos);
    EXPECT_NE(errorOf(R"({"identity": {"firmware_version": "1.x"}})").find("identity.firmware_version"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"identity": {"serial_number": [1, 2]}})").find("three"), std::string::npos);
    EXPECT_NE(errorOf(R"({"sonar_mm": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]})").find("at most 16"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"sonar_mm": [-1]})").find("sonar_mm[0]"), std::string::npos);
    EXPECT_NE(errorOf(R"({"sonar_mm": [70000]})").find("sonar_mm[0]"), std::string::npos);
    EXPECT_NE(errorOf(R"({"beacons": {"probes": [1, 2, 3, 4]}})").find("at most 3"), std::string::npos);
    EXPECT_NE(errorOf(R"({"faults": [{"request": "getNothing", "kind": "silent"}]})").find("faults[0].request"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"faults": [{"request": 300, "kind": "silent"}]})").find("faults[0].request"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"faults": [{"request": "*", "kind": "sometimes"}]})").find("faults[0].kind"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"faults": [{"request": "*", "kind": "silent", "times": -2}]})").find("faults[0].times"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"close_after": -2})").find("close_after"), std::string::npos);
    EXPECT_NE(errorOf(R"({"legacy_base": 1})").find("true or false"), std::string::npos);
    EXPECT_NE(errorOf(R"({"legacy_config": {"sensors": [{"x_mm": 1e9}]}})").find("legacy_config.sensors[0].x_mm"),
              std::string::npos);
    EXPECT_NE(errorOf(R"({"legacy_config": {"radius_mm": -1}})").find("legacy_config.radius_mm"), std::string::npos);
    for (const char* text : {R"({"timeline": {}})", R"({"timeline": [{"reading": "sonar_mm[16]", "value": 1}]})",
                             R"({"timeline": [{"reading": "motor", "value": 1}]})",
                             R"({"timeline": [{"reading": "bumper_bits", "value": 1, "rate_per_s": 1}]})",
                             R"({"timeline": [{"reading": "bumper_bits"}]})",
                             R"({"timeline": [{"reading": "battery_percentage", "value": 101}]})",
                             R"({"timeline": [{"reading": "battery_percentage", "ramp_to": 10}]})",
                             R"({"timeline": [{"reading": "battery_percentage", "value": 1, "from_s": 3, "to_s": 2}]})",
                             R"({"timeline": [{"reading": "bumper_bits", "value": 1, "to_s": 2, "every_s": 1}]})",
                             R"({"timeline": [{"reading": "bumper_bits", "value": 1, "at": 2}]})"}) {
        EXPECT_NE(errorOf(text).find("timeline"), std::string::npos) << text;
    }
}

TEST(ScenarioTest, DeepNestingAndTrailingTextAreErrors) {
    const std::string deep(1000, '[');
    for (const std::string& text : {deep, "{\"binary_config\": " + deep, std::string("{} x"), std::string("{}{}"),
                                    std::string(R"({"close_after": 3}})")}) {
        EXPECT_NE(errorOf(text).find("not valid JSON"), std::string::npos) << text.substr(0, 40);
    }
}

TEST(ScenarioTest, BinaryConfigMustFitTheKeyDictionary) {
    std::string error = errorOf(R"({"binary_config": {"base": {"wheel_count": 2}}})");
    EXPECT_NE(error.find("\"base.wheel_count\" is not in the configuration key dictionary"), std::string::npos) << error;
    error = errorOf(R"({"binary_config": {"base": {"model_name": ")" + std::string(256, 'x') + R"("}}})");
    EXPECT_NE(error.find("base.model_name is longer than 255 bytes"), std::string::npos) << error;
    error = errorOf(R"({"binary_config": {"base": {"model_id": 5000000000}}})");
    EXPECT_NE(error.find("does not fit 32 bits"), std::string::npos) << error;
    EXPECT_NE(errorOf(R"({"binary_config": [1]})").find("binary_config"), std::string::npos);
}

TEST(ScenarioTest, LegacyRecordFollowsAGivenBinaryConfigUnlessGiven) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"binary_config": {"base": {"robot_size": 0.5, "sensors": [
        {"id": 0, "type": "cliff", "installation_pose": {"x": 0.1, "z": 0.02}},
        {"id": 1, "type": "sonar", "installation_pose": {"yaw": 3.14159265}},
        {"id": 2, "type": "depth_camera"}]}}})",
                                  s, error))
        << error;
    EXPECT_NEAR(s.legacy.radiusMm, 250.0, 1e-9);
    ASSERT_EQ(s.legacy.bumpers.size(), 1u);
    EXPECT_NEAR(s.legacy.bumpers[0].xMm, 100.0, 1e-9);
    // Only a negative height marks a cliff in the legacy record.
    EXPECT_NEAR(s.legacy.bumpers[0].zMm, -20.0, 1e-9);
    ASSERT_EQ(s.legacy.sensors.size(), 1u);
    EXPECT_NEAR(s.legacy.sensors[0].yawDeg, 180.0, 1e-4);

    ASSERT_TRUE(parseScenarioText(R"({"binary_config": {"base": {"robot_size": 0.5}},
                                      "legacy_config": {"radius_mm": 10, "bumper_count": 10}})",
                                  s, error))
        << error;
    EXPECT_NEAR(s.legacy.radiusMm, 10.0, 1e-9);
    EXPECT_EQ(s.legacy.bumperCountOverride, 10);
    EXPECT_TRUE(s.legacy.sensors.empty());

    // A base without a size: zero radius, from either record.
    for (const char* text : {R"({"legacy_config": {"radius_mm": 0}})", R"({"binary_config": {"base": {"robot_size": 0}}})"}) {
        ASSERT_TRUE(parseScenarioText(text, s, error)) << error;
        EXPECT_EQ(s.legacy.radiusMm, 0.0) << text;
    }

    error = errorOf(R"({"binary_config": {"base": {"robot_size": "34 cm"}}})");
    EXPECT_NE(error.find("give it explicitly"), std::string::npos) << error;
}

}  // namespace
