// The motor run commands: run (wheel speeds) and vrun (body velocity).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Interrupt.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "console/RunClock.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace zorn::drv;

namespace {

constexpr double PI_APPROX = 3.14159265;

double toDegrees(double radians) { return radians * 180 / PI_APPROX; }

// strtod over the whole text; the empty text reads as 0. Values that are
// not finite (inf, nan) are refused: no deadline or speed can come of them.
bool parseFiniteDouble(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// Leading integer of the text like atoi (0 when there is none), but a value
// outside the 32-bit range saturates instead of being undefined.
int32_t parseSpeed(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

int OrbitaneBaseConsoleApplication::runCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 4) {
        logFatal(source, "Missing parameters. %s <left_wheel_speed> <right_wheel_speed> <time>, units: mm/s mm/s s",
                 args[0].c_str());
        return 2;
    }
    base_set_motor_request_t request;
    std::memset(&request, 0, sizeof request);
    request.left_speed = parseSpeed(args[1]);
    request.right_speed = parseSpeed(args[2]);
    double seconds = 0;
    if (!parseFiniteDouble(args[3], seconds)) {
        logFatal(source, "Failed to parse parameter time");
        return 2;
    }
    InterruptScope interruptScope;
    base_conf_response_t conf;
    std::memset(&conf, 0, sizeof conf);
    int32_t result = driver_->getConfig(conf);
    if (result < 0) {
        logFatal(source, "Failed to get base config");
        return result;
    }
    result = driver_->setMotor(request);
    if (result < 0) {
        logFatal(source, "Cannot set motor data.");
        return result;
    }
    base_set_motor_request_t stop;
    std::memset(&stop, 0, sizeof stop);
    const double track = 2.0 * static_cast<uint32_t>(conf.base_radius_q8) / 256;

    // Zero odometers when the first reading fails, so the first step is
    // measured from a defined origin.
    base_motor_status_response_t previous;
    std::memset(&previous, 0, sizeof previous);
    if (driver_->getMotorData(previous) < 0) {
        std::memset(&previous, 0, sizeof previous);
    }
    double x = 0, y = 0, theta = 0;
    const int64_t end = deadlineAfter(monotonicNanoseconds(), seconds);
    while (monotonicNanoseconds() < end) {
        if (interrupted()) {
            driver_->setMotor(stop);
            logWarn(source, "Interrupted by %s, motors stopped", interruptSignalName());
            return interruptStatus(interruptSignal());
        }
        base_motor_status_response_t current;
        std::memset(&current, 0, sizeof current);
        result = driver_->getMotorData(current);
        if (result < 0) {
            logFatal(source, "Failed to get motor data");
            driver_->setMotor(stop);  // never leave the wheels turning
            return result;
        }
        const double dl = counterDelta(current.left_wheel_odometry, previous.left_wheel_odometry);
        const double dr = counterDelta(current.right_wheel_odometry, previous.right_wheel_odometry);
        const double d = (dl + dr) * 0.5;
        const double nx = x + d * std::cos(theta);
        const double ny = y + d * std::sin(theta);
        const double ntheta = theta + (dr - dl) / track;
        logInfo(source, "dl=%8.5f dr=%8.5f pose:(%8.5f, %8.5f, %5.1fdeg)->(%8.5f, %8.5f, %5.1fdeg)", dl, dr, x, y,
                toDegrees(theta), nx, ny, toDegrees(ntheta));
        x = nx;
        y = ny;
        theta = ntheta;
        previous = current;
    }
    driver_->setMotor(stop);
    if (interrupted()) {
        logWarn(source, "Interrupted by %s, motors stopped", interruptSignalName());
        return interruptStatus(interruptSignal());
    }
    return 0;
}

int OrbitaneBaseConsoleApplication::vrunCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 5) {
        logFatal(source, "Missing parameters.");
        return 2;
    }
    double vx = 0, vy = 0, omega = 0, seconds = 0;
    if (!parseFiniteDouble(args[1], vx) || !parseFiniteDouble(args[2], vy) || !parseFiniteDouble(args[3], omega) ||
        !parseFiniteDouble(args[4], seconds)) {
        logFatal(source, "Invalid arguments");
        return 2;
    }
    InterruptScope interruptScope;
    base_set_velocity_request_t drive;
    drive.vx_q16 = truncToInt32(vx * 65536);
    drive.vy_q16 = truncToInt32(vy * 65536);
    drive.omega_q16 = truncToInt32(omega * 65536);
    base_set_velocity_request_t stop;
    std::memset(&stop, 0, sizeof stop);
    base_set_velocity_response_t response;
    std::memset(&response, 0, sizeof response);

    double x = 0, y = 0, theta = 0;
    const int64_t start = monotonicNanoseconds();
    const int64_t driveEnd = deadlineAfter(start, seconds);
    const int64_t finalEnd = deadlineAfter(start, seconds * 2);
    bool first = true;
    while (monotonicNanoseconds() < finalEnd) {
        if (interrupted()) {
            break;
        }
        const bool driving = monotonicNanoseconds() < driveEnd;
        std::memset(&response, 0, sizeof response);
        const int32_t answered = driver_->setVelocity(driving ? drive : stop, response);
        if (first) {
            first = false;  // the first answer covers the time before the run
            continue;
        }
        if (answered < 0) {
            continue;  // no answer, no known motion: integrate nothing
        }
        const double dx = static_cast<double>(response.dx_q16) / 65536;
        const double dy = static_cast<double>(response.dy_q16) / 65536;
        const double dtheta = static_cast<double>(response.dtheta_q16) / 65536 * PI_APPROX / 180;
        const double nx = x + std::cos(theta) * dx - std::sin(theta) * dy;
        const double ny = y + std::sin(theta) * dx + std::cos(theta) * dy;
        const double ntheta = theta + dtheta;
        logInfo(source,
                "dx=%8.5f dy=%8.5f dtheta=%5.1fdeg pose:(%8.5f, %8.5f, %5.1fdeg)->(%8.5f, %8.5f, %5.1fdeg)", dx, dy,
                toDegrees(dtheta), x, y, toDegrees(theta), nx, ny, toDegrees(ntheta));
        x = nx;
        y = ny;
        theta = ntheta;
    }
    driver_->setVelocity(stop, response);
    if (interrupted()) {
        logWarn(source, "Interrupted by %s, base stopped", interruptSignalName());
        return interruptStatus(interruptSignal());
    }
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
