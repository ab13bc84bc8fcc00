#include <gtest/gtest.h>

#include "config/LogConfig.h"
#include "tests/support/JsonText.h"
#include "tests/support/LogCapture.h"

using namespace nivo::system::util;
using namespace nivo::system::config;
using tests::support::LogCapture;
using tests::support::parseJson;

TEST(LogConfig, AbsentSectionGivesDefaults) {
    LogConfig config;
    config.global.logLevel = LOG_FATAL;
    EXPECT_TRUE(readLogConfig(Json::Value(), config));
    EXPECT_EQ(LOG_INFO, config.global.logLevel);
    EXPECT_EQ(LOG_INFO, config.console.logLevel);
    EXPECT_TRUE(config.global.excludeLogSources.empty());
    EXPECT_TRUE(config.files.empty());
}

TEST(LogConfig, LevelMustBeAnExactWordAndFailsSilently) {
    for (const char* text : {R"({"logLevel": "Debug"})", R"({"logLevel": 0})", R"({"logLevel": "verbose"})"}) {
        LogCapture capture;
        LogSinkConfig sink;
        EXPECT_FALSE(readLogSinkConfig(parseJson(text), sink)) << text;
        EXPECT_TRUE(capture.messages().empty()) << text;
    }
}

TEST(LogConfig, FileWithoutNameReportsTheMissingChild) {
    LogCapture capture;
    LogConfig config;
    EXPECT_FALSE(readLogConfig(parseJson(R"({"files": [{"filename": "ok"}, {"logLevel": "warn"}]})"), config));
    EXPECT_EQ((std::vector<std::string>{"Failed to parse string value: config node is not a string",
                                        "Child `filename' not found"}),
              capture.reports());
    ASSERT_EQ(1u, config.files.size());  // the good entry before it stays
}

TEST(LogConfig, WrongKindsReportTheirMessages) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"files": {}})", "Failed to parse array: config node is not a JSON array"},
        {R"({"global": 3})", "Failed to parse child `logLevel': config node is not a JSON object"},
        {R"({"console": {"excludeLogSources": ["a", 1]}})", "Failed to parse string value: config node is not a string"},
    };
    for (const auto& bad : cases) {
        LogCapture capture;
        LogConfig config;
        EXPECT_FALSE(readLogConfig(parseJson(bad.first), config)) << bad.first;
        EXPECT_EQ(std::vector<std::string>{bad.second}, capture.reports()) << bad.first;
    }
}
