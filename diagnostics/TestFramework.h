#pragma once

// A minimal in-program unit-test framework: a fixture is a named, ordered
// list of named cases; running it runs every case, reports each outcome
// through the log (source "zorn.orbitane.test") and returns the counts.

#include <functional>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

// Failure signal of an assertion: carries only the failure message. Thrown
// by value, caught by reference; deliberately not a std::exception so that a
// failed check is told apart from an unexpected error inside a case.
class TestException {
public:
    explicit TestException(std::string message) : message_(std::move(message)) {}
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// One named case and the counters of its last run.
struct TestCase {
    std::string name;
    std::function<void()> handler;
    int skipped = 0;
    int pass = 0;
    int failed = 0;
    std::string message;  // failure message of the last run, empty when it passed
};

// Counts of a fixture run (or, from runCase, of one case with total 1).
struct TestResult {
    int total = 0;
    int skipped = 0;
    int pass = 0;
    int failed = 0;
};

// Base of the concrete fixtures, which register their cases in their constructor.
class TestFixture {
public:
    explicit TestFixture(std::string name) : name_(std::move(name)) {}
    TestFixture(const TestFixture&) = delete;
    TestFixture& operator=(const TestFixture&) = delete;

    const std::string& name() const { return name_; }
    std::vector<TestCase>& cases() { return cases_; }
    const std::vector<TestCase>& cases() const { return cases_; }

    // Appends a case with zeroed counters.
    void addCase(const std::string& name, std::function<void()> handler);

private:
    std::string name_;
    std::vector<TestCase> cases_;
};

typedef std::function<void(const TestCase&)> CaseObserver;
typedef std::function<bool()> StopRequested;

// The message of a case that a stop of the run cut short.
extern const char* const CUT_SHORT_MESSAGE;

// Runs one case: resets its counters, calls its handler, logs "\t\tpass" or
// the failure, and returns its counters (total 1). Never throws. A case
// that fails while `stopRequested` says yes did not fail: the stop cut it
// short, and it is skipped ("\t\tskipped: " and CUT_SHORT_MESSAGE).
TestResult runCase(TestCase& testCase, const StopRequested& stopRequested = StopRequested());

// Runs every case in registration order, logs each and the summary line
// (error level when any case failed, info otherwise) and returns the totals.
// `observer`, when set, sees each case right after it ran. `stopRequested`,
// when set, is asked before each case: once it says yes, no further case
// runs (a case may move the base) and those left are counted as skipped,
// as is the case it cut short.
TestResult runFixture(TestFixture& fixture, const CaseObserver& observer = CaseObserver(),
                      const StopRequested& stopRequested = StopRequested());

// Assertions on int values; the text is the checked expression written out
// literally, the actual value comes first. On failure they throw
// TestException with text + ": actual " + actual + <negated operator> + bound.
void assertEqual(const std::string& text, int actual, int expected);
void assertGreater(const std::string& text, int actual, int bound);
void assertLess(const std::string& text, int actual, int bound);
void assertLessOrEqual(const std::string& text, int actual, int bound);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
