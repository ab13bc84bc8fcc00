// The session command: many commands over the one open connection.
#include <unistd.h>

#include <cstdio>

#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "app/JsonOutput.h"
#include "console/CommandSession.h"
#include "console/KeepGoingOption.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

CommandResult OrbitaneBaseConsoleApplication::sessionCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (inSession_) {
        logFatal(source, "A session cannot run inside a session");
        return STATUS_COMMAND_USAGE;
    }
    if (args.size() > 1) {
        logFatal(source, "session takes no arguments; it reads commands from standard input");
        return STATUS_COMMAND_USAGE;
    }
    SessionHooks hooks;
    FailureCause usage;
    usage.kind = failure::USAGE;
    hooks.refuseLine = [&source, usage](const std::string& echo, const std::string& reason) {
        startCommandClock();
        logFatal(source, "Refused session line \"%s\": %s", echo.c_str(), reason.c_str());
        if (jsonOutput()) {
            emitJsonError(echo, "invalid line: " + reason, STATUS_COMMAND_USAGE, usage);
        }
        return static_cast<int>(STATUS_COMMAND_USAGE);
    };
    bool stopUnconfirmed = false;
    hooks.runLine = [this, refuse = hooks.refuseLine, &stopUnconfirmed](const std::vector<std::string>& words,
                                                                         bool& skipped) {
        stopUnconfirmed = false;
        // The view takes over the terminal and standard input the session
        // reads its lines from.
        if (!words.empty() && words[0] == "drive") {
            return refuse(words[0], "drive takes over the terminal; run it on its own");
        }
        const CommandResult result = executeSessionLine(words, skipped);
        stopUnconfirmed = result.stop().sent && !result.stop().confirmed;
        return result.status();
    };
    hooks.stopUnconfirmed = [&stopUnconfirmed, &source] {
        if (stopUnconfirmed) {
            logError(source, "The base may still be moving: the session ends here, --keep-going or not");
        }
        return stopUnconfirmed;
    };
    hooks.interrupted = [this, &source](const std::vector<std::string>& words) {
        // A command the signal did not end (it had finished, or the session
        // waited for a line) has not said so: the session's end does, once.
        if (!words.empty() && interruptReported()) return;
        const std::string command = words.empty() ? std::string("session") : lineCommand(words);
        logWarn(source, "Interrupted by %s, session ended", interruptSignalName());
        if (jsonOutput()) {
            FailureCause cause;
            cause.kind = failure::INTERRUPTED;
            emitJsonError(command, std::string("interrupted by ") + interruptSignalName(),
                          interruptStatus(interruptSignal()), cause);
        }
    };
    hooks.printHelp = [this] {
        commandTable().printCommands();
        std::fprintf(stderr, "%-10s %s\n", "help", "List the commands");
        std::fprintf(stderr, "%-10s %s\n", "quit", "End the session (also exit, Ctrl-D)");
        std::fprintf(stderr, "Options of a command line: --interval SECONDS, --count N\n");
        std::fprintf(stderr, "                           --duration SECONDS (monitor)\n");
    };
    hooks.keepGoing = commandOption(KEEP_GOING_OPTION).isSet;
    inSession_ = true;
    const bool terminal = isatty(STDIN_FILENO) == 1;
    const int result = terminal ? runInteractiveSession(hooks) : runScriptSession(stdin, hooks);
    inSession_ = false;
    markOutcomeReported();
    return result;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
