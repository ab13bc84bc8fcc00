// The test command: runs the control bus self-test on the connected base.
#include "console/JsonOutput.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "diagnostics/ControlBusTestFixture.h"

namespace zorn {
namespace orbitane {
namespace test {

int OrbitaneBaseConsoleApplication::testCommand(const std::vector<std::string>&) {
    ControlBusTestFixture fixture(driver_.get());
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
    TestResult result = runFixture(fixture, observer);
    return result.failed;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
