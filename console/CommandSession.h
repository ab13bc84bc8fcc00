#pragma once

// The session: commands read from standard input, one per line, run one
// after the other over the connection that is already open.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

struct SessionHooks {
    // Runs the words of one line (command name and arguments, options of
    // the command allowed); returns its result.
    std::function<int(const std::vector<std::string>&)> runLine;
    // Lists the commands (the "help" word of an interactive session).
    std::function<void()> printHelp;
};

// The words of a line: split at blanks; a word starting with '#' starts a
// comment that runs to the end of the line.
std::vector<std::string> splitSessionLine(const std::string& line);

// Reads commands from `input` until its end. Without a terminal: no prompt,
// and the first failing command ends the session with its result (0 when
// all succeed). An interrupt ends the session with 128 + signal.
int runScriptSession(FILE* input, const SessionHooks& hooks);

// Reads commands with a prompt, line editing and history. A failing command
// is reported and the session goes on; Ctrl-C stops the running command and
// returns to the prompt, at the prompt it ends the session (130). "quit",
// "exit" and the end of input end it with 0.
int runInteractiveSession(const SessionHooks& hooks);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
