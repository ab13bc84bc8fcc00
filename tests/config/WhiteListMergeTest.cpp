#include <gtest/gtest.h>

#include "config/WhiteListMerge.h"
#include "tests/support/JsonText.h"
#include "tests/support/LogCapture.h"

using namespace nivo::system::config;
using tests::support::LogCapture;
using tests::support::parseJson;

namespace {

Json::Value merge(const std::string& whiteList, const std::string& reference, const std::string& binary,
                  const std::vector<std::string>& ignore = {}) {
    Json::Value out(123);
    mergeWithWhiteList(ignore, parseJson(whiteList), out, parseJson(reference), parseJson(binary));
    return out;
}

}  // namespace

TEST(WhiteListMerge, AcceptKeepsTheBaseValueAndOtherNamesComeFromTheReference) {
    const Json::Value out = merge(R"({"base": {"robot_size": "accept"}})",
                                  R"({"type": "tessel", "base": {"robot_size": 0.5, "speed": 0.3}})",
                                  R"({"type": "ardo", "base": {"robot_size": 0.34, "extra": 1}})");
    EXPECT_EQ(parseJson(R"({"type": "tessel", "base": {"robot_size": 0.34, "speed": 0.3, "extra": null}})"), out);
}

TEST(WhiteListMerge, WhiteListedNamesMissingEverywhereBecomeNull) {
    const Json::Value out = merge(R"({"base": {"manufacture_id": "accept"}})", R"({"base": {}})", R"({"base": {}})");
    ASSERT_TRUE(out["base"].isMember("manufacture_id"));
    EXPECT_TRUE(out["base"]["manufacture_id"].isNull());
}

TEST(WhiteListMerge, CombineAppendsMissingReferenceElements) {
    EXPECT_EQ(parseJson("{\"l\": [1, 2, 3]}"), merge(R"({"l": "combine"})", R"({"l": [2, 3]})", R"({"l": [1, 2]})"));
    // Duplicates inside the reference are added once.
    EXPECT_EQ(parseJson("{\"l\": [1, 3]}"), merge(R"({"l": "combine"})", R"({"l": [3, 3]})", R"({"l": [1]})"));
    // No reference list: the base's list stays.
    EXPECT_EQ(parseJson("{\"l\": [1]}"), merge(R"({"l": "combine"})", "{}", R"({"l": [1]})"));
    // Base sent no list: the reference's is taken whole.
    EXPECT_EQ(parseJson("{\"l\": [4]}"), merge(R"({"l": "combine"})", R"({"l": [4]})", "{}"));
}

TEST(WhiteListMerge, OtherStringRulesTakeTheReference) {
    EXPECT_EQ(parseJson(R"({"a": 1})"), merge(R"({"a": "reject"})", R"({"a": 1})", R"({"a": 2})"));
    EXPECT_EQ(parseJson(R"({"a": {"x": 1}})"), merge(R"({"a": "reject"})", R"({"a": {"x": 1}})", R"({"a": [5]})"));
}

TEST(WhiteListMerge, NonStringLeafFailsTheMergeWithANullResult) {
    LogCapture capture;
    EXPECT_TRUE(merge(R"({"a": 1})", R"({"a": 1})", R"({"a": 2})").isNull());
    EXPECT_EQ(std::vector<std::string>{"white list should not contain anyting else than string"}, capture.messages());
    EXPECT_EQ(nivo::system::util::LOG_ERROR, capture.lines().at(0).level);
    EXPECT_TRUE(merge(R"({"a": [true]})", "{}", R"({"a": 2})").isNull());
}

TEST(WhiteListMerge, IgnoredPathsComeFromTheReferenceWithAWarning) {
    LogCapture capture;
    const Json::Value out =
        merge(R"({"base": {"robot_size": "accept"}})", R"({"base": {"robot_size": 0.5}})",
              R"({"base": {"robot_size": 0.34}})", {"base.robot_size"});
    EXPECT_EQ(0.5, out["base"]["robot_size"].asDouble());
    EXPECT_EQ(std::vector<std::string>{"Binary config entry base.robot_size ignored, use config file"},
              capture.messages());
}

TEST(WhiteListMerge, NamesAreVisitedInByteWiseOrder) {
    // Every visited path is ignored, so the warnings show the visiting order;
    // "d" exists only in the reference and is taken from it quietly.
    LogCapture capture;
    const Json::Value out = merge(R"({"b": "accept", "a": "accept", "C": "accept", "c": "accept"})", R"({"d": 1})",
                                  R"({"c": 1, "b": 1, "a": 1, "C": 1})", {"C", "a", "b", "c", "d"});
    EXPECT_EQ((std::vector<std::string>{"Binary config entry C ignored, use config file",
                                        "Binary config entry a ignored, use config file",
                                        "Binary config entry b ignored, use config file",
                                        "Binary config entry c ignored, use config file"}),
              capture.messages());
    EXPECT_EQ(parseJson(R"({"C": null, "a": null, "b": null, "c": null, "d": 1})"), out);
}

TEST(WhiteListMerge, BaseValuesOfTheWrongShapeFallBackToTheReference) {
    LogCapture capture;
    EXPECT_EQ(parseJson(R"({"base": {"x": 1}})"),
              merge(R"({"base": {"x": "accept"}})", R"({"base": {"x": 1}})", R"({"base": 7})"));
    EXPECT_EQ(parseJson(R"({"l": [2]})"), merge(R"({"l": "combine"})", R"({"l": [2]})", R"({"l": "x"})"));
    EXPECT_EQ(parseJson(R"({"base": {"x": 3}})"),
              merge(R"({"base": {"x": "accept"}})", R"({"base": [1]})", R"({"base": {"x": 3}})"));
    EXPECT_EQ(2u, capture.messages().size());
    EXPECT_EQ(parseJson("[1]"), merge(R"({"a": "accept"})", "[1]", "[2]"));
}

TEST(WhiteListMerge, DeepWhiteListIsBounded) {
    Json::Value whiteList("accept");
    Json::Value binary(1);
    for (int i = 0; i < WHITE_LIST_MAX_DEPTH + 5; ++i) {
        Json::Value w;
        w["k"] = whiteList;
        whiteList = w;
        Json::Value b;
        b["k"] = binary;
        binary = b;
    }
    LogCapture capture;
    Json::Value out;
    mergeWithWhiteList({}, whiteList, out, Json::Value(), binary);
    EXPECT_TRUE(out.isNull());
}
