#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "log/LogLevel.h"

namespace nivo {
namespace system {
namespace config {

// Settings of one log target: a threshold and excluded sources.
struct LogSinkConfig {
    util::LogLevel logLevel = util::LOG_INFO;
    std::vector<std::string> excludeLogSources;
};

// A log file: the target settings plus the file's name (required).
struct FileLogConfig : LogSinkConfig {
    std::string filename;
};

// The "log" section of the system configuration. The console reads it with
// the rest of the configuration; it does not apply it to the log manager.
struct LogConfig {
    LogSinkConfig global;
    LogSinkConfig console;
    std::vector<FileLogConfig> files;
};

// Level of a level word ("debug", "info", "warn", "error", "fatal"; exact).
bool logLevelFromName(const std::string& name, util::LogLevel& level);

bool readLogSinkConfig(const Json::Value& node, LogSinkConfig& out);
bool readFileLogConfig(const Json::Value& node, FileLogConfig& out);
bool readLogConfig(const Json::Value& node, LogConfig& out);

}  // namespace config
}  // namespace system
}  // namespace nivo
