// The parsers behind scripting: the pacing options' texts and session lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/CommandSession.h"
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

TEST(SessionParsing, LinesSplitAtBlanksAndStopAtComments) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(splitSessionLine("status\n"), Words{"status"});
    EXPECT_EQ(splitSessionLine("  run\t-100 100  1 \r\n"), (Words{"run", "-100", "100", "1"}));
    EXPECT_EQ(splitSessionLine("# a comment"), Words{});
    EXPECT_EQ(splitSessionLine("   \n"), Words{});
    EXPECT_EQ(splitSessionLine("event 3 # the third"), (Words{"event", "3"}));
    EXPECT_EQ(splitSessionLine("--count 5 monitor status"), (Words{"--count", "5", "monitor", "status"}));
}
