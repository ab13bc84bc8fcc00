// A reading's text form: the lines it was given, in order, at their levels;
// its JSON form: the object alone.
#include <gtest/gtest.h>

#include <string>

#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "log/Log.h"
#include "tests/support/LogCapture.h"

using namespace zorn::orbitane::test;
using namespace nivo::system::util;

TEST(Reading, TextFormLogsItsLinesInOrderAtTheirLevels) {
    setJsonOutput(false);
    tests::support::LogCapture log("reading-test");
    const std::string longWord(3000, 'w');  // longer than any fixed buffer would hold
    Reading reading("status");
    reading["battery_percent"] = 80;
    reading.info("Battery: %d%%", 80);
    reading.warn("Charging Status: %s", "Charging");
    reading.info("%s", longWord.c_str());
    emitReading("reading-test", reading);

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].tagged(), "[INFO] Battery: 80%");
    EXPECT_EQ(lines[1].tagged(), "[WARN] Charging Status: Charging");
    EXPECT_EQ(lines[2].message, longWord);
    EXPECT_FALSE(reading.object().isMember("battery_percent"));  // built only with --json
}

TEST(Reading, JsonFormIsTheObjectAlone) {
    setJsonOutput(true);
    Reading reading("status");
    reading["battery_percent"] = 80;
    reading.info("Battery: %d%%", 80);
    EXPECT_EQ(reading.object()["command"].asString(), "status");
    EXPECT_EQ(reading.object()["battery_percent"].asInt(), 80);
    EXPECT_TRUE(reading.lines().empty());
    setJsonOutput(false);
}
