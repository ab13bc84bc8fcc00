#pragma once

// What run and vrun report about their motion: one reading per step (its
// log line, or with --json its object), and at the end one summary
// (duration, distance, mean speed, final pose) as a log line or a JSON
// object.

#include <cstdint>
#include <string>

#include "app/CommandResult.h"
#include "app/Reading.h"

namespace zorn {
namespace orbitane {
namespace test {

class RunReport {
public:
    // `wheels`: steps are wheel travel (run), else body displacement (vrun).
    RunReport(const std::string& command, bool wheels);

    // The motion starts now (origin of the duration).
    void start();
    // The reading of the next step, for the caller to add its line to.
    Reading newStep() const { return Reading(command_); }
    // A run step: wheel travel and the pose after it (mm, mm, degrees),
    // added to `step` and written.
    void wheelStep(Reading& step, double dlMm, double drMm, double xMm, double yMm, double headingDeg);
    // A vrun step: displacement in the robot frame and the pose after it.
    void bodyStep(Reading& step, double dxMm, double dyMm, double dHeadingDeg, double xMm, double yMm,
                  double headingDeg);
    // The motion ends now: the base is about to be told to stop.
    void stopping();
    // The summary, once the base was told to stop, with what came of it.
    void finish(const StopReport& stop);

    uint64_t steps() const { return steps_; }

private:
    // Counts a step, keeps its pose and numbers its reading.
    void step(double pathMm, double xMm, double yMm, double headingDeg, Reading& reading);
    // Adds the pose to the step's reading and writes it.
    void finishStep(Reading& reading, double xMm, double yMm, double headingDeg);

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
