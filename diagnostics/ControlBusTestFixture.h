#pragma once

// Self-test of every control-bus request the driver offers, run against a
// connected base: each case issues one or two requests and checks the
// result code and, where the answer has limits, the answer's fields.

#include "diagnostics/TestFramework.h"

namespace zorn {
namespace drv {
class QuindleBaseDrv;
}

namespace orbitane {
namespace test {

class ControlBusTestFixture : public TestFixture {
public:
    // The driver is not owned and must outlive the fixture.
    explicit ControlBusTestFixture(zorn::drv::QuindleBaseDrv* dev);

    // Asked after the setMotor case's start: once a stop is requested the
    // program must end promptly, and the stop that follows gets one attempt.
    void setStopRequested(StopRequested stopRequested) { stopRequested_ = std::move(stopRequested); }

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
    StopRequested stopRequested_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
