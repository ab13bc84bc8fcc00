#pragma once

#include <cstdint>
#include <string>

#include "log/LogAppender.h"
#include "sim/LogOutput.h"

namespace zorn {
namespace orbitane {
namespace sim {

// The simulator's console log: every line starts with the seconds since
// the simulator started, to the millisecond, on the steady clock, so that
// what the base did can be lined up with a timeline or a console's log:
//   "12.345 [source] [INFO] message"
// Debug and info lines go to `outFd`, warnings and worse to `errFd`.
// Writing never blocks (see LogOutput): lines the reader has no room for
// are dropped, and how many is told once the output moves again.
class TimestampedLogAppender : public nivo::system::util::LogAppender {
public:
    TimestampedLogAppender(int64_t startNs, int outFd = 1, int errFd = 2);

    void append(const std::string& source, int level, const std::string& message) override;
    // A line without stamp (a ready line, "stopped on ...") on the output,
    // in order with the log lines.
    void printBare(const std::string& line);
    // Before exit: one more go at what waits, then a word on the error
    // stream about lines that never went out.
    void finish();

    // "12.345": seconds from startNs to nowNs (never negative).
    static std::string stamp(int64_t startNs, int64_t nowNs);

private:
    void put(LogOutput& stream, const std::string& text, const std::string& source);
    std::string format(const std::string& source, int level, const std::string& message) const;

    int64_t startNs_;
    LogOutput out_;
    LogOutput err_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
