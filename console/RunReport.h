#pragma once

// What run and vrun report about their motion: with --json one object per
// step, and at the end one summary (duration, distance, mean speed, final
// pose) as a log line or a JSON object.

#include <cstdint>
#include <string>

namespace Json {
class Value;
}

namespace zorn {
namespace orbitane {
namespace test {

class RunReport {
public:
    // `wheels`: steps are wheel travel (run), else body displacement (vrun).
    RunReport(const std::string& command, bool wheels);

    // The motion starts now (origin of the duration).
    void start();
    // A run step: wheel travel and the pose after it (mm, mm, degrees).
    void wheelStep(double dlMm, double drMm, double xMm, double yMm, double headingDeg);
    // A vrun step: displacement in the robot frame and the pose after it.
    void bodyStep(double dxMm, double dyMm, double dHeadingDeg, double xMm, double yMm, double headingDeg);
    // The motion ends now: the base is about to be told to stop.
    void stopping();
    // The summary, once the base was told to stop.
    void finish();

    uint64_t steps() const { return steps_; }

private:
    // Counts a step and keeps its pose; with --json, starts its object
    // (true) for the caller to fill.
    bool step(double pathMm, double xMm, double yMm, double headingDeg, Json::Value& object);
    // Adds the pose to the step's object and writes it.
    void finishStep(Json::Value& object, double xMm, double yMm, double headingDeg);

    std::string command_;
    bool wheels_;
    int64_t startNs_ = 0;
    int64_t endNs_ = -1;
    uint64_t steps_ = 0;
    double leftMm_ = 0, rightMm_ = 0, pathMm_ = 0;
    double xMm_ = 0, yMm_ = 0, headingDeg_ = 0;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
