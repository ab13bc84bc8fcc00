#include <gtest/gtest.h>

#include "config/LogConfig.h"
#include "tests/config/LogCapture.h"

using namespace nivo::system::util;
using orbitane::configtest::LogCapture;

namespace {

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value, false)) << text;
    return value;
}

}  // namespace

TEST(LogConfig, AbsentSectionGivesDefaults) {
    LogConfig config;
    config.global.logLevel = LOG_FATAL;
    EXPECT_TRUE(readLogConfig(Json::Value(), config));
    EXPECT_EQ(LOG_INFO, config.global.logLevel);
    EXPECT_EQ(LOG_INFO, config.console.logLevel);
    EXPECT_TRUE(config.global.excludeLogSources.empty());
    EXPECT_TRUE(config.files.empty());
}

TEST(LogConfig, ReadsEveryMember) {
    LogConfig config;
    ASSERT_TRUE(readLogConfig(parse(R"({
        "global": {"logLevel": "debug", "excludeLogSources": ["zorn.net"]},
        "console": {"logLevel": "error"},
        "files": [{"filename": "a.log"}, {"logLevel": "fatal", "filename": "b.log", "excludeLogSources": null}]
    })"),
                              config));
    EXPECT_EQ(LOG_DEBUG, config.global.logLevel);
    EXPECT_EQ(std::vector<std::string>{"zorn.net"}, config.global.excludeLogSources);
    EXPECT_EQ(LOG_ERROR, config.console.logLevel);
    ASSERT_EQ(2u, config.files.size());
    EXPECT_EQ("a.log", config.files[0].filename);
    EXPECT_EQ(LOG_INFO, config.files[0].logLevel);
    EXPECT_EQ(LOG_FATAL, config.files[1].logLevel);
}

TEST(LogConfig, LevelMustBeAnExactWordAndFailsSilently) {
    for (const char* text : {R"({"logLevel": "Debug"})", R"({"logLevel": 0})", R"({"logLevel": "verbose"})"}) {
        LogCapture capture;
        LogSinkConfig sink;
        EXPECT_FALSE(readLogSinkConfig(parse(text), sink)) << text;
        EXPECT_TRUE(capture.messages().empty()) << text;
    }
}

TEST(LogConfig, FileWithoutNameReportsTheMissingChild) {
    LogCapture capture;
    LogConfig config;
    EXPECT_FALSE(readLogConfig(parse(R"({"files": [{"filename": "ok"}, {"logLevel": "warn"}]})"), config));
    EXPECT_EQ((std::vector<std::string>{"Failed to parse string value: config node is not a string",
                                        "Child `filename' not found"}),
              capture.reports());
    ASSERT_EQ(1u, config.files.size());  // the good entry before it stays
}

TEST(LogConfig, WrongKindsReportTheirMessages) {
    {
        LogCapture capture;
        LogConfig config;
        EXPECT_FALSE(readLogConfig(parse(R"({"files": {}})"), config));
        EXPECT_EQ(std::vector<std::string>{"Failed to parse array: config node is not a JSON array"},
                  capture.reports());
    }
    {
        LogCapture capture;
        LogConfig config;
        EXPECT_FALSE(readLogConfig(parse(R"({"global": 3})"), config));
        EXPECT_EQ(std::vector<std::string>{"Failed to parse child `logLevel': config node is not a JSON object"},
                  capture.reports());
    }
    {
        LogCapture capture;
        LogConfig config;
        EXPECT_FALSE(readLogConfig(parse(R"({"console": {"excludeLogSources": ["a", 1]}})"), config));
        EXPECT_EQ(std::vector<std::string>{"Failed to parse string value: config node is not a string"},
                  capture.reports());
    }
}
