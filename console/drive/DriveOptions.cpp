#include "console/drive/DriveOptions.h"

#include "console/BumperPolarityOption.h"

namespace zorn {
namespace orbitane {
namespace test {

const char* const DRY_RUN_OPTION = "dry-run";
const char* const ACCEL_OPTION = "accel";
const char* const NEAR_OPTION = "near";

namespace {

// A long-only option, listed after the established ones.
ConsoleOption longOption(const char* longName, const char* name, bool hasArgument, const char* help) {
    ConsoleOption option;
    option.name = name;
    option.help = help;
    option.longName = longName;
    option.hasArgument = hasArgument;
    option.appended = true;
    return option;
}

}  // namespace

std::vector<ConsoleOption> driveOptions() {
    return {
        longOption(DRY_RUN_OPTION, "dry run", false,
                   "Drive command: show the view and the velocity it would send, without sending it"),
        longOption(ACCEL_OPTION, "acceleration", true,
                   "Drive command: acceleration limit in m/s^2 (default 0.5; braking is 4 times as quick)"),
        longOption(NEAR_OPTION, "near", true,
                   "Drive command: a distance sensor nearer than this many metres is highlighted, and motion "
                   "toward one nearer than half of it is refused (default 0.3)"),
        bumperActiveLowOption(),
    };
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
