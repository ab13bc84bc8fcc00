#include <gtest/gtest.h>

#include "config/ConfigReaders.h"
#include "tests/support/JsonText.h"
#include "tests/support/LogCapture.h"

using namespace nivo::system::config;
using tests::support::LogCapture;
using tests::support::parseJson;

namespace {

const std::string NOT_A_NUMBER = "Failed to parse numberic value: config node is not a number";

}  // namespace

TEST(ConfigReaders, ReportLogsMessageThenStyledNodeUnderConfigSource) {
    LogCapture capture;
    EXPECT_FALSE(reportConfigError(MSG_CHILD_NOT_FOUND, "speed", parseJson(R"({"a": [1, 2]})")));
    const auto lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("nivo.system.config", lines[0].source);
    EXPECT_EQ(nivo::system::util::LOG_WARN, lines[0].level);
    EXPECT_EQ("Child `speed' not found", lines[0].message);
    EXPECT_EQ("Config content: {\n   \"a\" : [ 1, 2 ]\n}\n", lines[1].message);
    EXPECT_EQ(nivo::system::util::LOG_WARN, lines[1].level);
}

TEST(ConfigReaders, NumbersFromJsonKindsAndUnitTexts) {
    const Json::Value doc = parseJson(R"({"t": true, "r": -2.9, "s": "0.5 m/s", "u": 4000000000, "n": 7})");
    int32_t i = 0;
    double d = 0.0;
    float f = 0.0f;
    EXPECT_TRUE(readChild(doc, "t", i));
    EXPECT_EQ(1, i);
    EXPECT_TRUE(readChild(doc, "r", i));
    EXPECT_EQ(-2, i);
    EXPECT_TRUE(readChild(doc, "s", d));
    EXPECT_DOUBLE_EQ(0.5, d);
    EXPECT_TRUE(readChild(doc, "s", f));
    EXPECT_FLOAT_EQ(0.5f, f);
    EXPECT_TRUE(readChild(doc, "u", d));
    EXPECT_DOUBLE_EQ(4e9, d);
    EXPECT_TRUE(readChild(doc, "n", f));
    EXPECT_FLOAT_EQ(7.0f, f);
    bool b = false;
    EXPECT_TRUE(readChild(doc, "t", b));
    EXPECT_TRUE(b);

    LogCapture capture;
    EXPECT_FALSE(readChild(doc, "n", b));  // a number is not a bool
    EXPECT_FALSE(readChild(doc, "s", i));  // 0.5 is not an integer
    EXPECT_EQ((std::vector<std::string>{
                  "Failed to parse boolean value: config node is not a bool",
                  "Failed to parse numberic value: string cannot be parsed with uom subsystem"}),
              capture.reports());
}

TEST(ConfigReaders, OutOfRangeNumbersFailInsteadOfAborting) {
    const Json::Value doc =
        parseJson(R"({"big": 3e9, "neg": -3e9, "u": 2147483648, "i64": -2147483649, "huge": 1e300, "edge": 2147483647.9})");
    LogCapture capture;
    int32_t i = 5;
    EXPECT_FALSE(readChild(doc, "big", i));
    EXPECT_FALSE(readChild(doc, "neg", i));
    EXPECT_FALSE(readChild(doc, "u", i));
    EXPECT_FALSE(readChild(doc, "i64", i));
    EXPECT_EQ(5, i);
    float f = 1.0f;
    EXPECT_FALSE(readChild(doc, "huge", f));
    EXPECT_EQ(1.0f, f);
    EXPECT_EQ(std::vector<std::string>(5, NOT_A_NUMBER), capture.reports());
    EXPECT_TRUE(readChild(doc, "edge", i));
    EXPECT_EQ(INT32_MAX, i);
    double d = 0.0;
    EXPECT_TRUE(readChild(doc, "huge", d));
}

TEST(ConfigReaders, MissingRequiredScalarReportsTwiceInOrder) {
    const Json::Value parent = parseJson(R"({"other": 1})");
    LogCapture capture;
    int32_t value = 3;
    EXPECT_FALSE(readChild(parent, "ticks", value));
    const auto messages = capture.messages();
    ASSERT_EQ(4u, messages.size());
    EXPECT_EQ(NOT_A_NUMBER, messages[0]);
    EXPECT_EQ("Config content: null\n", messages[1]);
    EXPECT_EQ("Child `ticks' not found", messages[2]);
    EXPECT_EQ("Config content: {\n   \"other\" : 1\n}\n", messages[3]);
}

