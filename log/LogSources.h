#pragma once

#include <string>

namespace nivo {
namespace system {
namespace util {

// Dotted log-source names of the program's classes and modules.
extern const std::string LOG_SOURCE_CONSOLE_APP;       // the console frame and command table
extern const std::string LOG_SOURCE_BASE_CONSOLE_APP;  // the base console and its commands
extern const std::string LOG_SOURCE_INTERCEPT;         // the traffic trace
extern const std::string LOG_SOURCE_TEST;              // the self-test framework
extern const std::string LOG_SOURCE_CHANNEL_FACTORY;   // the channel providers
extern const std::string LOG_SOURCE_CONFIG;            // configuration readers

}  // namespace util
}  // namespace system
}  // namespace nivo
