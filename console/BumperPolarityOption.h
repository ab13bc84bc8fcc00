#pragma once

#include "app/OptionParser.h"

namespace zorn {
namespace orbitane {
namespace test {

// --bumper-active-low: the bumper and cliff bits read the other way round,
// a clear bit being a triggered sensor. Both bumper (its JSON) and drive
// take it.
extern const char* const BUMPER_ACTIVE_LOW_OPTION;
ConsoleOption bumperActiveLowOption();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
