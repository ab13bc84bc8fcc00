#pragma once

// Self-test of every control-bus request the driver offers, run against a
// connected base: each case issues one or two requests and checks the
// result code and, where the answer has limits, the answer's fields.

#include "diagnostics/TestFramework.h"
#include "drv/MotionGuard.h"

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

private:
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
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
