// The wall-clock label of the JSON objects.
#include <gtest/gtest.h>

#include <chrono>

#include "app/JsonOutput.h"

using namespace zorn::orbitane::test;
using std::chrono::milliseconds;
using std::chrono::system_clock;

TEST(JsonOutput, WallClockIsIsoUtcWithMilliseconds) {
    const struct {
        int64_t ms;
        const char* text;
    } cases[] = {
        {1796745845123, "2026-12-08T16:04:05.123Z"},
        {1796745845005, "2026-12-08T16:04:05.005Z"},  // leading zeros kept
        {0, "1970-01-01T00:00:00.000Z"},
        {-1, "1969-12-31T23:59:59.999Z"},  // the milliseconds never go negative
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isoUtcTime(system_clock::time_point(milliseconds(c.ms))), c.text);
    }
}
