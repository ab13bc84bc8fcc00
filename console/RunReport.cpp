#include "console/RunReport.h"

#include <cmath>

#include "app/JsonOutput.h"
#include "console/RunClock.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

RunReport::RunReport(const std::string& command, bool wheels) : command_(command), wheels_(wheels) {}

void RunReport::start() { startNs_ = monotonicNanoseconds(); }

void RunReport::wheelStep(Reading& step, double dlMm, double drMm, double xMm, double yMm, double headingDeg) {
    leftMm_ += dlMm;
    rightMm_ += drMm;
    this->step(std::fabs((dlMm + drMm) * 0.5), xMm, yMm, headingDeg, step);
    step["dl_mm"] = dlMm;
    step["dr_mm"] = drMm;
    finishStep(step, xMm, yMm, headingDeg);
}

void RunReport::bodyStep(Reading& step, double dxMm, double dyMm, double dHeadingDeg, double xMm, double yMm,
                         double headingDeg) {
    this->step(std::hypot(dxMm, dyMm), xMm, yMm, headingDeg, step);
    step["dx_mm"] = dxMm;
    step["dy_mm"] = dyMm;
    step["dheading_deg"] = dHeadingDeg;
    finishStep(step, xMm, yMm, headingDeg);
}

void RunReport::step(double pathMm, double xMm, double yMm, double headingDeg, Reading& reading) {
    ++steps_;
    pathMm_ += pathMm;
    xMm_ = xMm;
    yMm_ = yMm;
    headingDeg_ = headingDeg;
    reading["step"] = static_cast<Json::UInt64>(steps_);
}

void RunReport::finishStep(Reading& reading, double xMm, double yMm, double headingDeg) {
    reading["x_mm"] = xMm;
    reading["y_mm"] = yMm;
    reading["heading_deg"] = headingDeg;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
}

void RunReport::stopping() { endNs_ = monotonicNanoseconds(); }

void RunReport::finish(const StopReport& stop) {
    const int64_t endNs = endNs_ >= 0 ? endNs_ : monotonicNanoseconds();
    const double seconds = static_cast<double>(endNs - startNs_) / 1e9;
    const double speed = seconds > 0 ? pathMm_ / seconds : 0.0;
    Reading summary(command_);
    summary["summary"] = true;
    summary["duration_s"] = seconds;
    summary["steps"] = static_cast<Json::UInt64>(steps_);
    if (wheels_) {
        summary["left_distance_mm"] = leftMm_;
        summary["right_distance_mm"] = rightMm_;
    } else {
        summary["distance_mm"] = pathMm_;
    }
    summary["mean_speed_mm_per_s"] = speed;
    summary["x_mm"] = xMm_;
    summary["y_mm"] = yMm_;
    summary["heading_deg"] = headingDeg_;
    addStopReport(summary.object(), stop);
    const unsigned long long steps = steps_;
    if (wheels_) {
        summary.info(
            "Run finished: %.3f s, %llu steps, left wheel %.1f mm, right wheel %.1f mm, mean speed %.1f mm/s, "
            "final pose (%.1f mm, %.1f mm, %.1f deg)",
            seconds, steps, leftMm_, rightMm_, speed, xMm_, yMm_, headingDeg_);
    } else {
        summary.info(
            "Vector run finished: %.3f s, %llu steps, distance %.1f mm, mean speed %.1f mm/s, "
            "final pose (%.1f mm, %.1f mm, %.1f deg)",
            seconds, steps, pathMm_, speed, xMm_, yMm_, headingDeg_);
    }
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, summary);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
