#pragma once

// Log lines for assertions. One collector is registered on the default
// manager for the whole test program; each LogCapture empties it and reads
// what arrived since.

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/ConsoleLogAppender.h"
#include "log/Log.h"

namespace tests {
namespace support {

struct LogLine {
    std::string source;
    int level;
    std::string message;
    // "[TAG] message", with the console's level tags.
    std::string tagged() const {
        return std::string("[") + nivo::system::util::ConsoleLogAppender::levelTag(level) + "] " + message;
    }
};

// Records every line it is given; usable on its own manager as well.
class LogCollector : public nivo::system::util::LogAppender {
public:
    // The collector registered on the default manager.
    static LogCollector& instance() {
        static std::shared_ptr<LogCollector> collector = [] {
            auto created = std::make_shared<LogCollector>();
            nivo::system::util::LogManager::defaultManager()->addAppender(created);
            return created;
        }();
        return *collector;
    }

    void append(const std::string& source, int level, const std::string& message) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!throwOn_.empty() && message.rfind(throwOn_, 0) == 0) {
            throwOn_.clear();
            throw std::runtime_error("log line refused");
        }
        lines_.push_back(LogLine{source, level, message});
    }
    // The next line that starts with `prefix` makes the logging call throw,
    // as a failing appender would: a fault in the middle of a command.
    void throwOnce(const std::string& prefix) {
        std::lock_guard<std::mutex> guard(mutex_);
        throwOn_ = prefix;
    }
    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    std::string throwOn_;
};

// Lines of the default manager written while the capture is alive, of one
// source only when one is given.
class LogCapture {
public:
    explicit LogCapture(std::string source = std::string()) : source_(std::move(source)) { clear(); }

    void clear() { LogCollector::instance().clear(); }

    std::vector<LogLine> lines() const {
        std::vector<LogLine> out;
        for (LogLine& line : LogCollector::instance().lines()) {
            if (source_.empty() || line.source == source_) {
                out.push_back(std::move(line));
            }
        }
        return out;
    }

    // Just the messages, in order.
    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const LogLine& line : lines()) {
            texts.push_back(line.message);
        }
        return texts;
    }

    // Messages without the "Config content: ..." lines that follow each
    // configuration report.
    std::vector<std::string> reports() const {
        std::vector<std::string> texts;
        for (const std::string& message : messages()) {
            if (message.rfind("Config content: ", 0) != 0) {
                texts.push_back(message);
            }
        }
        return texts;
    }

private:
    std::string source_;
};

}  // namespace support
}  // namespace tests
