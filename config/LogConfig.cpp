#include "config/LogConfig.h"

#include "config/ConfigReaders.h"

namespace nivo {
namespace system {
namespace config {

using namespace util;

namespace {

// A level word; anything else (another word, another case, a number) fails
// without a message of its own.
bool readLogLevel(const Json::Value& node, LogLevel& out) {
    return node.isString() && logLevelFromName(node.asString(), out);
}

}  // namespace

bool logLevelFromName(const std::string& name, LogLevel& level) {
    static const struct {
        const char* name;
        LogLevel level;
    } LEVELS[] = {
        {"debug", LOG_DEBUG}, {"info", LOG_INFO}, {"warn", LOG_WARN}, {"error", LOG_ERROR}, {"fatal", LOG_FATAL},
    };
    for (const auto& entry : LEVELS) {
        if (name == entry.name) {
            level = entry.level;
            return true;
        }
    }
    return false;
}

bool readLogSinkConfig(const Json::Value& node, LogSinkConfig& out) {
    if (!readChildOr(node, "logLevel", out.logLevel, LOG_INFO, readLogLevel)) {
        return false;
    }
    out.excludeLogSources.clear();
    return readChild(node, "excludeLogSources", out.excludeLogSources);
}

bool readFileLogConfig(const Json::Value& node, FileLogConfig& out) {
    return readLogSinkConfig(node, out) && readChild(node, "filename", out.filename);
}

bool readLogConfig(const Json::Value& node, LogConfig& out) {
    return readChild(node, "global", out.global, readLogSinkConfig) &&
           readChild(node, "console", out.console, readLogSinkConfig) &&
           readChild(node, "files", out.files, [](const Json::Value& list, std::vector<FileLogConfig>& files) {
               return config::readList(list, files, readFileLogConfig);
           });
}

}  // namespace config
}  // namespace system
}  // namespace nivo
