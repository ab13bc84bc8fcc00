#include "log/LogManager.h"

#include <cstdio>

namespace nivo {
namespace system {
namespace util {

std::shared_ptr<LogManager> LogManager::defaultManager() {
    static std::once_flag once;
    static std::shared_ptr<LogManager> instance;
    std::call_once(once, [] { instance = std::make_shared<LogManager>(); });
    return instance;
}

void LogManager::addAppender(const std::shared_ptr<LogAppender>& appender) {
    std::lock_guard<std::mutex> guard(mutex_);
    appenders_.push_back(appender);
}

void LogManager::setLevel(int level) {
    std::lock_guard<std::mutex> guard(mutex_);
    level_ = level;
}

void LogManager::setExcludeLogSources(const std::vector<std::string>& sources) {
    std::lock_guard<std::mutex> guard(mutex_);
    excludeLogSources_ = sources;
}

bool LogManager::shouldDrop(const std::string& source, int level) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (level < level_ || logSourceExcluded(excludeLogSources_, source)) {
        return true;
    }
    for (const auto& appender : appenders_) {
        if (appender->accepts(source, level)) {
            return false;
        }
    }
    return true;
}

void LogManager::dispatch(const std::string& source, int level, const std::string& message) {
    if (shouldDrop(source, level)) {
        return;
    }
    std::list<std::shared_ptr<LogAppender>> snapshot;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        snapshot = appenders_;
    }
    // Appenders run without the manager's lock, so they may log themselves.
    for (const auto& appender : snapshot) {
        if (appender->accepts(source, level)) {
            appender->append(source, level, message);
        }
    }
}

void logMessage(const std::string& source, int level, const char* format, va_list args) {
    auto manager = LogManager::defaultManager();
    if (manager->shouldDrop(source, level)) {
        return;  // disabled messages cost no formatting
    }
    // Most lines fit a small stack buffer; only long ones (a configuration
    // dump) are formatted again on the heap.
    char small[512];
    va_list again;
    va_copy(again, args);
    int written = std::vsnprintf(small, sizeof small, format, args);
    std::string buffer;
    if (written < 0) {
        written = 0;
    }
    if (static_cast<size_t>(written) < sizeof small) {
        buffer.assign(small, static_cast<size_t>(written));
    } else {
        const size_t length = std::min<size_t>(static_cast<size_t>(written), LOG_MESSAGE_MAX);
        buffer.assign(length + 1, '\0');
        std::vsnprintf(&buffer[0], buffer.size(), format, again);
        buffer.resize(length);
    }
    va_end(again);
    manager->dispatch(source, level, buffer);
}

#define ORBITANE_DEFINE_LOG_FUNCTION(name, level)                   \
    void name(const std::string& source, const char* format, ...) { \
        va_list args;                                               \
        va_start(args, format);                                     \
        logMessage(source, level, format, args);                    \
        va_end(args);                                               \
    }

ORBITANE_DEFINE_LOG_FUNCTION(logDebug, LOG_DEBUG)
ORBITANE_DEFINE_LOG_FUNCTION(logInfo, LOG_INFO)
ORBITANE_DEFINE_LOG_FUNCTION(logWarn, LOG_WARN)
ORBITANE_DEFINE_LOG_FUNCTION(logError, LOG_ERROR)
ORBITANE_DEFINE_LOG_FUNCTION(logFatal, LOG_FATAL)

#undef ORBITANE_DEFINE_LOG_FUNCTION

}  // namespace util
}  // namespace system
}  // namespace nivo
