// The test command: runs the control bus self-test on the connected base.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "app/Interrupt.h"
#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "diagnostics/ControlBusTestFixture.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

namespace {

// The result code of the request a case's failure message is about. The
// fixture checks every request as "<call>==(int)RESULT_OK" and its message
// then reads "<call>==(int)RESULT_OK: actual <code> != 0"; a failed check of
// a value the base sent has no such code.
bool requestResultOf(const std::string& message, int32_t& result) {
    const std::string marker = "==(int)RESULT_OK: actual ";
    const size_t at = message.find(marker);
    if (at == std::string::npos) return false;
    const char* start = message.c_str() + at + marker.size();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    result = static_cast<int32_t>(value);
    return true;
}

}  // namespace

int OrbitaneBaseConsoleApplication::testCommand(const std::vector<std::string>&) {
    // The fixture drives the wheels for a moment: a signal must not leave
    // them turning, so it only ends the run once the stop was sent.
    InterruptScope interruptScope(true);
    ControlBusTestFixture fixture(driver_.get());
    fixture.setMotionHooks(consoleMotionHooks());
    // After a signal no case starts (the wheels must not be set turning once
    // the user asked the command to stop).
    const StopRequested stopRequested = [] { return interrupted(); };
    // Why the first case failed: the command's failure says it.
    bool causeNoted = false;
    const CaseObserver observer = [this, &causeNoted](const TestCase& testCase) {
        // A case the signal cut short did not fail: it was not let finish.
        const bool skipped = testCase.failed != 0 && interrupted();
        FailureCause cause;
        int32_t result = 0;
        const bool hasResult = testCase.failed != 0 && requestResultOf(testCase.message, result);
        if (hasResult) {
            cause = resultCause(result);
        } else if (testCase.message.rfind("uncaught exception", 0) == 0 ||
                   testCase.message.rfind("unknown uncaught exception", 0) == 0) {
            cause.kind = failure::INTERNAL;
        }
        if (testCase.failed != 0 && !skipped && !causeNoted) {
            noteFailureCause(cause);
            causeNoted = true;
        }
        // The fixture logs the case's lines itself, so its reading has only
        // the JSON object.
        Reading reading("test");
        reading["name"] = testCase.name;
        reading["passed"] = testCase.pass != 0;
        reading["skipped"] = skipped;
        reading["message"] = testCase.message;
        if (hasResult) {
            addResult(reading.object(), result, cause);
        } else if (testCase.failed != 0) {
            reading["kind"] = cause.kind;
        }
        emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    };
    TestResult result = runFixture(fixture, observer, stopRequested);
    // The cases a signal kept from starting, so that every case has its
    // object (the text form has no line for them).
    for (const TestCase& testCase : fixture.cases()) {
        if (testCase.skipped == 0) continue;
        Reading reading("test");
        reading["name"] = testCase.name;
        reading["passed"] = false;
        reading["skipped"] = true;
        reading["message"] = "";
        emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    }
    if (interrupted()) {
        // A stop sent under the signal has said so already.
        if (!fixture.motionStopped()) logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "Interrupted by %s", interruptSignalName());
        return interruptStatus(interruptSignal());
    }
    return result.failed;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
