#pragma once

#include <vector>

#include "app/OptionParser.h"

namespace zorn {
namespace orbitane {
namespace test {

// The long names of drive's own options, to read them back with
// OrbitaneConsoleApplication::commandOption.
extern const char* const DRY_RUN_OPTION;  // show the velocity, send none
extern const char* const ACCEL_OPTION;    // acceleration limit, m/s^2
extern const char* const NEAR_OPTION;     // distance that counts as near, m

// Every option drive takes besides the common ones, as the command table
// lists them: the three above and --bumper-active-low.
std::vector<ConsoleOption> driveOptions();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
