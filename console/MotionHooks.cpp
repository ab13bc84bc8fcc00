#include "console/MotionHooks.h"

#include "app/Interrupt.h"
#include "console/ApiClient.h"

namespace zorn {
namespace orbitane {
namespace test {

zorn::drv::MotionGuard::Hooks consoleMotionHooks() {
    zorn::drv::MotionGuard::Hooks hooks;
    hooks.interruptSignal = interruptSignal;
    hooks.interruptSignalName = interruptSignalName;
    return hooks;
}

StopReport stopReportOf(const zorn::drv::StopOutcome& outcome) {
    StopReport report;
    report.sent = outcome.sent;
    report.confirmed = outcome.confirmed;
    report.result = outcome.result();
    return report;
}

CommandResult motionResult(const zorn::drv::MotionGuard& guard, const CommandResult& own) {
    const StopReport stop = stopReportOf(guard.outcome());
    CommandResult result = own;
    if (interrupted()) {
        result = CommandResult(interruptStatus(interruptSignal()));
    } else if (stop.sent && !stop.confirmed) {
        result = CommandResult(guard.outcome().failure);
    }
    return result.withStop(stop);
}

CommandResult motionResult(const ::orbitane::StopOutcome& stop, const CommandResult& own) {
    CommandResult result = own;
    if (interrupted()) {
        result = CommandResult(interruptStatus(interruptSignal()));
    } else if (stop.sent && !stop.confirmed) {
        result = CommandResult(failureOf(stop));
    }
    return result.withStop(stopReportOf(stop));
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
