// The motor run commands: run (wheel speeds) and vrun (body velocity).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "app/Pacer.h"
#include "app/Reading.h"
#include "console/DriveArguments.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "console/RunClock.h"
#include "console/RunReport.h"
#include "log/Log.h"
#include "log/StandardOutput.h"
#include "orbitane/Units.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using zorn::net::Cause;
using zorn::net::Failure;

namespace {

// Length of the chord of an arc of length `length` that turns by `turn`
// radians; the arc itself when it hardly turns.
double arcChord(double length, double turn) {
    const double half = turn * 0.5;
    if (std::fabs(half) < 1e-9) return length;
    return length * std::sin(half) / half;
}

// The wheels' odometers, whole millimetres as the base counts them: 32-bit
// counters that wrap around.
struct Odometry {
    int32_t leftMm = 0;
    int32_t rightMm = 0;

    static int32_t since(int32_t now, int32_t earlier) {
        return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(earlier));
    }
    int32_t leftSinceMm(const Odometry& earlier) const { return since(leftMm, earlier.leftMm); }
    int32_t rightSinceMm(const Odometry& earlier) const { return since(rightMm, earlier.rightMm); }
};

CommandResult readOdometry(api::Base& base, Odometry& out) {
    try {
        const api::Motor motor = base.motor();
        out.leftMm = static_cast<int32_t>(std::lround(api::jsonMillimetres(motor.left_odometer_m)));
        out.rightMm = static_cast<int32_t>(std::lround(api::jsonMillimetres(motor.right_odometer_m)));
    } catch (const api::Error& error) {
        return resultOf(error);
    }
    return 0;
}

}  // namespace

CommandResult OrbitaneBaseConsoleApplication::runCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 4) {
        logFatal(source, "Missing parameters. %s <left_wheel_speed> <right_wheel_speed> <time>, units: mm/s mm/s s",
                 args[0].c_str());
        return STATUS_COMMAND_USAGE;
    }
    int32_t leftSpeed = 0, rightSpeed = 0;  // mm/s
    if (!parseDecimalInt32(args[1], leftSpeed)) {
        logFatal(source, "Failed to parse parameter left_wheel_speed");
        return STATUS_COMMAND_USAGE;
    }
    if (!parseDecimalInt32(args[2], rightSpeed)) {
        logFatal(source, "Failed to parse parameter right_wheel_speed");
        return STATUS_COMMAND_USAGE;
    }
    double seconds = 0;
    if (!parseDecimal(args[3], seconds)) {
        logFatal(source, "Failed to parse parameter time");
        return STATUS_COMMAND_USAGE;
    }
    InterruptScope interruptScope(true);
    nivo::system::util::StandardOutput::DeadlineScope outputNeverDelaysTheStop;
    api::Motion motion = base().motion();
    double radius = 0;  // metres
    CommandResult radiusRead = 0;
    try {
        radius = base().radius();
    } catch (const api::Error& error) {
        radiusRead = resultOf(error);
    }
    // Also when the configuration came in as the signal did: nothing has
    // moved yet, and nothing may start after the user asked to stop.
    if (interrupted()) {
        logWarn(source, "Interrupted by %s before the wheels were started", interruptSignalName());
        return interruptStatus(interruptSignal());
    }
    if (!radiusRead.ok()) {
        logFatal(source, "Failed to get base config");
        return radiusRead;
    }
    const double track = 2.0 * api::jsonMillimetres(radius);
    if (!(track > 0) || !std::isfinite(track)) {
        logFatal(source, "The base reports no usable radius (base_radius_q8 = %u): cannot integrate the pose",
                 static_cast<unsigned>(std::lround(api::jsonMillimetres(radius) * 256)));
        return Failure::of(Cause::InvalidAnswer, true);
    }
    try {
        motion.wheels(leftSpeed / 1000.0, rightSpeed / 1000.0);
    } catch (const api::Error& error) {
        // Held back when a signal came just before it was written.
        if (!interrupted()) logFatal(source, "Cannot set motor data.");
        // The base may have acted on a request whose answer was lost.
        return motionResult(motion.stop(), resultOf(error));
    }

    // Zero odometers when the first reading fails, so the first step is
    // measured from a defined origin.
    Odometry previous;
    Odometry current;
    readOdometry(base(), previous);
    double x = 0, y = 0, theta = 0;
    const int64_t begin = monotonicNanoseconds();
    const int64_t end = deadlineAfter(begin, seconds);
    const Pacing pace = pacing();
    Pacer pacer(pace.intervalSeconds, begin);
    RunReport report("run", true);
    report.start();
    CommandResult result = 0;
    for (bool firstStep = true, lastStep = false; !lastStep && monotonicNanoseconds() < end && !interrupted();
         firstStep = false) {
        // A paced run waits for its next step, but never past the end: the
        // motion since the last step is then read once more.
        if (!firstStep && !pacer.waitForNext(end)) {
            break;
        }
        lastStep = pace.intervalSeconds > 0 && monotonicNanoseconds() >= end;
        const CommandResult read = readOdometry(base(), current);
        if (interrupted()) break;
        if (!read.ok()) {
            logFatal(source, "Failed to get motor data");
            result = read;
            break;
        }
        const double dl = current.leftSinceMm(previous);
        const double dr = current.rightSinceMm(previous);
        const double d = (dl + dr) * 0.5;
        double nx = x + d * std::cos(theta);
        double ny = y + d * std::sin(theta);
        const double ntheta = theta + (dr - dl) / track;
        if (pace.intervalSeconds > 0) {
            // A paced step covers a long stretch of motion: follow the arc the
            // two wheel travels describe instead of a straight line along the
            // old heading, so the pose does not depend on the interval.
            const double chord = arcChord(d, ntheta - theta);
            const double along = theta + (ntheta - theta) * 0.5;
            nx = x + chord * std::cos(along);
            ny = y + chord * std::sin(along);
        }
        if (!std::isfinite(nx) || !std::isfinite(ny) || !std::isfinite(ntheta)) {
            logFatal(source, "The pose is no longer finite (dl=%.0f dr=%.0f): stopping", dl, dr);
            result = Failure::of(Cause::InvalidAnswer, true);
            break;
        }
        Reading step = report.newStep();
        step.info("dl=%8.5f dr=%8.5f pose:(%8.5f, %8.5f, %5.1fdeg)->(%8.5f, %8.5f, %5.1fdeg)", dl, dr, x, y,
                  api::jsonDegrees(theta), nx, ny, api::jsonDegrees(ntheta));
        report.wheelStep(step, dl, dr, nx, ny, api::jsonDegrees(ntheta));
        x = nx;
        y = ny;
        theta = ntheta;
        previous = current;
        if (pace.count != 0 && report.steps() >= pace.count) {
            break;  // --count steps made: the run ends early
        }
    }
    report.stopping();
    const api::StopOutcome stop = motion.stop();
    report.finish(stopReportOf(stop));
    return motionResult(stop, result);
}

