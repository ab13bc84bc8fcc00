#include "log/LogAppender.h"

namespace nivo {
namespace system {
namespace util {

bool logSourceMatches(const std::string& entry, const std::string& source) {
    if (source.size() < entry.size() || source.compare(0, entry.size(), entry) != 0) {
        return false;
    }
    return source.size() == entry.size() || source[entry.size()] == '.';
}

bool logSourceExcluded(const std::vector<std::string>& entries, const std::string& source) {
    for (const auto& entry : entries) {
        if (logSourceMatches(entry, source)) {
            return true;
        }
    }
    return false;
}

bool LogAppender::accepts(const std::string& source, int lvl) const {
    return lvl >= level && !logSourceExcluded(excludeLogSources, source);
}

}  // namespace util
}  // namespace system
}  // namespace nivo
