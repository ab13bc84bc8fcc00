#pragma once

#include <string>
#include <vector>

namespace nivo {
namespace system {
namespace util {

// True when `source` equals `entry` or extends it by "." and more
// (entry "a.b" excludes "a.b" and "a.b.c", not "a.bc").
bool logSourceMatches(const std::string& entry, const std::string& source);
bool logSourceExcluded(const std::vector<std::string>& entries, const std::string& source);

// Base of every log target: a threshold and a list of excluded sources.
class LogAppender {
public:
    virtual ~LogAppender() = default;
    virtual void append(const std::string& source, int level, const std::string& message) = 0;

    // True when this appender takes messages of `source` at `level`.
    bool accepts(const std::string& source, int level) const;

    int level = 0;
    std::vector<std::string> excludeLogSources;
};

}  // namespace util
}  // namespace system
}  // namespace nivo
