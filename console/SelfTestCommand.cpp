// The test command: runs the control bus self-test on the connected base.
#include "app/Interrupt.h"
#include "app/JsonOutput.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "diagnostics/ControlBusTestFixture.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

int OrbitaneBaseConsoleApplication::testCommand(const std::vector<std::string>&) {
    // The fixture drives the wheels for a moment: a signal must not leave
    // them turning, so it only ends the run once the stop was sent.
    InterruptScope interruptScope(true);
    ControlBusTestFixture fixture(driver_.get());
    fixture.setMotionHooks(consoleMotionHooks());
    // After a signal no case starts (the wheels must not be set turning once
    // the user asked the command to stop).
    const StopRequested stopRequested = [] { return interrupted(); };
    CaseObserver observer;
    if (jsonOutput()) {
        observer = [](const TestCase& testCase) {
            Json::Value object = jsonReading("test");
            object["name"] = testCase.name;
            object["passed"] = testCase.pass != 0;
            object["message"] = testCase.message;
            emitJson(object);
        };
    }
    TestResult result = runFixture(fixture, observer, stopRequested);
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
