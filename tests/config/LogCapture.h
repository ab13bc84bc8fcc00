#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/Log.h"

namespace orbitane {
namespace configtest {

struct LogLine {
    std::string source;
    int level;
    std::string message;
};

// Collects every log line of the process; one instance is added to the
// default manager for the whole test run and cleared by each LogCapture.
class CollectingAppender : public nivo::system::util::LogAppender {
public:
    void append(const std::string& source, int lvl, const std::string& message) override {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back({source, lvl, message});
    }
    std::vector<LogLine> lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }

    static CollectingAppender& instance() {
        static std::shared_ptr<CollectingAppender> appender = [] {
            auto created = std::make_shared<CollectingAppender>();
            nivo::system::util::LogManager::defaultManager()->addAppender(created);
            return created;
        }();
        return *appender;
    }

private:
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// Log lines written while the capture is alive.
class LogCapture {
public:
    LogCapture() { CollectingAppender::instance().clear(); }

    std::vector<LogLine> lines() const { return CollectingAppender::instance().lines(); }

    // Just the messages, in order.
    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const LogLine& line : lines()) {
            texts.push_back(line.message);
        }
        return texts;
    }

    // Messages without the "Config content: ..." lines that follow each report.
    std::vector<std::string> reports() const {
        std::vector<std::string> texts;
        for (const LogLine& line : lines()) {
            if (line.message.rfind("Config content: ", 0) != 0) {
                texts.push_back(line.message);
            }
        }
        return texts;
    }
};

}  // namespace configtest
}  // namespace orbitane
