#pragma once

// Host-side driver of the base's micro-controller: one call per control-bus
// request, each a value or the Failure that kept it from being read. Every
// request goes through the link (net/Link.h), which decides which answer is
// whose; the driver builds the request payload, says what the answer looks
// like and whether the request moves or stops the base, and checks and
// converts the answer. Fixed-point words live here and nowhere above.
//
// A request waits REQUEST_TIMEOUT for its answer; the readings take a
// shorter one from a caller with a deadline of its own (drive). No retry,
// no caching, no logging.

#include <cstdint>
#include <vector>

#include "drv/BaseValues.h"
#include "drv/ControlBus.h"
#include "net/Failure.h"
#include "net/Link.h"

namespace zorn {
namespace drv {

using net::Done;
using net::Duration;
using net::Failure;
using net::Outcome;

class QuindleBaseDrv {
public:
    static constexpr auto REQUEST_TIMEOUT = net::REQUEST_TIMEOUT;
    // Bytes of the binary configuration the console reads at most.
    static constexpr size_t BINARY_CONFIG_CAPACITY = drv::BINARY_CONFIG_CAPACITY;

    // The link is not owned and must outlive the driver.
    explicit QuindleBaseDrv(net::Link& link) : link_(link) {}
    QuindleBaseDrv(const QuindleBaseDrv&) = delete;
    QuindleBaseDrv& operator=(const QuindleBaseDrv&) = delete;

    net::Link& link() const { return link_; }

    // The identity; an answer shorter than 28 bytes is invalid.
    Outcome<Identity> connect();
    // The legacy configuration record; an answer shorter than 264 bytes is
    // invalid.
    Outcome<LegacyConfig> getConfig();
    // The binary configuration stream, cut to `capacity` bytes.
    Outcome<std::vector<uint8_t>> getBinaryConfig(size_t capacity = BINARY_CONFIG_CAPACITY);
    // An answer shorter than 2 bytes is invalid.
    Outcome<Status> getStatus(Duration timeout = REQUEST_TIMEOUT);
    // A short answer is zero-filled, a long one cut.
    Outcome<Odometry> getMotorData(Duration timeout = REQUEST_TIMEOUT);
    Outcome<Distances> getSensorData(Duration timeout = REQUEST_TIMEOUT);
    // A short answer is zero-filled; one over 4 bytes is invalid.
    Outcome<Bumpers> getBumperData(Duration timeout = REQUEST_TIMEOUT);
    // Whatever the base sent, up to 5 bytes; answerSize says how much.
    Outcome<Beacons> getAutoHomeData(Duration timeout = REQUEST_TIMEOUT);
    // Wheel speeds in m/s, sent as whole mm/s (rounded); both zero is the
    // stop. The answer is not read.
    Done setWheelSpeeds(double leftMetresPerSecond, double rightMetresPerSecond);
    // Body velocity in m/s, m/s and rad/s (each truncated to the 16.16
    // field); all zero is the stop. The displacement answer is zero-filled
    // or cut to 13 bytes. A caller with a period of its own (drive) gives a
    // shorter time-out, so that the next period's request is never late.
    Outcome<Displacement> setVelocity(double vx, double vy, double omega, Duration timeout = REQUEST_TIMEOUT);
    // The base's pending command; an empty answer is invalid.
    Outcome<uint8_t> pollCommand();
    // The host's information, for a BASE_CMD_GET_INFO; the answer is not read.
    Done answerGetInfo(const base_get_info_answer_t& info);
    // An event to the base; the answer is not read.
    Done sendEvent(uint8_t event);

private:
    // One request: the code, then `argLength` argument bytes.
    Outcome<net::AnswerView> exchange(uint8_t code, const void* args, size_t argLength, const net::RequestKind& kind);

    net::Link& link_;
};

// Speeds and velocities as the wire carries them: what setWheelSpeeds and
// setVelocity send for a value.
int32_t wheelSpeedWord(double metresPerSecond);
int32_t velocityWord(double value);
// The velocity field can carry `value` (m/s or rad/s) without clamping it.
bool velocityFits(double value);

}  // namespace drv
}  // namespace zorn
