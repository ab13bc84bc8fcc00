#include "diagnostics/TestFramework.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/LogCapture.h"

using namespace zorn::orbitane::test;
using nivo::system::util::LOG_SOURCE_TEST;
using tests::support::LogCapture;
using tests::support::LogLine;
using nivo::system::util::LOG_ERROR;
using nivo::system::util::LOG_INFO;

namespace {

// The four counts of a result, in the order of the summary line.
std::string counts(const TestResult& r) {
    return std::to_string(r.total) + " total, " + std::to_string(r.skipped) + " skipped, " + std::to_string(r.pass) +
           " pass, " + std::to_string(r.failed) + " failed";
}

// Message of the TestException thrown by `check`, or "" when none is thrown.
template <class Check>
std::string failureOf(Check check) {
    try {
        check();
    } catch (const TestException& e) {
        return e.message();
    }
    return "";
}

// A fixture of nine cases; the case named `failing` (if any) fails an assertion.
class NineCases : public TestFixture {
public:
    explicit NineCases(const std::string& failing = "") : TestFixture("Nine") {
        for (int i = 1; i <= 9; ++i) {
            std::string name = "case" + std::to_string(i);
            addCase(name, [this, name, failing] {
                ++calls;
                if (name == failing) {
                    assertEqual("x==0", 5, 0);
                }
            });
        }
    }
    int calls = 0;
};

TEST(TestFrameworkAssertions, PassOnTheirRelationAndFailWithTheNegatedOperator) {
    EXPECT_EQ(failureOf([] { assertEqual("a==b", 3, 3); }), "");
    EXPECT_EQ(failureOf([] { assertGreater("a>b", 4, 3); }), "");
    EXPECT_EQ(failureOf([] { assertLess("a<b", 2, 3); }), "");
    EXPECT_EQ(failureOf([] { assertLessOrEqual("a<=b", 3, 3); }), "");

    EXPECT_EQ(failureOf([] { assertEqual("T", 5, 0); }), "T: actual 5 != 0");
    EXPECT_EQ(failureOf([] { assertGreater("(int)conf.base_radius_q8>2560", 2560, 2560); }),
              "(int)conf.base_radius_q8>2560: actual 2560 <= 2560");
    EXPECT_EQ(failureOf([] { assertLess("r<256000", 256000, 256000); }), "r<256000: actual 256000 >= 256000");
    EXPECT_EQ(failureOf([] { assertLessOrEqual("n<=8", 9, 8); }), "n<=8: actual 9 > 8");
}

TEST(TestFrameworkAssertions, WriteNegativeValuesInDecimal) {
    // A driver result such as RESULT_OPERATION_TIMEOUT is a negative int.
    EXPECT_EQ(failureOf([] { assertEqual("r==0", static_cast<int>(0x80008002u), 0); }),
              "r==0: actual -2147450878 != 0");
    EXPECT_EQ(failureOf([] { assertGreater("v>-1", -1, -1); }), "v>-1: actual -1 <= -1");
}

TEST(TestFrameworkRun, AllPassingFixtureLogsEveryCaseAndAnInfoSummary) {
    LogCapture log{LOG_SOURCE_TEST};
    NineCases fixture;
    TestResult r = runFixture(fixture);

    EXPECT_EQ(counts(r), "9 total, 0 skipped, 9 pass, 0 failed");
    EXPECT_EQ(fixture.calls, 9);

    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u + 9 * 2 + 1);
    EXPECT_EQ(lines.front().message, "Test Fixture: Nine");
    EXPECT_EQ(lines[1].message, "\tTesting case1...");
    EXPECT_EQ(lines[2].message, "\t\tpass");
    EXPECT_EQ(lines[17].message, "\tTesting case9...");
    for (const LogLine& line : lines) {
        EXPECT_EQ(line.level, LOG_INFO) << line.message;
    }
    EXPECT_EQ(lines.back().message, "Nine: 9 total, 0 skipped, 9 pass, 0 failed");
}

TEST(TestFrameworkRun, NoCaseStartsOnceAStopIsRequested) {
    LogCapture log{LOG_SOURCE_TEST};
    NineCases fixture;
    TestResult r = runFixture(fixture, CaseObserver(), [&fixture] { return fixture.calls == 3; });
    EXPECT_EQ(fixture.calls, 3);
    EXPECT_EQ(r.skipped, 6);
    EXPECT_EQ(fixture.cases()[8].skipped, 1);
    EXPECT_EQ(log.lines().back().message, "Nine: 9 total, 6 skipped, 3 pass, 0 failed");
}

