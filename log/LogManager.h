#pragma once

#include <cstdarg>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/LogAppender.h"
#include "log/LogLevel.h"

namespace nivo {
namespace system {
namespace util {

// Process-wide log manager: decides whether anybody wants a message before
// it is formatted, then hands the text to every interested appender.
class LogManager {
public:
    static std::shared_ptr<LogManager> defaultManager();

    void addAppender(const std::shared_ptr<LogAppender>& appender);
    bool shouldDrop(const std::string& source, int level);
    void dispatch(const std::string& source, int level, const std::string& message);

    // Settings of the manager itself (nothing in the console changes them).
    void setLevel(int level);
    void setExcludeLogSources(const std::vector<std::string>& sources);

private:
    std::mutex mutex_;
    std::list<std::shared_ptr<LogAppender>> appenders_;
    int level_ = LOG_INFO;
    std::vector<std::string> excludeLogSources_;
};

// Largest formatted message; longer ones are cut to this many characters.
constexpr size_t LOG_MESSAGE_MAX = 65535;

void logMessage(const std::string& source, int level, const char* format, va_list args);

void logDebug(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logInfo(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logWarn(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logFatal(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace util
}  // namespace system
}  // namespace nivo
