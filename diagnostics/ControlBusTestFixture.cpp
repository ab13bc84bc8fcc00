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
    addCase("connect", [this] { requireDevice(); testConnect(); });
    addCase("getConfig", [this] { requireDevice(); testGetConfig(); });
    addCase("getStatus", [this] { requireDevice(); testGetStatus(); });
    addCase("getMotorData", [this] { requireDevice(); testGetMotorData(); });
    addCase("getSensorData", [this] { requireDevice(); testGetSensorData(); });
    addCase("getBumperData", [this] { requireDevice(); testGetBumperData(); });
    addCase("getAutoHomeData", [this] { requireDevice(); testGetAutoHomeData(); });
    addCase("setMotor", [this] { requireDevice(); testSetMotor(); });
    addCase("sendEvent", [this] { requireDevice(); testSendEvent(); });
}

void ControlBusTestFixture::requireDevice() const {
    if (dev_ == nullptr) {
        throw TestException("no device under test");
    }
}

// The expression texts below are part of the failure messages the console
// prints; they are written out literally and must stay as they are.

void ControlBusTestFixture::testConnect() {
    base_connect_response_t info = {};
    assertEqual("(int)dev_->connect(info)==(int)RESULT_OK", (int)dev_->connect(info), (int)RESULT_OK);
}

void ControlBusTestFixture::testGetConfig() {
    base_conf_response_t conf = {};
    assertEqual("(int)dev_->getConfig(conf)==(int)RESULT_OK", (int)dev_->getConfig(conf), (int)RESULT_OK);
    assertEqual("(int)conf.base_type==(int)CIRCLE", (int)conf.base_type, (int)CIRCLE);
    assertGreater("(int)conf.base_radius_q8>2560", (int)conf.base_radius_q8, 2560);
    assertLess("(int)conf.base_radius_q8<256000", (int)conf.base_radius_q8, 256000);
    assertEqual("(int)conf.base_motor_type==(int)TWO_WHEEL", (int)conf.base_motor_type, (int)TWO_WHEEL);
    assertLessOrEqual("(int)conf.base_sensor_num<=8", (int)conf.base_sensor_num, 8);
    assertLessOrEqual("(int)conf.base_bumper_num<=8", (int)conf.base_bumper_num, 8);
}

void ControlBusTestFixture::testGetStatus() {
    base_status_response_t status = {};
    assertEqual("(int)dev_->getStatus(status)==(int)RESULT_OK", (int)dev_->getStatus(status), (int)RESULT_OK);
}

void ControlBusTestFixture::testGetMotorData() {
    base_motor_status_response_t motorStatus = {};
    assertEqual("(int)dev_->getMotorData(motorStatus)==(int)RESULT_OK", (int)dev_->getMotorData(motorStatus),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetSensorData() {
    base_sensor_data_response_t sensors = {};
    assertEqual("(int)dev_->getSensorData(sensors)==(int)RESULT_OK", (int)dev_->getSensorData(sensors),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetBumperData() {
    base_bumper_data_response_t bumper = {};
    assertEqual("(int)dev_->getBumperData(bumper)==(int)RESULT_OK", (int)dev_->getBumperData(bumper),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetAutoHomeData() {
    uint8_t req = 0;
    // Cleared first: a short answer leaves the rest of the record as it was.
    base_autohome_response_t response = {};
    uint32_t responseSize = sizeof(response);
    assertEqual("(int)dev_->getAutoHomeData(req, (uint8_t*)&response, &responseSize)==(int)RESULT_OK",
                (int)dev_->getAutoHomeData(req, (uint8_t*)&response, &responseSize), (int)RESULT_OK);
    assertLessOrEqual("(int)response.probe_count<=(int)sizeof(response.probe_data)", (int)response.probe_count,
                      (int)sizeof(response.probe_data));
    assertLessOrEqual("(int)response.beacon_count<=(int)8", (int)response.beacon_count, (int)8);
}

void ControlBusTestFixture::testSetMotor() {
    base_set_motor_request_t req = {};
    req.left_speed = 100;
    req.right_speed = 100;
    MotionGuard guard(*dev_, MotionGuard::Stop::Wheels, motionHooks_);
    guard.arm();
    const int started = (int)dev_->setMotor(req);
    // Straight back to stop, no pause in between, and also when the start
    // failed: the base may have acted on a request whose answer was lost.
    const int stopped = (int)guard.stop();
    motionStopped_ = true;
    assertEqual("(int)dev_->setMotor(req)==(int)RESULT_OK", started, (int)RESULT_OK);
    assertEqual("(int)dev_->setMotor(req)==(int)RESULT_OK", stopped, (int)RESULT_OK);
}

void ControlBusTestFixture::testSendEvent() {
    uint8_t evt = 99;
    assertEqual("(int)dev_->sendEvent(evt)==(int)RESULT_OK", (int)dev_->sendEvent(evt), (int)RESULT_OK);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