CommandResult OrbitaneBaseConsoleApplication::vrunCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 5) {
        logFatal(source, "Missing parameters.");
        return STATUS_COMMAND_USAGE;
    }
    static const char* const NAMES[] = {"vx", "vy", "omega"};
    double values[3] = {0, 0, 0};
    double seconds = 0;
    for (int i = 0; i < 3; ++i) {
        if (!parseDecimal(args[1 + i], values[i])) {
            logFatal(source, "Invalid arguments");
            return STATUS_COMMAND_USAGE;
        }
    }
    if (!parseDecimal(args[4], seconds)) {
        logFatal(source, "Invalid arguments");
        return STATUS_COMMAND_USAGE;
    }
    for (int i = 0; i < 3; ++i) {
        if (!parseFixed16(args[1 + i], values[i])) {
            logFatal(source, "Failed to parse parameter %s: out of range", NAMES[i]);
            return STATUS_COMMAND_USAGE;
        }
    }
    const double vx = values[0], vy = values[1], omega = values[2];
    InterruptScope interruptScope(true);
    nivo::system::util::StandardOutput::DeadlineScope outputNeverDelaysTheStop;
    api::Motion motion = base().motion();

    double x = 0, y = 0, theta = 0;
    const int64_t start = monotonicNanoseconds();
    const int64_t driveEnd = deadlineAfter(start, seconds);
    const int64_t finalEnd = deadlineAfter(start, seconds * 2);
    const Pacing pace = pacing();
    Pacer pacer(pace.intervalSeconds, start);
    RunReport report("vrun", false);
    report.start();
    bool first = true;
    int driveRequests = 0;
    int driveAcknowledged = 0;
    // The stop goes out at the end whatever happened before: a vrun of no
    // time is a stop.
    motion.assumeMoving(true);
    CommandResult lastFailure = 0;
    while (monotonicNanoseconds() < finalEnd) {
        if (interrupted()) {
            break;
        }
        if (!first && (!pacer.waitForNext(finalEnd) || monotonicNanoseconds() >= finalEnd)) {
            break;
        }
        const bool driving = monotonicNanoseconds() < driveEnd;
        api::Displacement moved;
        bool answered = true;
        try {
            moved = driving ? motion.velocity(vx, vy, omega) : motion.velocity(0, 0, 0);
        } catch (const api::Error& error) {
            answered = false;
            lastFailure = resultOf(error);
        }
        if (driving) {
            ++driveRequests;
            if (answered) ++driveAcknowledged;
        }
        // A signal during the request stopped the base as the call ended:
        // the run ends with that stop's line.
        if (interrupted()) break;
        if (first) {
            first = false;  // the first answer covers the time before the run
            continue;
        }
        if (!answered) {
            continue;  // no answer, no known motion: integrate nothing
        }
        const double dx = moved.dx_m;
        const double dy = moved.dy_m;
        const double dtheta = moved.dheading_rad;
        const double nx = x + std::cos(theta) * dx - std::sin(theta) * dy;
        const double ny = y + std::sin(theta) * dx + std::cos(theta) * dy;
        const double ntheta = theta + dtheta;
        Reading step = report.newStep();
        step.info("dx=%8.5f dy=%8.5f dtheta=%5.1fdeg pose:(%8.5f, %8.5f, %5.1fdeg)->(%8.5f, %8.5f, %5.1fdeg)", dx, dy,
                  api::jsonDegrees(dtheta), x, y, api::jsonDegrees(theta), nx, ny, api::jsonDegrees(ntheta));
        report.bodyStep(step, dx * 1000, dy * 1000, api::jsonDegrees(dtheta), nx * 1000, ny * 1000,
                        api::jsonDegrees(ntheta));
        x = nx;
        y = ny;
        theta = ntheta;
        if (pace.count != 0 && report.steps() >= pace.count) {
            break;  // --count steps made: the run ends early
        }
    }
    report.stopping();
    const api::StopOutcome stop = motion.stop();
    report.finish(stopReportOf(stop));
    CommandResult result = 0;
    if (driveRequests > 0 && driveAcknowledged == 0) {
        logFatal(source, "The base acknowledged none of the %d velocity requests", driveRequests);
        result = lastFailure;
    }
    return motionResult(stop, result);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
