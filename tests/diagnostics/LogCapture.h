#pragma once

// Collects the log lines of the self-test source for assertions. One
// appender is registered on the default log manager for the whole test
// program (appenders cannot be removed); each test clears it first.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/Log.h"

namespace diagtest {

struct LogLine {
    int level;
    std::string message;
};

class CapturingAppender : public nivo::system::util::LogAppender {
public:
    void append(const std::string& source, int level, const std::string& message) override {
        if (source != nivo::system::util::LOG_SOURCE_TEST) {
            return;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back(LogLine{level, message});
    }
    std::vector<LogLine> lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// The program-wide capture, registered on first use and emptied.
inline CapturingAppender& freshLogCapture() {
    static std::shared_ptr<CapturingAppender> appender = [] {
        auto a = std::make_shared<CapturingAppender>();
        nivo::system::util::LogManager::defaultManager()->addAppender(a);
        return a;
    }();
    appender->clear();
    return *appender;
}

}  // namespace diagtest
