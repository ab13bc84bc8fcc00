#include "diagnostics/TestFramework.h"

#include <exception>

#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using nivo::system::util::LOG_SOURCE_TEST;
using nivo::system::util::logError;
using nivo::system::util::logInfo;

void TestFixture::addCase(const std::string& name, std::function<void()> handler) {
    TestCase testCase;
    testCase.name = name;
    testCase.handler = std::move(handler);
    cases_.push_back(std::move(testCase));
}

const char* const CUT_SHORT_MESSAGE = "cut short: the run was stopped";

TestResult runCase(TestCase& testCase, const StopRequested& stopRequested) {
    testCase.skipped = 0;
    testCase.pass = 0;
    testCase.failed = 0;
    testCase.message.clear();
    // A failure while the run is being stopped is the stop's doing (a
    // request it cut short), not the case's.
    const auto cutShort = [&] {
        if (!stopRequested || !stopRequested()) return false;
        logInfo(LOG_SOURCE_TEST, "\t\tskipped: %s", CUT_SHORT_MESSAGE);
        testCase.skipped = 1;
        testCase.message = CUT_SHORT_MESSAGE;
        return true;
    };
    try {
        if (!testCase.handler) {
            throw TestException("no handler");
        }
        testCase.handler();
        logInfo(LOG_SOURCE_TEST, "\t\tpass");
        testCase.pass = 1;
    } catch (const TestException& e) {
        if (!cutShort()) {
            logError(LOG_SOURCE_TEST, "\t\tfail: %s", e.message().c_str());
            testCase.failed = 1;
            testCase.message = e.message();
        }
    } catch (const std::exception& e) {
        if (!cutShort()) {
            logError(LOG_SOURCE_TEST, "\t\tfail: uncaught exception %s", e.what());
            testCase.failed = 1;
            testCase.message = std::string("uncaught exception ") + e.what();
        }
    } catch (...) {
        if (!cutShort()) {
            logError(LOG_SOURCE_TEST, "\t\tfail: unknown uncaught exception");
            testCase.failed = 1;
            testCase.message = "unknown uncaught exception";
        }
    }
    TestResult result;
    result.total = 1;
    result.skipped = testCase.skipped;
    result.pass = testCase.pass;
    result.failed = testCase.failed;
    return result;
}

TestResult runFixture(TestFixture& fixture, const CaseObserver& observer, const StopRequested& stopRequested) {
    TestResult result;
    result.total = static_cast<int>(fixture.cases().size());
    logInfo(LOG_SOURCE_TEST, "Test Fixture: %s", fixture.name().c_str());
    for (TestCase& testCase : fixture.cases()) {
        if (stopRequested && stopRequested()) {
            testCase.skipped = 1;
            testCase.pass = 0;
            testCase.failed = 0;
            testCase.message.clear();
            ++result.skipped;
            continue;
        }
        logInfo(LOG_SOURCE_TEST, "\tTesting %s...", testCase.name.c_str());
        TestResult one = runCase(testCase, stopRequested);
        result.skipped += one.skipped;
        result.pass += one.pass;
        result.failed += one.failed;
        if (observer) {
            observer(testCase);
        }
    }
    if (result.failed != 0) {
        logError(LOG_SOURCE_TEST, "%s: %d total, %d skipped, %d pass, %d failed",
                 fixture.name().c_str(), result.total, result.skipped, result.pass, result.failed);
    } else {
        logInfo(LOG_SOURCE_TEST, "%s: %d total, %d skipped, %d pass, %d failed",
                fixture.name().c_str(), result.total, result.skipped, result.pass, result.failed);
    }
    return result;
}

namespace {

[[noreturn]] void fail(const std::string& text, int actual, const char* negatedOperator, int bound) {
    throw TestException(text + ": actual " + std::to_string(actual) + negatedOperator +
                        std::to_string(bound));
}

}  // namespace

void assertEqual(const std::string& text, int actual, int expected) {
    if (!(actual == expected)) {
        fail(text, actual, " != ", expected);
    }
}

void assertGreater(const std::string& text, int actual, int bound) {
    if (!(actual > bound)) {
        fail(text, actual, " <= ", bound);
    }
}

void assertLess(const std::string& text, int actual, int bound) {
    if (!(actual < bound)) {
        fail(text, actual, " >= ", bound);
    }
}

void assertLessOrEqual(const std::string& text, int actual, int bound) {
    if (!(actual <= bound)) {
        fail(text, actual, " > ", bound);
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
