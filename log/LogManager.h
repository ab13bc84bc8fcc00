#pragma once

#include <cstdarg>
#include <cstdint>
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
// it is formatted, then hands the text to every interested appender. No lock
// of the manager is held while an appender writes.
class LogManager {
public:
    static std::shared_ptr<LogManager> defaultManager();

    // Keeps an appender registered while it lives: destroying or resetting
    // it removes the appender again. It must not outlive its manager.
    // Move-only.
    class Registration {
    public:
        Registration() = default;
        Registration(LogManager* manager, std::shared_ptr<LogAppender> appender)
            : manager_(manager), appender_(std::move(appender)) {}
        Registration(Registration&& other) noexcept;
        Registration& operator=(Registration&& other) noexcept;
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        ~Registration() { reset(); }
        void reset();
        explicit operator bool() const { return manager_ != nullptr; }

    private:
        LogManager* manager_ = nullptr;
        std::shared_ptr<LogAppender> appender_;
    };

    // While one is alive, lines that pass the manager's checks are held back
    // instead of reaching the appenders (a full-screen view would be torn by
    // them); when the last one goes they are handed to the appenders in the
    // order they came, before any line that comes after. At most
    // HOLD_LIMIT lines are kept; later ones are dropped and counted.
    class HoldBack {
    public:
        explicit HoldBack(LogManager& manager = *defaultManager());
        ~HoldBack();
        HoldBack(const HoldBack&) = delete;
        HoldBack& operator=(const HoldBack&) = delete;

    private:
        LogManager& manager_;
    };
    static constexpr size_t HOLD_LIMIT = 10000;

    // Registers the appender for as long as the registration lives.
    [[nodiscard]] Registration attach(const std::shared_ptr<LogAppender>& appender);
    // Registers the appender for the manager's whole life (a program's own
    // output).
    void addAppender(const std::shared_ptr<LogAppender>& appender);
    bool shouldDrop(const std::string& source, int level);
    void dispatch(const std::string& source, int level, const std::string& message);
    // dispatch() for a line that shouldDrop() has just let through.
    void dispatchAccepted(const std::string& source, int level, const std::string& message);
    // Lines dropped because more than HOLD_LIMIT were held back.
    uint64_t droppedHeldLines();

    // Settings of the manager itself (nothing in the console changes them).
    void setLevel(int level);
    void setExcludeLogSources(const std::vector<std::string>& sources);

private:
    struct HeldLine {
        std::string source;
        int level;
        std::string message;
    };
    using Appenders = std::vector<std::shared_ptr<LogAppender>>;
    void remove(const std::shared_ptr<LogAppender>& appender);
    void deliver(const Appenders& appenders, const std::string& source, int level, const std::string& message);
    void releaseHold();

    std::mutex mutex_;
    // Replaced, never changed in place: a line being written keeps the list
    // it started with while appenders come and go.
    std::shared_ptr<const Appenders> appenders_ = std::make_shared<const Appenders>();
    int level_ = LOG_INFO;
    std::vector<std::string> excludeLogSources_;
    int holds_ = 0;          // HoldBack scopes alive
    bool replaying_ = false;  // held lines are being handed on: later ones queue behind
    std::vector<HeldLine> held_;
    uint64_t droppedHeld_ = 0;
};

// Largest formatted message; longer ones are cut to this many characters.
constexpr size_t LOG_MESSAGE_MAX = 65535;

void logMessage(const std::string& source, int level, const char* format, va_list args);
// A line that is already text (no printf formatting), cut to LOG_MESSAGE_MAX.
void logText(const std::string& source, int level, const std::string& text);

void logDebug(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logInfo(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logWarn(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logFatal(const std::string& source, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace util
}  // namespace system
}  // namespace nivo
