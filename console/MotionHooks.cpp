#include "console/MotionHooks.h"

#include "app/Interrupt.h"
#include "app/JsonOutput.h"

namespace zorn {
namespace orbitane {
namespace test {

zorn::drv::MotionGuard::Hooks consoleMotionHooks() {
    zorn::drv::MotionGuard::Hooks hooks;
    hooks.interruptSignal = interruptSignal;
    hooks.interruptSignalName = interruptSignalName;
    hooks.outcome = noteStopOutcome;
    return hooks;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
