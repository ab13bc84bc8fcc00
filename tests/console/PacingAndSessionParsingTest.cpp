// The parsers behind scripting: the pacing options' texts, what monitor
// repeats and session lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/CommandSession.h"
#include "console/MonitorPlan.h"
#include "app/Pacer.h"

using namespace zorn::orbitane::test;

TEST(PacingParsing, IntervalAndCountTexts) {
    struct IntervalCase {
        const char* text;
        bool ok;
        double seconds;
    };
    for (const IntervalCase& c : std::vector<IntervalCase>{{"0", true, 0},
                                                           {"0.05", true, 0.05},
                                                           {"2", true, 2},
                                                           {"86400", true, 86400},
                                                           {"86401", false, 0},
                                                           {"-0.1", false, 0},
                                                           {"", false, 0},
                                                           {"0.1s", false, 0},
                                                           {"nan", false, 0},
                                                           {"inf", false, 0}}) {
        double seconds = -1;
        EXPECT_EQ(parseInterval(c.text, seconds), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(seconds, c.seconds) << c.text;
        }
    }
    // A duration is above 0 and at most a week.
    for (const IntervalCase& c : std::vector<IntervalCase>{{"5", true, 5},
                                                           {"0.25", true, 0.25},
                                                           {"604800", true, 604800},
                                                           {"604801", false, 0},
                                                           {"0", false, 0},
                                                           {"-1", false, 0},
                                                           {"", false, 0},
                                                           {"5s", false, 0},
                                                           {"nan", false, 0}}) {
        double seconds = -1;
        EXPECT_EQ(parseDuration(c.text, seconds), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(seconds, c.seconds) << c.text;
        }
    }
    struct CountCase {
        const char* text;
        bool ok;
        uint64_t count;
    };
    for (const CountCase& c : std::vector<CountCase>{{"1", true, 1},
                                                     {"20", true, 20},
                                                     {"18446744073709551615", true, UINT64_MAX},
                                                     {"18446744073709551616", false, 0},
                                                     {"0", false, 0},
                                                     {"-1", false, 0},
                                                     {"+3", false, 0},
                                                     {"3.0", false, 0},
                                                     {"", false, 0}}) {
        uint64_t count = 0;
        EXPECT_EQ(parseCount(c.text, count), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(count, c.count) << c.text;
        }
    }
}

// What monitor repeats: one command with its arguments, or a list of
// readings without any; and what --csv can write.
TEST(MonitorPlanning, ACommandOrAListOfReadings) {
    using Words = std::vector<std::string>;
    const struct {
        Words args;
        std::vector<Words> round;
        const char* error;  // a part of it; "" when the words can be repeated
    } cases[] = {
        {{"monitor", "run", "100", "-50", "1"}, {{"run", "100", "-50", "1"}}, ""},
        {{"monitor", "status,motor,bumper"}, {{"status"}, {"motor"}, {"bumper"}}, ""},
        {{"monitor", "status,status"}, {{"status"}, {"status"}}, ""},
        {{"monitor", "status,motor", "1"}, {}, "takes no arguments"},
        {{"monitor", "status,,motor"}, {}, "has an empty name"},
        {{"monitor", "status,"}, {}, "has an empty name"},
        {{"monitor", "status,run"}, {}, "run is not"},
        {{"monitor", "status,nosuch"}, {}, "nosuch is not"},
    };
    for (const auto& c : cases) {
        const MonitorPlan plan = planMonitor(c.args);
        EXPECT_EQ(plan.round, c.round) << c.args[1];
        EXPECT_NE(plan.error.find(c.error), std::string::npos) << c.args[1] << ": " << plan.error;
        EXPECT_EQ(plan.error.empty(), *c.error == '\0') << c.args[1];
    }
    EXPECT_EQ(csvRefusalFor({"status"}), "");
    EXPECT_EQ(csvRefusalFor({"monitor", "status,motor"}), "");
    EXPECT_NE(csvRefusalFor({"run", "1", "1", "1"}), "");
    EXPECT_NE(csvRefusalFor({"session"}), "");
    EXPECT_NE(csvRefusalFor({"monitor", "status,test"}), "");
}

TEST(SessionParsing, LinesSplitAtBlanksAndStopAtComments) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(splitSessionLine("status\n"), Words{"status"});
    EXPECT_EQ(splitSessionLine("  run\t-100 100  1 \r\n"), (Words{"run", "-100", "100", "1"}));
    EXPECT_EQ(splitSessionLine("# a comment"), Words{});
    EXPECT_EQ(splitSessionLine("   \n"), Words{});
    EXPECT_EQ(splitSessionLine("event 3 # the third"), (Words{"event", "3"}));
    EXPECT_EQ(splitSessionLine("--count 5 monitor status"), (Words{"--count", "5", "monitor", "status"}));
}
