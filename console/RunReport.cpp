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

void RunReport::wheelStep(double dlMm, double drMm, double xMm, double yMm, double headingDeg) {
    leftMm_ += dlMm;
    rightMm_ += drMm;
    Json::Value object;
    if (step(std::fabs((dlMm + drMm) * 0.5), xMm, yMm, headingDeg, object)) {
        object["dl_mm"] = dlMm;
        object["dr_mm"] = drMm;
        finishStep(object, xMm, yMm, headingDeg);
    }
}

void RunReport::bodyStep(double dxMm, double dyMm, double dHeadingDeg, double xMm, double yMm, double headingDeg) {
    Json::Value object;
    if (step(std::hypot(dxMm, dyMm), xMm, yMm, headingDeg, object)) {
        object["dx_mm"] = dxMm;
        object["dy_mm"] = dyMm;
        object["dheading_deg"] = dHeadingDeg;
        finishStep(object, xMm, yMm, headingDeg);
    }
}

bool RunReport::step(double pathMm, double xMm, double yMm, double headingDeg, Json::Value& object) {
    ++steps_;
    pathMm_ += pathMm;
    xMm_ = xMm;
    yMm_ = yMm;
    headingDeg_ = headingDeg;
    if (!jsonOutput()) return false;
    object = jsonReading(command_);
    object["step"] = static_cast<Json::UInt64>(steps_);
    return true;
}

void RunReport::finishStep(Json::Value& object, double xMm, double yMm, double headingDeg) {
    object["x_mm"] = xMm;
    object["y_mm"] = yMm;
    object["heading_deg"] = headingDeg;
    emitJson(object);
}

void RunReport::stopping() { endNs_ = monotonicNanoseconds(); }

void RunReport::finish() {
    const int64_t endNs = endNs_ >= 0 ? endNs_ : monotonicNanoseconds();
    const double seconds = static_cast<double>(endNs - startNs_) / 1e9;
    const double speed = seconds > 0 ? pathMm_ / seconds : 0.0;
    if (jsonOutput()) {
        Json::Value object = jsonReading(command_);
        object["summary"] = true;
        object["duration_s"] = seconds;
        object["steps"] = static_cast<Json::UInt64>(steps_);
        if (wheels_) {
            object["left_distance_mm"] = leftMm_;
            object["right_distance_mm"] = rightMm_;
        } else {
            object["distance_mm"] = pathMm_;
        }
        object["mean_speed_mm_per_s"] = speed;
        object["x_mm"] = xMm_;
        object["y_mm"] = yMm_;
        object["heading_deg"] = headingDeg_;
        addStopOutcome(object);
        emitJson(object);
        return;
    }
    const unsigned long long steps = steps_;
    if (wheels_) {
        logInfo(LOG_SOURCE_BASE_CONSOLE_APP,
                "Run finished: %.3f s, %llu steps, left wheel %.1f mm, right wheel %.1f mm, mean speed %.1f mm/s, "
                "final pose (%.1f mm, %.1f mm, %.1f deg)",
                seconds, steps, leftMm_, rightMm_, speed, xMm_, yMm_, headingDeg_);
    } else {
        logInfo(LOG_SOURCE_BASE_CONSOLE_APP,
                "Vector run finished: %.3f s, %llu steps, distance %.1f mm, mean speed %.1f mm/s, "
                "final pose (%.1f mm, %.1f mm, %.1f deg)",
                seconds, steps, pathMm_, speed, xMm_, yMm_, headingDeg_);
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
