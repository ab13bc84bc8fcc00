// The test command: runs the control bus self-test on the connected base.
#include <cstdint>

#include "app/Interrupt.h"
#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "console/ApiClient.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "diagnostics/ControlBusTestFixture.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

CommandResult OrbitaneBaseConsoleApplication::testCommand(const std::vector<std::string>&) {
    // The fixture drives the wheels for a moment: a signal must not leave
    // them turning, so it only ends the run once the stop was sent.
    InterruptScope interruptScope(true);
    ControlBusTestFixture fixture(base_ ? &*base_ : nullptr);
    // After a signal no case starts (the wheels must not be set turning once
    // the user asked the command to stop).
    const StopRequested stopRequested = [] { return interrupted(); };
    // Why the first case failed: the command's failure says it.
    bool firstFailureKept = false;
    zorn::net::Failure firstFailure;
    bool firstFailureIsRequest = false;
    const char* firstKind = failure::INVALID_ANSWER;
    const CaseObserver observer = [&](const TestCase& testCase) {
        // A case the signal cut short did not fail: it was not let finish
        // (the framework counts it as skipped, and so does its object).
        const bool skipped = testCase.skipped != 0;
        FailureCause cause;
        api::Error error(api::kind::INTERNAL, 0, "");
        const bool hasResult = testCase.failed != 0 && fixture.requestFailure(testCase.name, error);
        const zorn::net::Failure request = hasResult ? failureOf(error) : zorn::net::Failure();
        if (hasResult) {
            cause = causeOf(request);
            // The request's result in words, under the assertion's line.
            logError(LOG_SOURCE_TEST, "\t\t%s", zorn::net::describeFailure(request).c_str());
        } else if (testCase.message.rfind("uncaught exception", 0) == 0 ||
                   testCase.message.rfind("unknown uncaught exception", 0) == 0) {
            cause.kind = failure::INTERNAL;
        }
        if (testCase.failed != 0 && !skipped && !firstFailureKept) {
            firstFailureKept = true;
            firstFailureIsRequest = hasResult;
            if (hasResult) firstFailure = request;
            firstKind = cause.kind;
        }
        // The fixture logs the case's lines itself, so its reading has only
        // the JSON object.
        Reading reading("test");
        reading["name"] = testCase.name;
        reading["passed"] = testCase.pass != 0;
        reading["skipped"] = skipped;
        reading["message"] = testCase.message;
        if (hasResult) {
            addResult(reading.object(), request.result(), cause);
        } else if (testCase.failed != 0) {
            reading["kind"] = cause.kind;
        }
        emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    };
    size_t ran = 0;  // the cases that ran come first, in order
    const CaseObserver counting = [&](const TestCase& testCase) {
        ++ran;
        observer(testCase);
    };
    TestResult result = runFixture(fixture, counting, stopRequested);
    // The cases a signal kept from starting, so that every case has its
    // object (the text form has no line for them).
    for (size_t i = ran; i < fixture.cases().size(); ++i) {
        const TestCase& testCase = fixture.cases()[i];
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
    if (firstFailureIsRequest) return CommandResult(result.failed, firstFailure);
    if (result.failed != 0) return CommandResult(result.failed, firstKind);
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
