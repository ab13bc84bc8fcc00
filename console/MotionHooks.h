#pragma once

// What a motion guard of the console needs (the recorded interrupt), and
// what a command that moved the base returns.

#include "app/CommandResult.h"
#include "drv/MotionGuard.h"
#include "orbitane/Values.h"

namespace zorn {
namespace orbitane {
namespace test {

zorn::drv::MotionGuard::Hooks consoleMotionHooks();

// The stop's outcome, as the result and the JSON carry it.
StopReport stopReportOf(const zorn::drv::StopOutcome& outcome);
// The result of a command that may have moved the base, with its stop: an
// interrupt wins (128 + the signal), then a stop the base did not confirm
// (its failure says why), then the command's own result.
CommandResult motionResult(const zorn::drv::MotionGuard& guard, const CommandResult& own);
// The same for a motion scope of the library, from its stop's outcome.
CommandResult motionResult(const ::orbitane::StopOutcome& stop, const CommandResult& own);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
