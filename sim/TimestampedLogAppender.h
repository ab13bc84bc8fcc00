#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "log/LogAppender.h"

namespace zorn {
namespace orbitane {
namespace sim {

// The simulator's console log: every line starts with the seconds since
// the simulator started, to the millisecond, on the steady clock, so that
// what the base did can be lined up with a timeline or a console's log:
//   "12.345 [source] [INFO] message"
// Debug and info lines go to `out`, warnings and worse to `err`.
class TimestampedLogAppender : public nivo::system::util::LogAppender {
public:
    TimestampedLogAppender(int64_t startNs, FILE* out = stdout, FILE* err = stderr);

    void append(const std::string& source, int level, const std::string& message) override;

    // "12.345": seconds from startNs to nowNs (never negative).
    static std::string stamp(int64_t startNs, int64_t nowNs);

private:
    int64_t startNs_;
    FILE* out_;
    FILE* err_;
    std::mutex mutex_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
