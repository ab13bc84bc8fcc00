// The config, sensor and bumper commands of the command table.
#include "console/BumperPolarityOption.h"
#include "console/ConfigCommands.h"
#include "console/OrbitaneBaseConsoleApplication.h"

namespace zorn {
namespace orbitane {
namespace test {

CommandResult OrbitaneBaseConsoleApplication::configCommand(const std::vector<std::string>&) {
    return ::zorn::orbitane::test::configCommand(*driver_);
}

CommandResult OrbitaneBaseConsoleApplication::sensorCommand(const std::vector<std::string>&) {
    return ::zorn::orbitane::test::sensorCommand(*driver_, &connectionConfig_);
}

CommandResult OrbitaneBaseConsoleApplication::bumperCommand(const std::vector<std::string>&) {
    return ::zorn::orbitane::test::bumperCommand(*driver_, &connectionConfig_, commandOption(BUMPER_ACTIVE_LOW_OPTION).isSet);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
