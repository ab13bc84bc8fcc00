#pragma once

// A link to one base, and the motion scope that drives it.
//
//   orbitane::Base base = orbitane::Base::open("tcp://127.0.0.1:11331");
//   orbitane::Status status = base.status();
//   {
//       orbitane::Motion motion = base.motion();
//       motion.velocity(0.2);               // 0.2 m/s ahead
//       ...
//       orbitane::StopOutcome stop = motion.stop();
//   }                                       // or the scope's end stops it
//
// Every call that talks to the base is one request and its answer, on the
// calling thread, under the request core's rules (docs/safety.md: which
// answer belongs to which request, time-outs, corrupted frames, lost
// links). A call either returns its value or throws orbitane::Error with
// the failure's kind and result code; nothing is retried, so no request is
// ever sent twice.
//
// Threads: the calls on one Base are serialised (one request on the wire
// at a time), so use one Base per thread to read several bases at once;
// Bases are independent of each other. interrupt() is the one call that
// may come from another thread or from a signal handler. The library
// installs no signal handler and writes nothing to standard output or
// standard error.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orbitane/Endpoint.h"
#include "orbitane/Error.h"
#include "orbitane/Export.h"
#include "orbitane/Values.h"

namespace orbitane {

namespace detail {
class Session;
struct BaseAccess;
}

class Motion;

// The requests a call makes, as wouldWait() tells them apart.
enum class Request { Status, Motor, Sensor, Bumper, Beacon, Velocity, Wheels };

struct OpenOptions {
    // The pauses after the first and the second synchronisation frame sent
    // when the link opens: 200 ms and 500 ms, as the console, which a base
    // needs to drop a half-received frame; a simulator needs none.
    std::chrono::milliseconds syncPauseFirst{200};
    std::chrono::milliseconds syncPauseSecond{500};
};

class ORBITANE_API Base {
public:
    // Opens the link: the channel (a TCP connection, of at most 10 s, to
    // each address of the host in turn; or the serial port at 115,200
    // baud), the two synchronisation frames, and the connect request, whose
    // answer is the identity. Errors: usage (a bad URI), host_not_found,
    // connect_failed (the channel, or no answer to the connect request; the
    // message says why and what to check), interrupted.
    static Base open(const std::string& uri, const OpenOptions& options = OpenOptions());
    static Base open(const Endpoint& endpoint, const OpenOptions& options = OpenOptions());

    Base(Base&& other) noexcept;
    Base& operator=(Base&& other) noexcept;
    // Closes the link (see close()).
    ~Base();
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;

    // Stops the base first when a motion scope may still be moving it, then
    // closes the link. Every later call fails with kind usage; closing
    // again does nothing.
    void close() noexcept;
    bool isOpen() const noexcept;
    const Endpoint& endpoint() const;

    // The readings, each a request (sensor and bumper also read the
    // configuration once per link, for the labels and poses).
    Identity identity() const;  // from the connect request; no request
    // Sends the connect request again: the identity the base answers now
    // (identity() gives it from then on).
    Identity readIdentity();
    Status status();
    Motor motor();
    SensorReading sensor();
    // `activeLow`: a clear bit is a triggered sensor (a base whose switches
    // pull the bit low).
    BumperReading bumper(bool activeLow = false);
    // Error (invalid_answer) when the answer is not 5 bytes or the base
    // reports more probes than its answer holds (three), unless `checked`
    // is false: then answer_bytes says the answer's size, probe_count is
    // the base's count and `probes` the three the answer holds.
    BeaconReading beacon(bool checked = true);
    // Read afresh each time: binary, falling back to the legacy record for
    // a base that does not support it.
    Config config();
    // The base's radius in metres, from its own short record (the legacy
    // configuration request, which every base answers): half the track
    // the wheels' travels are integrated over. 0 when the base reports
    // none.
    double radius();
    // That short record's fields as the base sent them.
    ShortRecord shortRecord();

    // Asks the base what it wants; when it asks for the host's identity,
    // sends the console's (model "Q7N3", device "ORBITANE-XXXXXX"), unless
    // `answer` is false: then answerGetInfo() sends it.
    PollReading poll(bool answer = true);
    // Sends the host's identity, the answer to a get-info poll; what was sent.
    HostInfo answerGetInfo();
    // Sends an event (0 to 255) and returns the code sent.
    int event(int code);

    // Opens the motion scope: the one way to move the base, at most one per
    // Base at a time (Error, kind usage, for a second).
    Motion motion();
    // The outcome of the last motion scope's stop, once one was sent.
    std::optional<StopOutcome> lastStop() const;

    LinkCounts linkCounts() const;

