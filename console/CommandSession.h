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

// The longest session line, line ending not counted.
constexpr size_t MAX_SESSION_LINE = 4096;

struct SessionHooks {
    // Runs the words of one line (command name and arguments, options of
    // the command allowed); returns its result. Sets `skipped` for a line
    // that was not run because of its options: the session goes on.
    std::function<int(const std::vector<std::string>& words, bool& skipped)> runLine;
    // Reports a line that is not run: `echo` is its text (escaped, and cut
    // short when the line was too long), `reason` why it was refused.
    // Returns the session's status for it.
    std::function<int(const std::string& echo, const std::string& reason)> refuseLine;
    // Lists the commands (the "help" word of an interactive session).
    std::function<void()> printHelp;
    // The session ends because of a signal; `words` are those of the line
    // that was running (empty when it waited for a line).
    std::function<void(const std::vector<std::string>& words)> interrupted;
    // Without a terminal: go on after a failing (or refused) line, and end
    // with the first failure's status (--keep-going).
    bool keepGoing = false;
    // The line that just failed moved the base and could not confirm its
    // stop: the session ends there even with keepGoing.
    std::function<bool()> stopUnconfirmed;
};

// The words of a line: split at blanks; a word starting with '#' starts a
// comment that runs to the end of the line.
std::vector<std::string> splitSessionLine(const std::string& line);

enum class LineRead { Line, TooLong, End };

// Reads one line of `input` into `line` without its line ending ("\n" or
// "\r\n"); the last line may lack one. A line longer than MAX_SESSION_LINE
// bytes gives TooLong with its first MAX_SESSION_LINE bytes in `line`; the
// rest of it, up to its newline, is read and dropped, so the next read
// starts at the next line.
LineRead readSessionLine(FILE* input, std::string& line);

// Why a line cannot be run (a NUL byte, bytes that are not UTF-8, more than
// MAX_SESSION_LINE bytes), or "" when it can.
std::string sessionLineProblem(const std::string& line);

// The text of a refused line as it is shown: control characters and bytes
// that are not UTF-8 escaped (\xFF), at most its first 64 bytes then "...".
std::string sessionLineEcho(const std::string& line);

// Reads commands from `input` until its end. Without a terminal: no prompt,
// and the first failing command (or refused line) ends the session with its
// result (0 when all succeed); with keepGoing the session goes on to the
// next line and ends, at the end of its input, with the first failure's
// result. An interrupt ends the session with 128 + signal.
int runScriptSession(FILE* input, const SessionHooks& hooks);

// Reads commands with a prompt, line editing and history. A failing command
// is reported and the session goes on; Ctrl-C stops the running command and
// returns to the prompt, at the prompt it ends the session (130). "quit",
// "exit" and the end of input end it with 0.
int runInteractiveSession(const SessionHooks& hooks);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
