// The test command: runs the control bus self-test on the connected base.
#include "app/Interrupt.h"
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
    TestResult result = runFixture(fixture);
    if (interrupted()) {
        logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "Interrupted by %s", interruptSignalName());
        return interruptStatus(interruptSignal());
    }
    return result.failed;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
