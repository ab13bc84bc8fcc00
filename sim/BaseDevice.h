#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "sim/DriveModel.h"
#include "sim/Scenario.h"
#include "sim/SimClock.h"

namespace zorn {
namespace orbitane {
namespace sim {

// Answer command bytes of the control bus.
constexpr uint8_t ANS_OK = 2;
constexpr uint8_t ANS_ERROR = 3;
// Error codes carried by ANS_ERROR.
constexpr uint16_t ERR_NOT_SUPPORTED = 0x8000;
constexpr uint16_t ERR_BAD_REQUEST = 0x0001;

// One answer message: command byte and payload.
struct Answer {
    uint8_t cmd = ANS_OK;
    std::vector<uint8_t> payload;

    static Answer ok(const void* record, size_t size);
    static Answer error(uint16_t code);
};

// One control-bus request as it arrived, whatever became of it.
struct ReceivedRequest {
    int code = -1;              // request code, -1 for an empty request
    std::vector<uint8_t> args;  // bytes after the code
    int64_t atNs = 0;
    std::string fault;          // name of the fault applied, empty when none
};

// The simulated micro-controller: identity, battery, drive, sensors,
// docking beacons, the pending base command, and everything the host told
// it. Executes control-bus requests and records what it received.
// Thread-safe: every member locks the device.
class BaseDevice {
public:
    BaseDevice(const Scenario& scenario, std::shared_ptr<const SimClock> clock);

    // Executes one request (the payload of a control-bus message: code,
    // then arguments) and returns the answer to send.
    Answer execute(const uint8_t* payload, size_t size);

    // The host went away: stops the wheels when the scenario asks for it.
    void hostGone();

    void noteReceived(const ReceivedRequest& request);

    // What the host sent, in arrival order.
    std::vector<ReceivedRequest> requests() const;
    std::vector<uint8_t> events() const;
    std::vector<drv::base_get_info_answer_t> getInfoAnswers() const;
    std::vector<drv::base_set_motor_request_t> motorCommands() const;
    std::vector<drv::base_set_velocity_request_t> velocityCommands() const;
    size_t requestCount(int code) const;

    // Current state.
    int32_t leftOdometer() const;
    int32_t rightOdometer() const;
    bool moving() const;
    uint8_t pendingCommand() const;
    Scenario scenario() const;
    std::vector<FaultRule> faults() const;
    int closeAfter() const;

    // Changes while running (tests and tools).
    void setPendingCommand(uint8_t command);
    void setStatus(uint8_t batteryPercentage, uint8_t chargingFlags);
    void setBumperBits(uint32_t bits);
    void setSonar(const std::vector<double>& mm);
    void setFaults(const std::vector<FaultRule>& faults);
    void setCloseAfter(int requests);

private:
    Answer connect(const uint8_t* args, size_t n);
    Answer binaryConfig();
    Answer motorData(int64_t now);
    Answer sensorData();
    Answer autoHome();
    Answer setMotor(const uint8_t* args, size_t n, int64_t now);
    Answer setVelocity(const uint8_t* args, size_t n, int64_t now);
    Answer answerGetInfo(const uint8_t* args, size_t n);

    mutable std::mutex mutex_;
    Scenario scenario_;
    std::shared_ptr<const SimClock> clock_;
    mutable DriveModel drive_;
    std::vector<uint8_t> binaryConfig_;
    drv::base_conf_response_t legacyRecord_;
    std::vector<ReceivedRequest> requests_;
    std::vector<uint8_t> events_;
    std::vector<drv::base_get_info_answer_t> getInfoAnswers_;
    std::vector<drv::base_set_motor_request_t> motorCommands_;
    std::vector<drv::base_set_velocity_request_t> velocityCommands_;
};

// Saturating conversion of a real to a q16 fixed-point int32.
int32_t toQ16(double value);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
