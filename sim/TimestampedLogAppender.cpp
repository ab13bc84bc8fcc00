#include "sim/TimestampedLogAppender.h"

#include <cstdio>

#include "log/ConsoleLogAppender.h"
#include "log/LogLevel.h"
#include "sim/SimClock.h"
#include "sim/SimLog.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace util = nivo::system::util;

TimestampedLogAppender::TimestampedLogAppender(int64_t startNs, int outFd, int errFd)
    : startNs_(startNs), out_(outFd), err_(errFd) {
    level = util::LOG_DEBUG;
}

std::string TimestampedLogAppender::stamp(int64_t startNs, int64_t nowNs) {
    const int64_t ms = nowNs > startNs ? (nowNs - startNs) / 1000000 : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    return text;
}

std::string TimestampedLogAppender::format(const std::string& source, int lvl, const std::string& message) const {
    return stamp(startNs_, SteadyClock().nowNs()) + " [" + source + "] [" + util::ConsoleLogAppender::levelTag(lvl) +
           "] " + message + "\n";
}

void TimestampedLogAppender::put(LogOutput& stream, const std::string& text, const std::string& source) {
    const uint64_t dropped = stream.write(text);
    if (dropped > 0) {
        stream.write(format(source, util::LOG_WARN,
                            std::to_string(dropped) + " log line" + (dropped == 1 ? "" : "s") +
                                " dropped while the output was blocked"));
    }
}

void TimestampedLogAppender::append(const std::string& source, int lvl, const std::string& message) {
    put(lvl < util::LOG_WARN ? out_ : err_, format(source, lvl, message), source);
}

void TimestampedLogAppender::printBare(const std::string& line) { put(out_, line + "\n", LOG_SOURCE_SIM); }

void TimestampedLogAppender::finish() {
    const uint64_t out = out_.flush() + out_.untold();
    const uint64_t err = err_.flush() + err_.untold();
    if (out + err == 0) return;
    err_.write(format(LOG_SOURCE_SIM, util::LOG_WARN,
                      std::to_string(out + err) + " log line" + (out + err == 1 ? "" : "s") +
                          " dropped in all because the output was not being read"));
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
