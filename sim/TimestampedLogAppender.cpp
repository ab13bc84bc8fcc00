#include "sim/TimestampedLogAppender.h"

#include "log/ConsoleLogAppender.h"
#include "log/LogLevel.h"
#include "sim/SimClock.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace util = nivo::system::util;

TimestampedLogAppender::TimestampedLogAppender(int64_t startNs, FILE* out, FILE* err)
    : startNs_(startNs), out_(out), err_(err) {
    level = util::LOG_DEBUG;
}

std::string TimestampedLogAppender::stamp(int64_t startNs, int64_t nowNs) {
    const int64_t ms = nowNs > startNs ? (nowNs - startNs) / 1000000 : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    return text;
}

void TimestampedLogAppender::append(const std::string& source, int lvl, const std::string& message) {
    const std::string when = stamp(startNs_, SteadyClock().nowNs());
    std::lock_guard<std::mutex> guard(mutex_);
    FILE* stream = lvl < util::LOG_WARN ? out_ : err_;
    std::fprintf(stream, "%s [%s] [%s] %s\n", when.c_str(), source.c_str(), util::ConsoleLogAppender::levelTag(lvl),
                 message.c_str());
    std::fflush(stream);
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
