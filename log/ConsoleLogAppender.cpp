#include "log/ConsoleLogAppender.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "log/StandardOutput.h"
#include "log/TextEscape.h"

namespace nivo {
namespace system {
namespace util {

namespace {

bool checkTerminal() {
    const char* term = std::getenv("TERM");
    if (term == nullptr) {
        return false;
    }
    return std::strcmp(term, "linux") == 0 || std::strcmp(term, "screen") == 0 ||
           std::strcmp(term, "xterm") == 0;
}

bool environmentAllowsColour() {
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour != nullptr && *noColour != '\0') {
        return false;
    }
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

}  // namespace

bool ConsoleLogAppender::terminalTakesColour() {
    static std::once_flag once;
    static bool takesColour = false;
    std::call_once(once, [] { takesColour = checkTerminal(); });
    return takesColour;
}

ConsoleLogAppender::ConsoleLogAppender() : ConsoleLogAppender(stdout, stderr) { guarded_ = true; }

ConsoleLogAppender::ConsoleLogAppender(FILE* out, FILE* err)
    : out_(out), err_(err), environmentAllowsColour_(environmentAllowsColour()) {
    level = LOG_DEBUG;
    terminalTakesColour();
}

const char* ConsoleLogAppender::levelTag(int lvl) {
    switch (lvl) {
        case LOG_INFO: return "INFO";
        case LOG_WARN: return "WARN";
        case LOG_ERROR: return "ERRO";
        case LOG_FATAL: return "FATL";
        default: return "DBUG";
    }
}

const char* ConsoleLogAppender::levelColour(int lvl) {
    // The console attributes grey, green, yellow and light red in ANSI form.
    switch (lvl) {
        case LOG_INFO: return "\033[32m";
        case LOG_WARN: return "\033[33m";
        case LOG_ERROR:
        case LOG_FATAL: return "\033[91m";
        default: return "\033[90m";
    }
}

bool ConsoleLogAppender::useColour(FILE* stream) const {
    if (!environmentAllowsColour_) {
        return false;
    }
    // Whether a stream is a terminal does not change while it is written;
    // asking once spares a system call per line.
    int& known = stream == out_ ? outIsTerminal_ : errIsTerminal_;
    if (known < 0) known = isatty(fileno(stream)) == 1 ? 1 : 0;
    return known == 1;
}

void ConsoleLogAppender::setOutputStream(FILE* out) {
    std::lock_guard<std::mutex> guard(mutex_);
    out_ = out;
}

void ConsoleLogAppender::append(const std::string& source, int lvl, const std::string& message) {
    FILE* stream;
    bool colour;
    bool toError;
    {
        // Only the choice of stream is guarded: no lock is held while the
        // line is written, which may block.
        std::lock_guard<std::mutex> guard(mutex_);
        stream = lvl < LOG_WARN ? out_ : err_;
        toError = stream == err_;
        colour = useColour(stream);
    }
    // The line is built in a buffer of the thread's, reused from line to
    // line, behind a prefix (colour, source, tag) kept from the last line:
    // a command logs line after line under the same source and level.
    struct Prefix {
        std::string source;
        int level = -1;
        bool colour = false;
        std::string text;
    };
    thread_local Prefix prefix;
    thread_local std::string line;
    if (prefix.level != lvl || prefix.colour != colour || prefix.source != source) {
        prefix.source = source;
        prefix.level = lvl;
        prefix.colour = colour;
        prefix.text.clear();
        if (colour) prefix.text += levelColour(lvl);
        prefix.text += '[';
        appendEscaped(prefix.text, source, KeepLayout::No);
        prefix.text += "] [";
        prefix.text += levelTag(lvl);
        prefix.text += "] ";
    }
    line.assign(prefix.text);
    // A message may quote what came from outside (a session line, a name
    // the base sent): control characters in it must not act on the
    // terminal, and bytes that are not UTF-8 must not reach it raw.
    appendEscaped(line, message, KeepLayout::TabAndNewline);
    if (colour) line += "\033[0m";
    line += '\n';
    if (guarded_) {
        // The process's own streams: never block a command that drives the base.
        StandardOutput::instance().write(toError ? 2 : 1, line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

}  // namespace util
}  // namespace system
}  // namespace nivo
