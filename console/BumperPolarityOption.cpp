#include "console/BumperPolarityOption.h"

namespace zorn {
namespace orbitane {
namespace test {

const char* const BUMPER_ACTIVE_LOW_OPTION = "bumper-active-low";

ConsoleOption bumperActiveLowOption() {
    ConsoleOption option;
    option.name = "bumper active low";
    option.help =
        "Bumper and cliff bits read the other way round: a clear bit is a triggered sensor (drive and JSON; the "
        "bumper listing is unchanged)";
    option.longName = BUMPER_ACTIVE_LOW_OPTION;
    option.appended = true;
    return option;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
