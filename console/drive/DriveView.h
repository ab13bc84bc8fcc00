#pragma once

// The full-screen live view of the drive command: everything known about the
// base, redrawn from a snapshot. Owns the terminal while it exists: the
// constructor takes it over, the destructor gives it back as it was.
#include <cstdint>
#include <string>
#include <vector>

#include "console/drive/DriveController.h"

struct screen;  // the curses screen

namespace zorn {
namespace orbitane {
namespace test {

// Freshness of one polled reading.
struct ReadingAge {
    bool have = false;    // a value was read at least once
    bool stale = false;   // the latest attempt failed
    double ageSeconds = 0.0;  // since the value shown was read
};

struct SonarBar {
    std::string label;
    double mm = 0.0;
    bool read = false;  // a value was read at least once (else shown as --)
    bool near = false;  // nearer than the proximity threshold
    double fullScaleMm = 2000.0;
};

struct GuardMark {
    std::string label;
    bool triggered = false;
};

// Everything one frame of the view shows.
struct DriveSnapshot {
    std::string identity;  // model, firmware, serial number
    std::string channel;
    bool dryRun = false;

    ReadingAge statusAge;
    int batteryPercent = 0;
    std::string charging;

    ReadingAge motorAge;
    double leftMm = 0.0, rightMm = 0.0;
    double x = 0.0, y = 0.0, headingDeg = 0.0;
    double measuredVx = 0.0, measuredOmega = 0.0;
    // The measured speed's source: the velocity answers while driving, the
    // odometers otherwise.
    ReadingAge measuredAge;

    ReadingAge sensorAge;
    std::vector<SonarBar> sonars;
    std::string sensorNote;  // why no sonar is listed

    ReadingAge bumperAge;
    std::vector<GuardMark> marks;

    ReadingAge beaconAge;
    int beaconCount = 0;
    std::vector<uint8_t> probes;

    int step = 1;
    double stepSpeed = 0.0;  // with the fine adjustment
    int finePercent = 0;     // +10, -20, ...: the fine adjustment of the step
    bool stepCapped[3] = {false, false, false};
    std::string stepsNote;  // the steps and where they came from
    std::string capNote;    // which steps robot_line_speed capped, empty when none
    BodyVelocity target, commanded;
    bool arc = false;  // a turn key bends the forward or backward motion
    std::string guardReason;
    std::string dryRunLine;  // what would have been sent

    double requestsPerSecond = 0.0;
    double heldBackPerSecond = 0.0;  // readings left out to keep the velocity requests' period
    // Velocity requests not sent while an earlier one's answer was owed.
    double velocitiesHeldBackPerSecond = 0.0;
    double bytesPerSecond = 0.0;  // both ways, frames as sent
    uint64_t corruptedFrames = 0;  // frames the checksum rejected
    long failures = 0;
    long timeouts = 0;
    double lastRoundTripMs = -1.0;

    std::string message;  // latest event (emergency stop, link lost, ...)
    bool linkLost = false;
    bool alarm = false;   // the message is an alarm (highlighted)
    // STOPPED, MOVING, BRAKING, E-STOP, STOP NOT CONFIRMED, STOP REFUSED,
    // LINK LOST or DRY RUN.
    std::string motionState;
};

// A pressed key as the drive command reads it.
enum class ViewKey { None, Drive, Resize, Suspend, Other };

class DriveView {
public:
    DriveView();
    ~DriveView();
    DriveView(const DriveView&) = delete;
    DriveView& operator=(const DriveView&) = delete;

    void draw(const DriveSnapshot& snapshot);
    // The next pending key without waiting; `drive` is set for a drive key.
    ViewKey nextKey(DriveKey& drive);
    // Forgets keys typed but not yet read.
    void discardInput();
    // The window is large enough to show the readings (otherwise only a note).
    static bool showsReadings();
    // Why the terminal on standard output cannot show the view (no cursor
    // addressing, an unknown TERM), empty when it can.
    static std::string terminalProblem();

private:
    ::screen* screen_ = nullptr;  // the curses screen on standard input and output
};

// `value` as printed with `decimals` decimals, without a sign on zero.
double shown(double value, int decimals);
// A heading in degrees within (-180, 180].
double headingInRange(double degrees);
// Maps a curses key code to a drive key; false for any other key.
bool driveKeyFor(int code, DriveKey& key);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
