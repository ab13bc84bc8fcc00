#pragma once

// Self-test of every control-bus request the driver offers, run against a
// connected base: each case issues one or two requests and checks the
// result code and, where the answer has limits, the answer's fields.

#include <map>
#include <string>

#include "diagnostics/TestFramework.h"
#include "drv/MotionGuard.h"
#include "net/Failure.h"

namespace zorn {

namespace orbitane {
namespace test {

class ControlBusTestFixture : public TestFixture {
public:
    // The driver is not owned and must outlive the fixture.
    explicit ControlBusTestFixture(zorn::drv::QuindleBaseDrv* dev);

    // What the setMotor case's motion guard reports to.
    void setMotionHooks(const zorn::drv::MotionGuard::Hooks& hooks) { motionHooks_ = hooks; }
    // The setMotor case sent its stop (and said what came of it).
    bool motionStopped() const { return motionStopped_; }
    // Why the request a failed case checked failed; false when the case
    // failed on a value the base sent (or passed).
    bool requestFailure(const std::string& caseName, zorn::net::Failure& out) const;

private:
    // Runs a case's body with its name noted, for requestFailure.
    void addRequestCase(const std::string& name, void (ControlBusTestFixture::*body)());
    // The result code of a request, noting its failure for the case.
    template <class Outcome>
    int resultOf(const Outcome& outcome);

    // Fails the case when the fixture was built without a driver.
    void requireDevice() const;
    void testConnect();
    void testGetConfig();
    void testGetStatus();
    void testGetMotorData();
    void testGetSensorData();
    void testGetBumperData();
    void testGetAutoHomeData();
    void testSetMotor();
    void testSendEvent();

    zorn::drv::QuindleBaseDrv* dev_;
    zorn::drv::MotionGuard::Hooks motionHooks_;
    bool motionStopped_ = false;
    std::string current_;
    std::map<std::string, zorn::net::Failure> failures_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
