#include "console/CommandSession.h"

#include <editline/readline.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "app/Interrupt.h"
#include "log/StandardOutput.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

const char* const PROMPT = "orbitane> ";

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

int runScriptSession(FILE* input, const SessionHooks& hooks) {
    InterruptScope interruptScope;
    char* buffer = nullptr;
    size_t capacity = 0;
    int result = 0;
    for (;;) {
        errno = 0;
        const ssize_t length = ::getline(&buffer, &capacity, input);
        if (interrupted()) {
            result = interruptStatus(interruptSignal());
            break;
        }
        if (length < 0) {
            break;  // end of input (or a read error, which ends it too)
        }
        const std::vector<std::string> words = splitSessionLine(std::string(buffer, static_cast<size_t>(length)));
        if (words.empty()) {
            continue;
        }
        if (isQuit(words)) {
            break;
        }
        result = hooks.runLine(words);
        if (interrupted()) {
            result = interruptStatus(interruptSignal());
            break;
        }
        if (result != 0) {
            break;  // like a shell script under set -e
        }
        if (nivo::system::util::StandardOutput::instance().lost(1)) {
            break;  // nobody reads the results any more
        }
    }
    std::free(buffer);
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
            result = interruptStatus(interruptSignal());
            break;
        }
        if (line == nullptr) {
            std::fputc('\n', stdout);  // end of input (Ctrl-D): leave the prompt line
            std::fflush(stdout);
            break;
        }
        const std::vector<std::string> words = splitSessionLine(line);
        if (!words.empty()) {
            add_history(line);
        }
        std::free(line);
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
        hooks.runLine(words);  // the frame reported the outcome
        if (interrupted()) {
            if (interruptSignal() != SIGINT) {
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
