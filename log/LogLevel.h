#pragma once

namespace nivo {
namespace system {
namespace util {

// Severity of a log message; a threshold lets through levels >= itself.
enum LogLevel : int {
    LOG_DEBUG = 0,
    LOG_INFO = 1,
    LOG_WARN = 2,
    LOG_ERROR = 3,
    LOG_FATAL = 4,
};

}  // namespace util
}  // namespace system
}  // namespace nivo