    // For a control loop that keeps a period (docs/library.md, "A control
    // loop"):
    //
    // The longest each later call waits for its answer, from 1 ms to the
    // request core's own 1000 ms; zero gives that back. A motion scope's
    // stop keeps its own. Error (usage) outside those bounds.
    void setAnswerTimeout(std::chrono::nanoseconds limit);
    std::chrono::nanoseconds answerTimeout() const;
    // Whether a call making `request` would now first wait: an earlier
    // request's answer of the same size is owed (late), and until it comes
    // or lapses a new answer could not be told from it. A loop leaves such
    // a request for later instead of waiting. A stop never waits.
    bool wouldWait(Request request) const;
    // The connection is gone (closed by the base, or the medium failed):
    // every request fails at once from now on.
    bool linkLost() const;
    // The readings without the configuration: no labels, and nothing read
    // but the one request. The 16 distance values in metres, in the
    // answer's order (configured sonars first); the bumper and cliff bits
    // as the base sent them.
    std::vector<double> distances();
    uint32_t bumperBits();

    // Asks the call in progress to stop, from another thread or a signal
    // handler (async-signal-safe): its wait ends at once, and from now on
    // no request but the motion scope's stop is written, each call failing
    // with kind interrupted, until resetInterrupt(). When a call on this
    // Base ends while it is interrupted and a motion scope may be moving
    // the base, the scope's stop is sent before the call returns or throws
    // (under the attempts rule). Once that stop was written, a second
    // interrupt() ends the wait for its answer (the stop is then reported
    // unconfirmed).
    void interrupt() noexcept;
    void resetInterrupt() noexcept;
    bool interrupted() const noexcept;

private:
    friend struct detail::BaseAccess;
    explicit Base(std::shared_ptr<detail::Session> session);
    std::shared_ptr<detail::Session> session_;
};

// The motion scope. Once it has sent anything that moves the base, every
// way out of it sends the stop request (zero wheel speeds, or zero
// velocity, the way the scope drove), checks the base's answer and keeps
// the truth about it: stop(), the destructor (an exception unwinding, the
// end of the block), Base::close(), and an interrupted call. The stop is
// the console's (drv/MotionGuard): up to three attempts until the base
// answers, and after interrupt() a further attempt only within 900 ms of
// the first.
//
// A scope drives one way, set by its first moving call: wheel speeds or a
// body velocity (the other one is refused with kind usage, before anything
// is sent). A failed moving call throws and leaves the scope open: the
// base may have acted on it, so the scope's end still stops it.
class ORBITANE_API Motion {
public:
    Motion(Motion&& other) noexcept;
    Motion& operator=(Motion&&) = delete;
    Motion(const Motion&) = delete;
    Motion& operator=(const Motion&) = delete;
    // Sends the stop when the scope moved the base and nothing stopped it
    // yet; never throws.
    ~Motion();

    // Wheel speeds in m/s, sent as whole mm/s (rounded). Both zero is a
    // stop request.
    void wheels(double leftMetresPerSecond, double rightMetresPerSecond);
    // Body velocity: vx, vy in m/s (the robot's frame), omega in rad/s
    // anticlockwise, each within the 16.16 fixed-point field (below 32768
    // in magnitude). All zero is a stop request. Returns the displacement
    // the base reports since its previous velocity answer.
    Displacement velocity(double vx, double vy = 0.0, double omega = 0.0);

    // Takes the base as moving without sending anything, for a base a
    // previous program may have left moving: the scope's end then sends
    // its stop (a zero velocity when `velocity`, else zero wheel speeds)
    // even when the scope itself never moved it. Sets the scope's way as
    // its first moving call would.
    void assumeMoving(bool velocity);

    // Sends the stop now (once: later calls return the same outcome) and
    // ends the scope; without a moving request before it, nothing is sent
    // (sent is false). Never throws for the stop's own failure: the outcome
    // says it.
    StopOutcome stop();
    // Ends the scope like stop(), except when the last request it sent was
    // a stop request the base answered (an all-zero velocity or wheel
    // speeds): the base is at rest by its own answer, so nothing more is
    // sent, and the outcome is that request's (sent, confirmed, one
    // attempt), without a log line. For a loop that stops the base itself.
    StopOutcome finish();
    // The last request the scope sent was a stop request the base answered.
    bool atRest() const;
    // The stop was sent (by stop(), by an interrupted call or by closing).
    bool ended() const;
    std::optional<StopOutcome> outcome() const;

private:
    friend class Base;
    Motion(std::shared_ptr<detail::Session> session, uint64_t scope);
    std::shared_ptr<detail::Session> session_;
    uint64_t scope_ = 0;  // which of the Base's scopes this is
};

// Whether Motion::velocity() takes `value` (m/s or rad/s): a finite number
// whose 16.16 fixed-point word fits in 32 bits (below 32768 in magnitude).
ORBITANE_API bool velocityFits(double value);

// "2.0.0_dev": the version of the library, the console's own.
ORBITANE_API const char* version();

}  // namespace orbitane
