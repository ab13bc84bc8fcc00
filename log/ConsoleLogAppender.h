#pragma once

#include <cstdio>
#include <mutex>

#include "log/LogAppender.h"
#include "log/LogLevel.h"

namespace nivo {
namespace system {
namespace util {

// Writes "[source] [TAG] message" lines: debug and info to standard output,
// warn and above to standard error. Control characters other than tab and
// newline, and bytes that are not UTF-8, are written escaped (\x1B, \xFF).
// Lines are coloured with ANSI sequences only when the stream written is a
// terminal, NO_COLOR is unset or empty (the convention: present and not
// empty turns colour off) and TERM is set and not "dumb"; otherwise they are
// plain text.
class ConsoleLogAppender : public LogAppender {
public:
    ConsoleLogAppender();
    // Streams are injectable so tests can capture the output.
    ConsoleLogAppender(FILE* out, FILE* err);

    void append(const std::string& source, int level, const std::string& message) override;
    // Stream for debug and info lines from now on (standard error when
    // standard output carries machine-readable data).
    void setOutputStream(FILE* out);

    static const char* levelTag(int level);
    // ANSI colour sequence of a level ("" for none).
    static const char* levelColour(int level);
    // Result of the one-time TERM check: "linux", "screen" or "xterm" exactly.
    static bool terminalTakesColour();

private:
    bool useColour(FILE* stream) const;

    std::mutex mutex_;  // guards the streams and what is known of them, never a write
    FILE* out_;
    FILE* err_;
    bool guarded_ = false;  // writes go through StandardOutput
    // Whether out_ and err_ are terminals: -1 until asked (under mutex_).
    mutable int outIsTerminal_ = -1;
    mutable int errIsTerminal_ = -1;
    // NO_COLOR and TERM, read once when the appender is made rather than
    // for every line.
    bool environmentAllowsColour_ = false;
};

}  // namespace util
}  // namespace system
}  // namespace nivo
