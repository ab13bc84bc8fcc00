// The test command: runs the control bus self-test on the connected base.
#include "console/OrbitaneBaseConsoleApplication.h"
#include "diagnostics/ControlBusTestFixture.h"

namespace zorn {
namespace orbitane {
namespace test {

int OrbitaneBaseConsoleApplication::testCommand(const std::vector<std::string>&) {
    ControlBusTestFixture fixture(driver_.get());
    TestResult result = runFixture(fixture);
    return result.failed;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
