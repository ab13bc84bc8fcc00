#include "console/CommandSession.h"

#include <editline/readline.h>
#include <signal.h>

#include <cstdlib>
#include <sstream>

#include "app/Interrupt.h"
#include "log/StandardOutput.h"
#include "log/TextEscape.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

const char* const PROMPT = "orbitane> ";

std::string tooLongProblem() { return "longer than " + std::to_string(MAX_SESSION_LINE) + " bytes"; }

bool isQuit(const std::vector<std::string>& words) {
    return words.size() == 1 && (words[0] == "quit" || words[0] == "exit");
}

}  // namespace

std::vector<std::string> splitSessionLine(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream stream(line);
    std::string word;
    while (stream >> word) {
        if (word[0] == '#') {
            break;
        }
        words.push_back(word);
    }
    return words;
}

LineRead readSessionLine(FILE* input, std::string& line) {
    line.clear();
    bool tooLong = false;
    bool sawAny = false;
    int c = EOF;
    ::flockfile(input);
    while ((c = ::getc_unlocked(input)) != EOF) {
        sawAny = true;
        if (c == '\n') break;
        // One byte past the limit is kept to tell a CR of "\r\n" from a
        // line that really is too long.
        if (line.size() <= MAX_SESSION_LINE) {
            line += static_cast<char>(c);
        } else {
            tooLong = true;  // the rest of the line is read and dropped
        }
    }
    const bool failed = c == EOF && ::ferror(input) != 0;
    ::funlockfile(input);
    if (failed || !sawAny) {
        return LineRead::End;  // end of input (or a read error, which ends it too)
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tooLong || line.size() > MAX_SESSION_LINE) {
        line.resize(MAX_SESSION_LINE);
        return LineRead::TooLong;
    }
    return LineRead::Line;
}

std::string sessionLineProblem(const std::string& line) {
    if (line.size() > MAX_SESSION_LINE) {
        return tooLongProblem();
    }
    if (line.find('\0') != std::string::npos) {
        return "contains a NUL byte";
    }
    if (!nivo::system::util::isValidUtf8(line)) {
        return "not valid UTF-8";
    }
    return std::string();
}

std::string sessionLineEcho(const std::string& line) {
    const size_t shown = 64;
    if (line.size() <= shown) {
        return nivo::system::util::escapeControlAndInvalid(line, nivo::system::util::KeepLayout::No);
    }
    // Cut before a character, not inside one.
    size_t cut = shown;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80 && shown - cut < 3) --cut;
    return nivo::system::util::escapeControlAndInvalid(line.substr(0, cut), nivo::system::util::KeepLayout::No) +
           "...";
}

int runScriptSession(FILE* input, const SessionHooks& hooks) {
    InterruptScope interruptScope;
    std::string line;
    int result = 0;
    // Keeps the first failure's status; true when the session ends at it.
    const auto failed = [&](int status) {
        if (result == 0) result = status;
        return !hooks.keepGoing;
    };
    for (;;) {
        const LineRead read = readSessionLine(input, line);
        if (interrupted()) {
            hooks.interrupted({});
            result = interruptStatus(interruptSignal());
            break;
        }
        if (read == LineRead::End) {
            break;
        }
        const std::string problem = read == LineRead::TooLong ? tooLongProblem() : sessionLineProblem(line);
        if (!problem.empty()) {
            const int status = hooks.refuseLine(sessionLineEcho(line), problem);
            if (status != 0 && failed(status)) {
                break;  // like a failing command
            }
            continue;
        }
        const std::vector<std::string> words = splitSessionLine(line);
        if (words.empty()) {
            continue;
        }
        if (isQuit(words)) {
            break;
        }
        bool skipped = false;  // refused for its options: a failure like any other here
        const int status = hooks.runLine(words, skipped);
        if (interrupted()) {
            hooks.interrupted(words);
            result = interruptStatus(interruptSignal());
            break;
        }
        if (status != 0 && (failed(status) || (hooks.stopUnconfirmed && hooks.stopUnconfirmed()))) {
            break;  // like a shell script under set -e; never on past a base that may still move
        }
        if (nivo::system::util::StandardOutput::instance().lost(1)) {
            break;  // nobody reads the results any more
        }
    }
    return result;
}

int runInteractiveSession(const SessionHooks& hooks) {
    InterruptScope interruptScope;
    // Signals reach the console's own handler: libedit would otherwise
    // re-send them to the whole process group.
    rl_catch_signals = 0;
    using_history();
    int result = 0;
    for (;;) {
        // The prompt is written directly: let the queued lines go first.
        nivo::system::util::StandardOutput::instance().flush();
        char* line = readline(PROMPT);
        if (interrupted()) {
            std::free(line);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            hooks.interrupted({});
            result = interruptStatus(interruptSignal());
            break;
        }
        if (line == nullptr) {
            std::fputc('\n', stdout);  // end of input (Ctrl-D): leave the prompt line
            std::fflush(stdout);
            break;
        }
        const std::string text(line);
        std::free(line);
        const std::string problem = sessionLineProblem(text);
        if (!problem.empty()) {
            hooks.refuseLine(sessionLineEcho(text), problem);  // reported; the session goes on
            continue;
        }
        const std::vector<std::string> words = splitSessionLine(text);
        if (!words.empty()) {
            add_history(text.c_str());
        }
        if (words.empty()) {
            continue;
        }
        if (isQuit(words)) {
            break;
        }
        if (words.size() == 1 && words[0] == "help") {
            nivo::system::util::StandardOutput::instance().flush();
            hooks.printHelp();
            continue;
        }
        bool skipped = false;
        hooks.runLine(words, skipped);  // the frame reported the outcome
        if (interrupted()) {
            if (interruptSignal() != SIGINT) {
                hooks.interrupted(words);
                result = interruptStatus(interruptSignal());
                break;  // asked to terminate, not only to stop the command
            }
            clearInterrupt();
        }
    }
    clear_history();
    return result;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
