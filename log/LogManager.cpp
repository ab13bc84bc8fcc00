#include "log/LogManager.h"

#include <algorithm>
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
    if (!appender) return;
    std::lock_guard<std::mutex> guard(mutex_);
    auto next = std::make_shared<Appenders>(*appenders_);
    next->push_back(appender);
    appenders_ = std::move(next);
}

LogManager::Registration LogManager::attach(const std::shared_ptr<LogAppender>& appender) {
    if (!appender) return Registration();
    addAppender(appender);
    return Registration(this, appender);
}

void LogManager::remove(const std::shared_ptr<LogAppender>& appender) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto next = std::make_shared<Appenders>(*appenders_);
    for (auto it = next->begin(); it != next->end(); ++it) {
        if (*it == appender) {
            next->erase(it);
            appenders_ = std::move(next);
            return;
        }
    }
}

LogManager::Registration::Registration(Registration&& other) noexcept
    : manager_(other.manager_), appender_(std::move(other.appender_)) {
    other.manager_ = nullptr;
}

LogManager::Registration& LogManager::Registration::operator=(Registration&& other) noexcept {
    if (this != &other) {
        reset();
        manager_ = other.manager_;
        appender_ = std::move(other.appender_);
        other.manager_ = nullptr;
    }
    return *this;
}

void LogManager::Registration::reset() {
    if (manager_ != nullptr) manager_->remove(appender_);
    manager_ = nullptr;
    appender_.reset();
}

LogManager::HoldBack::HoldBack(LogManager& manager) : manager_(manager) {
    std::lock_guard<std::mutex> guard(manager_.mutex_);
    ++manager_.holds_;
}

LogManager::HoldBack::~HoldBack() { manager_.releaseHold(); }

void LogManager::releaseHold() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (--holds_ > 0 || replaying_) return;
        replaying_ = true;
    }
    // Lines that come while the held ones are handed on queue behind them.
    for (;;) {
        std::vector<HeldLine> lines;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (held_.empty() || holds_ > 0) {
                replaying_ = false;
                return;
            }
            lines.swap(held_);
        }
        std::shared_ptr<const Appenders> appenders;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            appenders = appenders_;
        }
        for (const HeldLine& line : lines) deliver(*appenders, line.source, line.level, line.message);
    }
}

uint64_t LogManager::droppedHeldLines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return droppedHeld_;
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
    std::shared_ptr<const Appenders> appenders;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (level < level_ || logSourceExcluded(excludeLogSources_, source)) {
            return true;
        }
        appenders = appenders_;
    }
    for (const auto& appender : *appenders) {
        if (appender->accepts(source, level)) {
            return false;
        }
    }
    return true;
}

void LogManager::dispatch(const std::string& source, int level, const std::string& message) {
    // One look at the manager's state filters and delivers: this runs for
    // every reading a monitor logs. A held line is kept only if some
    // appender would take it.
    std::shared_ptr<const Appenders> appenders;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (level < level_ || logSourceExcluded(excludeLogSources_, source)) return;
        if (holds_ > 0 || replaying_) {
            bool accepted = false;
            for (const auto& appender : *appenders_) accepted = accepted || appender->accepts(source, level);
            if (!accepted) return;
            if (held_.size() < HOLD_LIMIT) held_.push_back(HeldLine{source, level, message});
            else ++droppedHeld_;
            return;
        }
        appenders = appenders_;
    }
    deliver(*appenders, source, level, message);
}

void LogManager::dispatchAccepted(const std::string& source, int level, const std::string& message) {
    std::shared_ptr<const Appenders> appenders;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (holds_ > 0 || replaying_) {
            if (held_.size() < HOLD_LIMIT) held_.push_back(HeldLine{source, level, message});
            else ++droppedHeld_;
            return;
        }
        appenders = appenders_;
    }
    deliver(*appenders, source, level, message);
}

void LogManager::deliver(const Appenders& appenders, const std::string& source, int level,
                         const std::string& message) {
    // Appenders run without the manager's lock, so they may log themselves.
    for (const auto& appender : appenders) {
        if (appender->accepts(source, level)) {
            appender->append(source, level, message);
        }
    }
}

namespace {

// The default manager, without the shared pointer's reference count per line.
LogManager& manager() {
    static LogManager& instance = *LogManager::defaultManager();
    return instance;
}

}  // namespace

void logMessage(const std::string& source, int level, const char* format, va_list args) {
    if (manager().shouldDrop(source, level)) {
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
    manager().dispatchAccepted(source, level, buffer);
}

void logText(const std::string& source, int level, const std::string& text) {
    if (text.size() <= LOG_MESSAGE_MAX) {
        manager().dispatch(source, level, text);
    } else {
        manager().dispatch(source, level, text.substr(0, LOG_MESSAGE_MAX));
    }
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
