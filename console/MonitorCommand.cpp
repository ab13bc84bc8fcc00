// The monitor command: repeats another command until it fails.
#include "app/Interrupt.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

int OrbitaneBaseConsoleApplication::monitorCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 2 || args[1] == "monitor") {
        logFatal(source,
                 "monitor command requires at least one argument, such as: orbitane_console [options] monitor bumper");
        return 2;
    }
    InterruptScope interruptScope;
    const std::vector<std::string> repeated(args.begin() + 1, args.end());
    for (;;) {
        int result = commandTable().executeCommand(repeated);
        if (interrupted()) {
            logWarn(source, "Interrupted by %s, monitor stopped", interruptSignalName());
            return interruptStatus(interruptSignal());
        }
        // Any failure ends the loop, a usage error or an unknown command
        // included: repeating those would only print the same error forever.
        if (result != 0) {
            return result;
        }
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