// A case that fails while the stop is requested was cut short by it: it is
// skipped, in its line, its counters and the summary alike.
TEST(TestFrameworkRun, ACaseTheStopCutsShortIsSkippedNotFailed) {
    LogCapture log{LOG_SOURCE_TEST};
    NineCases fixture("case3");
    TestResult r = runFixture(fixture, CaseObserver(), [&fixture] { return fixture.calls == 3; });
    EXPECT_EQ(counts(r), "9 total, 7 skipped, 2 pass, 0 failed");
    EXPECT_EQ(fixture.cases()[2].skipped, 1);
    EXPECT_EQ(fixture.cases()[2].failed, 0);
    EXPECT_EQ(fixture.cases()[2].message, CUT_SHORT_MESSAGE);
    const std::vector<LogLine> lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].message, std::string("\t\tskipped: ") + CUT_SHORT_MESSAGE);
    EXPECT_EQ(lines.back().level, LOG_INFO);
    EXPECT_EQ(lines.back().message, "Nine: 9 total, 7 skipped, 2 pass, 0 failed");
}

TEST(TestFrameworkRun, OneFailingCaseGivesAnErrorSummaryAndTheOthersStillRun) {
    LogCapture log{LOG_SOURCE_TEST};
    NineCases fixture("case4");
    TestResult r = runFixture(fixture);

    EXPECT_EQ(counts(r), "9 total, 0 skipped, 8 pass, 1 failed");
    EXPECT_EQ(fixture.calls, 9);
    EXPECT_EQ(fixture.cases()[3].failed, 1);
    EXPECT_EQ(fixture.cases()[3].pass, 0);

    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[7].message, "\tTesting case4...");
    EXPECT_EQ(lines[8].level, LOG_ERROR);
    EXPECT_EQ(lines[8].message, "\t\tfail: x==0: actual 5 != 0");
    EXPECT_EQ(lines.back().level, LOG_ERROR);
    EXPECT_EQ(lines.back().message, "Nine: 9 total, 0 skipped, 8 pass, 1 failed");
}

TEST(TestFrameworkRun, ExceptionsOtherThanTestExceptionFailTheCaseOnly) {
    LogCapture log{LOG_SOURCE_TEST};
    TestFixture fixture("Throwing");
    bool laterRan = false;
    fixture.addCase("std", [] { throw std::runtime_error("boom"); });
    fixture.addCase("other", [] { throw 42; });
    fixture.addCase("later", [&] { laterRan = true; });
    TestResult r = runFixture(fixture);

    EXPECT_TRUE(laterRan);
    EXPECT_EQ(counts(r), "3 total, 0 skipped, 1 pass, 2 failed");
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[2].message, "\t\tfail: uncaught exception boom");
    EXPECT_EQ(lines[2].level, LOG_ERROR);
    EXPECT_EQ(lines[4].message, "\t\tfail: unknown uncaught exception");
    EXPECT_EQ(lines[6].message, "\t\tpass");
}

TEST(TestFrameworkRun, ACaseEndsAtItsFirstFailingAssertion) {
    LogCapture log{LOG_SOURCE_TEST};
    TestFixture fixture("Stops");
    bool reachedSecondCheck = false;
    fixture.addCase("two checks", [&] {
        assertLess("a<1", 1, 1);
        reachedSecondCheck = true;
    });
    TestResult r = runFixture(fixture);
    EXPECT_EQ(r.failed, 1);
    EXPECT_FALSE(reachedSecondCheck);
}

TEST(TestFrameworkRun, SecondRunStartsFromZeroCounters) {
    LogCapture log{LOG_SOURCE_TEST};
    bool failNow = true;
    TestFixture fixture("Twice");
    fixture.addCase("flaky", [&] { assertEqual("failNow==0", failNow ? 1 : 0, 0); });
    fixture.addCase("steady", [] {});

    TestResult first = runFixture(fixture);
    EXPECT_EQ(first.pass, 1);
    EXPECT_EQ(first.failed, 1);

    failNow = false;
    log.clear();
    TestResult second = runFixture(fixture);
    EXPECT_EQ(second.total, 2);
    EXPECT_EQ(second.pass, 2);
    EXPECT_EQ(second.failed, 0);
    EXPECT_EQ(fixture.cases()[0].failed, 0);
    EXPECT_EQ(fixture.cases()[0].pass, 1);
    EXPECT_EQ(log.lines().back().message, "Twice: 2 total, 0 skipped, 2 pass, 0 failed");
    EXPECT_EQ(log.lines().back().level, LOG_INFO);
}

TEST(TestFrameworkRun, EmptyFixtureAndCaseWithoutHandlerAreReportedNotCrashed) {
    LogCapture log{LOG_SOURCE_TEST};
    TestFixture empty("Empty");
    TestResult r = runFixture(empty);
    EXPECT_EQ(r.total, 0);
    EXPECT_EQ(log.lines().back().message, "Empty: 0 total, 0 skipped, 0 pass, 0 failed");

    TestFixture broken("Broken");
    broken.addCase("nothing", std::function<void()>());
    r = runFixture(broken);
    EXPECT_EQ(r.failed, 1);
}

}  // namespace
