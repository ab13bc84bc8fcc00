// The monitor command: repeats another command until it fails, is
// interrupted or has made --count readings, paced by --interval.
#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "app/Pacer.h"
#include "console/RunClock.h"
#include "log/Log.h"
#include "log/StandardOutput.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

CommandResult OrbitaneBaseConsoleApplication::monitorCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() < 2 || args[1] == "monitor") {
        logFatal(source,
                 "monitor command requires at least one argument, such as: orbitane_console [options] monitor bumper");
        return STATUS_COMMAND_USAGE;
    }
    if (args[1] == "session") {
        // A session reads standard input to its end; repeated, it would spin.
        logFatal(source, "monitor cannot repeat a session");
        return STATUS_COMMAND_USAGE;
    }
    if (args[1] == "drive") {
        // Its q would only end one round: the view would come straight back.
        logFatal(source, "monitor cannot repeat drive: it takes over the terminal");
        return STATUS_COMMAND_USAGE;
    }
    InterruptScope interruptScope;
    const std::vector<std::string> repeated(args.begin() + 1, args.end());
    const Pacing pace = pacing();
    Pacer pacer(pace.intervalSeconds, monotonicNanoseconds());
    for (uint64_t readings = 1;; ++readings) {
        const CommandResult result = commandTable().executeCommand(repeated);
        if (interrupted()) {
            logWarn(source, "Interrupted by %s, monitor stopped", interruptSignalName());
            return interruptStatus(interruptSignal());
        }
        // Any failure ends the loop, a usage error or an unknown command
        // included: repeating those would only print the same error forever.
        if (!result.ok()) {
            return result;
        }
        // Nobody reads the readings any more (a pipe whose reader left, a
        // full disk): end, as a Unix tool does, with the lost-output status.
        if (StandardOutput::instance().lost(1)) {
            return 0;
        }
        if (pace.count != 0 && readings >= pace.count) {
            return 0;  // --count readings made
        }
        if (!pacer.waitForNext()) {
            logWarn(source, "Interrupted by %s, monitor stopped", interruptSignalName());
            return interruptStatus(interruptSignal());
        }
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
