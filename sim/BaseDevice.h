#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "net/Framer.h"
#include "sim/DriveModel.h"
#include "sim/Scenario.h"
#include "sim/SimClock.h"

namespace zorn {
namespace orbitane {
namespace sim {

// Answer command bytes of the control bus, and the error codes ANS_ERROR
// carries.
using ::zorn::net::ANS_OK;
using ::zorn::net::ANS_ERROR;
constexpr uint16_t ERR_NOT_SUPPORTED = ::zorn::net::ANS_ERROR_NOT_SUPPORTED;
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

// What the base is doing at one moment, for the state log.
struct DeviceState {
    double seconds = 0.0;  // since the simulator started
    double leftMmS = 0.0;
    double rightMmS = 0.0;
    int32_t leftOdometer = 0;
    int32_t rightOdometer = 0;
    double leftTravelMm = 0.0;  // the odometers before rounding
    double rightTravelMm = 0.0;
    double x = 0.0;      // metres, in the frame the base started in
    double y = 0.0;      // metres
    double theta = 0.0;  // radians
    uint8_t battery = 0;
    uint8_t chargingFlags = 0;
    uint32_t bumperBits = 0;
    std::vector<double> sonarMm;
};

// "state: wheels L/R mm/s, odometers L/R mm, pose x y m theta deg, ..."
std::string describeState(const DeviceState& state);

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

    // Records kept of each kind: a simulator left running for days must not
    // grow, so only the most recent ones are kept; the counts cover all.
    // The program keeps kProgramHistory; in-process users (tests reading a
    // whole run back, at thousands of requests a second) get more by
    // default, still bounded.
    static constexpr size_t kProgramHistory = 10000;
    static constexpr size_t kDefaultHistory = 1000000;
    void setHistoryLimit(size_t records);

    // What the host sent, in arrival order (the most recent ones, see
    // setHistoryLimit).
    std::vector<ReceivedRequest> requests() const;
    std::vector<uint8_t> events() const;
    std::vector<drv::base_get_info_answer_t> getInfoAnswers() const;
    std::vector<drv::base_set_motor_request_t> motorCommands() const;
    std::vector<drv::base_set_velocity_request_t> velocityCommands() const;
    // Requests received with `code` (-1: empty requests), and in all, since
    // the start.
    size_t requestCount(int code) const;
    uint64_t requestsReceived() const;

    // Current state.
    DeviceState state() const;
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
    Answer sensorData(int64_t now);
    Answer autoHome();
    Answer setMotor(const uint8_t* args, size_t n, int64_t now);
    Answer setVelocity(const uint8_t* args, size_t n, int64_t now);
    Answer answerGetInfo(const uint8_t* args, size_t n);
    // The scenario's readings with its timeline applied.
    Readings readingsAt(int64_t now) const;

    mutable std::mutex mutex_;
    Scenario scenario_;
    std::shared_ptr<const SimClock> clock_;
    mutable DriveModel drive_;
    int64_t startNs_;  // the timeline's zero
    std::vector<uint8_t> binaryConfig_;
    drv::base_conf_response_t legacyRecord_;
    size_t historyLimit_ = kDefaultHistory;
    std::deque<ReceivedRequest> requests_;
    std::array<uint64_t, 257> requestCounts_{};  // by code + 1
    uint64_t requestsReceived_ = 0;
    std::deque<uint8_t> events_;
    std::deque<drv::base_get_info_answer_t> getInfoAnswers_;
    std::deque<drv::base_set_motor_request_t> motorCommands_;
    std::deque<drv::base_set_velocity_request_t> velocityCommands_;
    // What the velocity answers have not reported yet of the true motion
    // (below one unit of the fixed-point fields): carried into the next
    // answer so that the answers add up to the motion however often the
    // host asks.
    double unreportedDx_ = 0.0;       // metres
    double unreportedDy_ = 0.0;       // metres
    double unreportedDthetaDeg_ = 0.0;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
