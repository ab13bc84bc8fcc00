// The config, sensor and bumper commands of the command table.
#include "console/BumperPolarityOption.h"
#include "console/ConfigCommands.h"
#include "console/OrbitaneBaseConsoleApplication.h"

namespace zorn {
namespace orbitane {
namespace test {

CommandResult OrbitaneBaseConsoleApplication::configCommand(const std::vector<std::string>&) {
    return ::zorn::orbitane::test::configCommand(base());
}

CommandResult OrbitaneBaseConsoleApplication::sensorCommand(const std::vector<std::string>&) {
    return ::zorn::orbitane::test::sensorCommand(base());
}

CommandResult OrbitaneBaseConsoleApplication::bumperCommand(const std::vector<std::string>&) {
    return ::zorn::orbitane::test::bumperCommand(base(), commandOption(BUMPER_ACTIVE_LOW_OPTION).isSet);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
