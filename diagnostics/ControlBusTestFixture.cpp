#include "diagnostics/ControlBusTestFixture.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace api = ::orbitane;

namespace {

constexpr int RESULT_OK = 0;

}  // namespace

ControlBusTestFixture::ControlBusTestFixture(api::Base* base) : TestFixture("ControlBus"), base_(base) {
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

template <class Call, class Value>
int ControlBusTestFixture::resultOf(Call call, Value& out) {
    try {
        out = call();
        return RESULT_OK;
    } catch (const api::Error& error) {
        failures_.erase(current_);
        failures_.emplace(current_, error);
        return static_cast<int>(error.result());
    }
}

template <class Call>
int ControlBusTestFixture::resultOf(Call call) {
    bool done = false;
    return resultOf(
        [&] {
            call();
            return true;
        },
        done);
}

bool ControlBusTestFixture::requestFailure(const std::string& caseName, api::Error& out) const {
    const auto found = failures_.find(caseName);
    if (found == failures_.end()) return false;
    out = found->second;
    return true;
}

void ControlBusTestFixture::requireDevice() const {
    if (base_ == nullptr) {
        throw TestException("no device under test");
    }
}

// The expression texts below are part of the failure messages the console
// prints; they are written out literally and must stay as they are.

void ControlBusTestFixture::testConnect() {
    assertEqual("(int)dev_->connect(info)==(int)RESULT_OK", resultOf([this] { base_->readIdentity(); }),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetConfig() {
    api::ShortRecord conf;
    const int result = resultOf([this] { return base_->shortRecord(); }, conf);
    assertEqual("(int)dev_->getConfig(conf)==(int)RESULT_OK", result, (int)RESULT_OK);
    assertEqual("(int)conf.base_type==(int)CIRCLE", conf.base_type, api::ShortRecord::CIRCLE);
    assertGreater("(int)conf.base_radius_q8>2560", conf.radius_q8, 2560);
    assertLess("(int)conf.base_radius_q8<256000", conf.radius_q8, 256000);
    assertEqual("(int)conf.base_motor_type==(int)TWO_WHEEL", conf.motor_type, api::ShortRecord::TWO_WHEEL);
    assertLessOrEqual("(int)conf.base_sensor_num<=8", conf.sensor_count, 8);
    assertLessOrEqual("(int)conf.base_bumper_num<=8", conf.bumper_count, 8);
}

void ControlBusTestFixture::testGetStatus() {
    assertEqual("(int)dev_->getStatus(status)==(int)RESULT_OK", resultOf([this] { base_->status(); }),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetMotorData() {
    assertEqual("(int)dev_->getMotorData(motorStatus)==(int)RESULT_OK", resultOf([this] { base_->motor(); }),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetSensorData() {
    assertEqual("(int)dev_->getSensorData(sensors)==(int)RESULT_OK", resultOf([this] { base_->distances(); }),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetBumperData() {
    assertEqual("(int)dev_->getBumperData(bumper)==(int)RESULT_OK", resultOf([this] { base_->bumperBits(); }),
                (int)RESULT_OK);
}

void ControlBusTestFixture::testGetAutoHomeData() {
    // Unchecked: the answer's size is not this case's to judge, and its
    // counts are checked below.
    api::BeaconReading response;
    const int result = resultOf([this] { return base_->beacon(false); }, response);
    assertEqual("(int)dev_->getAutoHomeData(req, (uint8_t*)&response, &responseSize)==(int)RESULT_OK", result,
                (int)RESULT_OK);
    assertLessOrEqual("(int)response.probe_count<=(int)sizeof(response.probe_data)", response.probe_count,
                      api::BeaconReading::MAX_PROBES);
    assertLessOrEqual("(int)response.beacon_count<=(int)8", response.beacon_count, (int)8);
}

void ControlBusTestFixture::testSetMotor() {
    api::Motion motion = base_->motion();
    // Both wheels at 100 mm/s.
    const int started = resultOf([&motion] { motion.wheels(0.1, 0.1); });
    // Straight back to stop, no pause in between, and also when the start
    // failed: the base may have acted on a request whose answer was lost
    // (a failed moving call leaves the scope taking the base as moving).
    const api::StopOutcome stop = motion.stop();
    if (!stop.confirmed && started == (int)RESULT_OK) {
        const std::optional<int> code = stop.base_error < 0 ? std::nullopt : std::optional<int>(stop.base_error);
        failures_.erase(current_);
        failures_.emplace(current_, api::Error(stop.kind, stop.result, "stop", code,
                                               api::RequestFailure{stop.cause, stop.written, 0}));
    }
    motionStopped_ = true;
    assertEqual("(int)dev_->setMotor(req)==(int)RESULT_OK", started, (int)RESULT_OK);
    assertEqual("(int)dev_->setMotor(req)==(int)RESULT_OK", (int)stop.result, (int)RESULT_OK);
}

void ControlBusTestFixture::testSendEvent() {
    assertEqual("(int)dev_->sendEvent(evt)==(int)RESULT_OK", resultOf([this] { base_->event(99); }), (int)RESULT_OK);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
