// The monitor command: repeats another command, or takes a list of readings
// in turn, until one fails, it is interrupted, or it has made --count
// rounds or run for --duration, paced by --interval.
#include "app/CsvOutput.h"
#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "console/MonitorPlan.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "app/Pacer.h"
#include "console/RunClock.h"
#include "log/Log.h"
#include "log/StandardOutput.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

std::string OrbitaneBaseConsoleApplication::csvRefusal(const std::vector<std::string>& args) const {
    return csvRefusalFor(args);
}

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
    const MonitorPlan plan = planMonitor(args);
    if (!plan.error.empty()) {
        logFatal(source, "%s", plan.error.c_str());
        return STATUS_COMMAND_USAGE;
    }
    InterruptScope interruptScope;
    // One CSV header for the columns of every reading of a round.
    expectCsvRows(plan.round.size());
    const Pacing pace = pacing();
    const int64_t start = monotonicNanoseconds();
    const int64_t end = pace.durationSeconds > 0 ? deadlineAfter(start, pace.durationSeconds) : INT64_MAX;
    Pacer pacer(pace.intervalSeconds, start);
    for (uint64_t rounds = 1;; ++rounds) {
        for (const std::vector<std::string>& repeated : plan.round) {
            CommandResult result = commandTable().executeCommand(repeated);
            if (interrupted()) {
                logWarn(source, "Interrupted by %s, monitor stopped", interruptSignalName());
                return interruptStatus(interruptSignal());
            }
            // Any failure ends the loop, a usage error or an unknown command
            // included: repeating those would only print the same error
            // forever. It is the failing reading's, not monitor's.
            if (!result.ok()) {
                return result.withCommand(repeated[0]);
            }
        }
        // Nobody reads the readings any more (a pipe whose reader left, a
        // full disk): end, as a Unix tool does, with the lost-output status.
        if (StandardOutput::instance().lost(1)) {
            return 0;
        }
        if (pace.count != 0 && rounds >= pace.count) {
            return 0;  // --count rounds made
        }
        if (monotonicNanoseconds() >= end) {
            return 0;  // --duration is over: no reading starts after it
        }
        if (!pacer.waitForNext(end)) {
            logWarn(source, "Interrupted by %s, monitor stopped", interruptSignalName());
            return interruptStatus(interruptSignal());
        }
        if (monotonicNanoseconds() >= end) {
            return 0;
        }
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
