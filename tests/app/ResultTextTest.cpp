#include <gtest/gtest.h>

#include <string>

#include "app/ResultText.h"

using zorn::orbitane::test::describeResult;

TEST(ResultText, EveryResultIsNamedInWords) {
    struct Case {
        int32_t result;
        const char* command;
        const char* line;
    };
    const Case cases[] = {
        {static_cast<int32_t>(0x80008000u), "status",
         "80008000: invalid data: the base's answer was malformed or did not match the request"},
        {static_cast<int32_t>(0x80008001u), "motor",
         "80008001: operation failed: the request could not be sent, the link to the base broke, or the base "
         "reported an error"},
        {static_cast<int32_t>(0x80008002u), "status", "80008002: time-out: the base did not answer within 1000 ms"},
        {static_cast<int32_t>(0x80008004u), "config", "80008004: the base does not support this request"},
        {static_cast<int32_t>(0x80008006u), "config",
         "80008006: buffer too small: the answer is larger than the space reserved for it"},
        {static_cast<int32_t>(0x80008003u), "status", "80008003: unknown failure code of the control bus"},
        {2, "run", "00000002: usage error: the command's arguments are missing or cannot be read"},
        {5, "stauts", "00000005: unknown command: -h lists the commands"},
        // The self-test's result counts failed cases, also when it is 2 or 5.
        {1, "test", "00000001: 1 self-test case failed"},
        {2, "test", "00000002: 2 self-test cases failed"},
        {5, "test", "00000005: 5 self-test cases failed"},
        {-1, "beacon", "FFFFFFFF: unknown result code: the lines above say what failed"},
        {7, "poll", "00000007: unknown result code: the lines above say what failed"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(describeResult(c.result, c.command), c.line);
    }
}
