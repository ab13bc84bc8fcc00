#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/Timeline.h"

namespace zorn {
namespace orbitane {
namespace sim {

// What the base says about itself in its connect answer.
struct Identity {
    std::string model = "ORB-BASE";  // at most 12 characters
    uint16_t firmwareVersion = 0x0102;  // major in the high byte
    uint16_t hardwareVersion = 0x0300;
    uint32_t serialNumber[3] = {0, 0, 0};
};

// Mounting pose of one sensor in the legacy configuration record.
struct LegacySensor {
    double xMm = 0.0;
    double yMm = 0.0;
    double zMm = 0.0;
    double yawDeg = 0.0;
};

// The fixed 264-byte configuration record of older bases.
struct LegacyConfig {
    uint8_t baseType = 0;     // 0: round base
    double radiusMm = 170.0;  // also the half wheel track of the drive
    uint8_t motorType = 0;    // 0: two wheels
    std::vector<LegacySensor> sensors;  // distance sensors, at most 8 sent
    std::vector<LegacySensor> bumpers;  // bumpers and cliffs (negative z), at most 8 sent
    // Counts announced in the record; -1 announces the list sizes. Lets a
    // scenario describe a base that claims more entries than it can hold.
    int sensorCountOverride = -1;
    int bumperCountOverride = -1;
};

enum class FaultKind {
    Unsupported,  // ANS_ERROR 0x8000, request not executed
    Error,        // ANS_ERROR with another code, request not executed
    Silent,       // request dropped, no answer
    BadChecksum,  // answer sent with a corrupted checksum byte
    Short,        // answer cut to `size` bytes
    Long,         // answer followed by `extra` padding bytes
    Delay,        // answer held back for `delayMs`
    Flood,        // `size` bytes of line noise sent before the answer
    Swallow,      // answer whose length header claims `extra` bytes more than it carries
    Close,        // request dropped and the connection closed without an answer
    Stall,        // request dropped and the line no longer read at all; the link stays open
    LoseAnswer,   // request executed but never answered
};

// Largest noise burst of a flood fault, and its size when none is given.
constexpr int64_t kMaxFloodBytes = 4 * 1024 * 1024;
constexpr int64_t kDefaultFloodBytes = 1024 * 1024;

// One fault injected on the answers to one request code (or every code).
struct FaultRule {
    int request = -1;       // request code, -1 for every request
    FaultKind kind = FaultKind::Silent;
    int after = 0;          // matching requests answered normally first
    int times = -1;         // matching requests affected after that, -1 for all
    int delayMs = 0;        // Delay
    int size = -1;          // Short: bytes kept, -1 for one byte less than the answer;
                            // Flood: noise bytes, -1 for 1 MiB
    int extra = 1;          // Long: padding bytes appended; Swallow: bytes of the
                            // following traffic taken into the answer frame
    uint16_t errorCode = 1; // Error
    bool endMidFrame = false;  // Flood: the noise ends inside a frame it does not finish
};

// Everything the simulated base is and does.
struct Scenario {
    Identity identity;
    uint8_t batteryPercentage = 80;
    uint8_t chargingFlags = 0;
    uint8_t motorState = 0;
    uint8_t velocityState = 0;
    std::vector<double> sonarMm;  // distance readings in configuration order, at most 16 sent
    uint32_t bumperBits = 0;      // bit k: k-th bumper or cliff sensor triggered
    uint8_t beaconCount = 0;
    std::vector<uint8_t> probes;  // bit set over the beacons per probe, at most 3 sent
    int probeCountOverride = -1;  // announced probe count, -1 for probes.size()
    uint8_t pendingCommand = 0;   // answer of the poll request
    bool legacyBase = false;      // refuses the binary configuration request
    LegacyConfig legacy;
    Json::Value binaryConfig;     // object encoded with the key dictionary
    std::vector<FaultRule> faults;
    std::vector<TimedChange> timeline;  // scripted changes of the readings
    int closeAfter = -1;          // requests answered per connection before closing it
    // Stop the wheels when the host goes away. A real base keeps driving
    // at the last commanded speed, so the default leaves them turning.
    bool stopOnDisconnect = false;
};

// Fills `out` from a scenario document. Members that are absent keep the
// built-in default; an absent "legacy_config" is derived from the
// binary configuration. On failure `error` names the offending member.
bool parseScenario(const Json::Value& doc, Scenario& out, std::string& error);
bool parseScenarioText(const std::string& text, Scenario& out, std::string& error);
// A scenario is a few kilobytes; a file past this size is refused unread
// (a mistaken path such as /dev/zero would otherwise be read for ever).
constexpr size_t kMaxScenarioFileBytes = 4 * 1024 * 1024;
bool loadScenarioFile(const std::string& path, Scenario& out, std::string& error);

// The legacy record contents that describe the same robot as a binary
// configuration: radius from base.robot_size (metres), sonar sensors in the
// distance list, bumper and cliff sensors in the bumper list. Poses must be
// plain numbers (metres, radians).
bool deriveLegacyConfig(const Json::Value& binaryConfig, LegacyConfig& out, std::string& error);

// The built-in default: a round base of 340 mm diameter with sonars,
// bumpers, cliff sensors, an IR docking tower and a binary configuration.
const char* defaultScenarioText();
Scenario defaultScenario();

// Name of a fault kind in scenarios and request records ("bad_checksum").
// Scenarios may also write the words with hyphens ("lose-answer").
const char* faultKindName(FaultKind kind);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