TEST(ConfigReaders, NullMemberReadsLikeAnAbsentOne) {
    const Json::Value parent = parseJson(R"({"id": null, "name": null})");
    LogCapture capture;
    int32_t id = 0;
    std::string name;
    EXPECT_TRUE(readChildOr(parent, "id", id, -1));
    EXPECT_EQ(-1, id);
    EXPECT_TRUE(readChildOr(parent, "name", name, std::string("UNKNOWN")));
    EXPECT_EQ("UNKNOWN", name);
    EXPECT_TRUE(capture.messages().empty());
    EXPECT_FALSE(readChild(parent, "id", id));
    EXPECT_EQ(NOT_A_NUMBER, capture.reports().at(0));
    EXPECT_EQ("Child `id' not found", capture.reports().at(1));
}

TEST(ConfigReaders, DefaultsOnlyForAbsentMembers) {
    const Json::Value parent = parseJson(R"({"flag": "yes"})");
    LogCapture capture;
    bool flag = true;
    EXPECT_TRUE(readChildOr(parent, "missing", flag, false));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(capture.messages().empty());
    EXPECT_FALSE(readChildOr(parent, "flag", flag, true));
    EXPECT_EQ(std::vector<std::string>{"Failed to parse boolean value: config node is not a bool"},
              capture.reports());
}

TEST(ConfigReaders, ParentThatIsNotAnObjectFailsEveryChild) {
    const Json::Value parent = parseJson("[1, 2]");
    LogCapture capture;
    int32_t i = 0;
    Json::Value node;
    std::string text;
    EXPECT_FALSE(readChild(parent, "a", i));
    EXPECT_FALSE(readChildOr(parent, "b", text, std::string()));
    EXPECT_FALSE(readChild(parent, "c", node));
    EXPECT_EQ((std::vector<std::string>{"Failed to parse child `a': config node is not a JSON object",
                                        "Failed to parse child `b': config node is not a JSON object",
                                        "Failed to parse child `c': config node is not a JSON object"}),
              capture.reports());
    // A null parent reads like an empty object.
    EXPECT_TRUE(readChildOr(Json::Value(), "a", i, 9));
    EXPECT_EQ(9, i);
}

TEST(ConfigReaders, JsonMembersAreCopiedOrNull) {
    const Json::Value parent = parseJson(R"({"imu": {"rate": 100}})");
    Json::Value node(5);
    EXPECT_TRUE(readChild(parent, "imu", node));
    EXPECT_EQ(100, node["rate"].asInt());
    EXPECT_TRUE(readChild(parent, "absent", node));
    EXPECT_TRUE(node.isNull());
}

TEST(ConfigReaders, ListsAppendUntilTheFirstBadElement) {
    const Json::Value parent = parseJson(R"({"l": [1, "x", 3], "n": null, "o": {}, "s": ["a", "b"]})");
    LogCapture capture;
    std::vector<int32_t> numbers{0};
    EXPECT_FALSE(readChild(parent, "l", numbers));
    EXPECT_EQ((std::vector<int32_t>{0, 1}), numbers);
    EXPECT_EQ(std::vector<std::string>{"Failed to parse numberic value: string cannot be parsed with uom subsystem"},
              capture.reports());

    std::vector<int32_t> empty;
    EXPECT_TRUE(readChild(parent, "n", empty));
    EXPECT_TRUE(readChild(parent, "absent", empty));
    EXPECT_TRUE(empty.empty());

    LogCapture again;
    EXPECT_FALSE(readChild(parent, "o", empty));
    EXPECT_EQ(std::vector<std::string>{"Failed to parse array: config node is not a JSON array"}, again.reports());

    std::vector<std::string> words;
    EXPECT_TRUE(readChild(parent, "s", words));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), words);
}

TEST(ConfigReaders, NoReaderThrowsOnAnyJsonKind) {
    const Json::Value parent = parseJson(
        R"({"a": null, "b": true, "c": -1, "d": 18446744073709551615, "e": 1e308, "f": "", "g": [], "h": {},
            "i": -9223372036854775808, "j": "1e400"})");
    LogCapture capture;
    for (const std::string& name : parent.getMemberNames()) {
        int32_t i = 0;
        float f = 0.0f;
        double d = 0.0;
        bool b = false;
        std::string s;
        std::vector<float> list;
        EXPECT_NO_THROW({
            readChild(parent, name.c_str(), i);
            readChild(parent, name.c_str(), f);
            readChild(parent, name.c_str(), d);
            readChild(parent, name.c_str(), b);
            readChild(parent, name.c_str(), s);
            readChild(parent, name.c_str(), list);
        }) << name;
    }
}
