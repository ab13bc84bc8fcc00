#include "diagnostics/ControlBusTestFixture.h"

#include "drv/ControlBus.h"
#include "drv/QuindleBaseDrv.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace zorn::drv;
using zorn::net::RESULT_OK;

ControlBusTestFixture::ControlBusTestFixture(QuindleBaseDrv* dev) : TestFixture("ControlBus"), dev_(dev) {
    addRequestCase("connect", &ControlBusTestFixture::testConnect);
    addRequestCase("getConfig", &ControlBusTestFixture::testGetConfig);
    addRequestCase("getStatus", &ControlBusTestFixture::testGetStatus);
    addRequestCase("getMotorData", &ControlBusTestFixture::testGetMotorData);
    addRequestCase("getSensorData", &ControlBusTestFixture::testGetSensorData);
    addRequestCase("getBumperData", &ControlBusTestFixture::testGetBumperData);
    addRequestCase("getAutoHomeData", &ControlBusTestFixture::testGetAutoHomeData);
    addRequestCase("setMotor", &ControlBusTestFixture::testSetMotor);
    addRequestCase("sendEvent", &ControlBusTestFixture::testSendEvent);
}

void ControlBusTestFixture::addRequestCase(const std::string& name, void (ControlBusTestFixture::*body)()) {
    addCase(name, [this, name, body] {
        current_ = name;
        failures_.erase(name);
        requireDevice();
        (this->*body)();
    });
}

template <class Outcome>
int ControlBusTestFixture::resultOf(const Outcome& outcome) {
    if (!outcome.ok()) failures_[current_] = outcome.failure();
    return static_cast<int>(outcome.result());
}

bool ControlBusTestFixture::requestFailure(const std::string& caseName, zorn::net::Failure& out) const {
    const auto found = failures_.find(caseName);
    if (found == failures_.end()) return false;
    out = found->second;
    return true;
}

void ControlBusTestFixture::requireDevice() const {
    if (dev_ == nullptr) {
        throw TestException("no device under test");
    }
}

// The expression texts below are part of the failure messages the console
// prints; they are written out literally and must stay as they are.

void ControlBusTestFixture::testConnect() {
    assertEqual("(int)dev_->connect(info)==(int)RESULT_OK", resultOf(dev_->connect()), (int)RESULT_OK);
}

void ControlBusTestFixture::testGetConfig() {
    const auto answer = dev_->getConfig();
    assertEqual("(int)dev_->getConfig(conf)==(int)RESULT_OK", resultOf(answer), (int)RESULT_OK);
    const base_conf_response_t& conf = answer->record;
    assertEqual("(int)conf.base_type==(int)CIRCLE", (int)conf.base_type, (int)CIRCLE);
    assertGreater("(int)conf.base_radius_q8>2560", (int)conf.base_radius_q8, 2560);
    assertLess("(int)conf.base_radius_q8<256000", (int)conf.base_radius_q8, 256000);
    assertEqual("(int)conf.base_motor_type==(int)TWO_WHEEL", (int)conf.base_motor_type, (int)TWO_WHEEL);
    assertLessOrEqual("(int)conf.base_sensor_num<=8", (int)conf.base_sensor_num, 8);
    assertLessOrEqual("(int)conf.base_bumper_num<=8", (int)conf.base_bumper_num, 8);
}

void ControlBusTestFixture::testGetStatus() {
    assertEqual("(int)dev_->getStatus(status)==(int)RESULT_OK", resultOf(dev_->getStatus()), (int)RESULT_OK);
}

void ControlBusTestFixture::testGetMotorData() {
    assertEqual("(int)dev_->getMotorData(motorStatus)==(int)RESULT_OK", resultOf(dev_->getMotorData()),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetSensorData() {
    assertEqual("(int)dev_->getSensorData(sensors)==(int)RESULT_OK", resultOf(dev_->getSensorData()),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetBumperData() {
    assertEqual("(int)dev_->getBumperData(bumper)==(int)RESULT_OK", resultOf(dev_->getBumperData()),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetAutoHomeData() {
    const auto response = dev_->getAutoHomeData();
    assertEqual("(int)dev_->getAutoHomeData(req, (uint8_t*)&response, &responseSize)==(int)RESULT_OK",
                resultOf(response), (int)RESULT_OK);
    assertLessOrEqual("(int)response.probe_count<=(int)sizeof(response.probe_data)", response->probeCount,
                      BASE_MAX_PROBES);
    assertLessOrEqual("(int)response.beacon_count<=(int)8", response->beaconCount, (int)8);
}

void ControlBusTestFixture::testSetMotor() {
    MotionGuard guard(*dev_, MotionGuard::Stop::Wheels, motionHooks_);
    guard.arm();
    // Both wheels at 100 mm/s.
    const int started = resultOf(dev_->setWheelSpeeds(0.1, 0.1));
    // Straight back to stop, no pause in between, and also when the start
    // failed: the base may have acted on a request whose answer was lost.
    const StopOutcome& stop = guard.stop();
    if (!stop.confirmed && started == (int)RESULT_OK) failures_[current_] = stop.failure;
    motionStopped_ = true;
    assertEqual("(int)dev_->setMotor(req)==(int)RESULT_OK", started, (int)RESULT_OK);
    assertEqual("(int)dev_->setMotor(req)==(int)RESULT_OK", (int)stop.result(), (int)RESULT_OK);
}

void ControlBusTestFixture::testSendEvent() {
    assertEqual("(int)dev_->sendEvent(evt)==(int)RESULT_OK", resultOf(dev_->sendEvent(99)), (int)RESULT_OK);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
