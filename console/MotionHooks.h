#pragma once

// What a motion guard of the console needs: the recorded interrupt and the
// JSON output that carries the stop's outcome.

#include "drv/MotionGuard.h"

namespace zorn {
namespace orbitane {
namespace test {

zorn::drv::MotionGuard::Hooks consoleMotionHooks();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
