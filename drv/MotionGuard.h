#pragma once

// The one place where a command that may move the base stops it.
//
// A command constructs a guard before its first request that may move the
// base and arms it right before that request. Whatever way the command
// leaves (its end, an error, an exception, a signal, lost output), the
// guard sends the stop request once armed: through stop() on the command's
// own path, or from its destructor otherwise. It retries a stop the base
// refused or left unanswered, says in one log line whether the base
// confirmed the stop, and keeps the outcome for the command's result.
// Which answer confirms a stop is the link's rule (net/Link.h).
//
// The attempts rule: up to STOP_ATTEMPTS requests until one is answered.
// After a signal the console must end within 2 s, so an attempt starts only
// within RETRY_WINDOW of the first (a refused stop is answered at once and
// is retried; one that timed out has used its 1000 ms), and none after a
// second signal cut the wait for the stop's answer short.

#include <chrono>
#include <cstdint>

#include "drv/QuindleBaseDrv.h"
#include "net/Failure.h"

namespace zorn {
namespace drv {

// What came of a command's stop.
struct StopOutcome {
    bool sent = false;       // a stop was sent
    bool confirmed = false;  // the base answered it
    net::Failure failure;    // why not, when not confirmed
    int attempts = 0;
    int32_t result() const { return confirmed ? net::RESULT_OK : failure.result(); }
};

class MotionGuard {
public:
    // How the base is stopped: zero wheel speeds or zero body velocity.
    enum class Stop { Wheels, Body };

    // What the guard needs from the program around it; every member may be
    // null (no signal handling).
    struct Hooks {
        int (*interruptSignal)() = nullptr;              // the signal that interrupted the command, 0: none
        const char* (*interruptSignalName)() = nullptr;  // "SIGINT", ...
    };

    static constexpr int STOP_ATTEMPTS = 3;
    static constexpr std::chrono::milliseconds RETRY_WINDOW{900};

    MotionGuard(QuindleBaseDrv& driver, Stop how, const Hooks& hooks);
    ~MotionGuard();
    MotionGuard(const MotionGuard&) = delete;
    MotionGuard& operator=(const MotionGuard&) = delete;

    // The base may move from now on.
    void arm() { armed_ = true; }
    bool armed() const { return armed_; }
    // The command's own flow saw a stop confirmed and nothing moved since.
    void disarm() { armed_ = false; }

    // Sends the stop now (also when not armed: the caller knows better),
    // logs its outcome and returns it. Once only: later calls return the
    // same outcome.
    const StopOutcome& stop();
    // stop() for a command that leaves without stopping the base on its
    // own path (an exception, a program that ends): its line is a warning.
    const StopOutcome& stopLeftEarly() {
        leftEarly_ = true;
        return stop();
    }
    bool stopped() const { return outcome_.sent; }
    const StopOutcome& outcome() const { return outcome_; }

    // The command's result once it moved: an interrupt wins (128 + the
    // signal), then a stop the base did not confirm, then the command's own.
    int finalResult(int commandResult) const;

private:
    Done sendStop();
    void report() const;
    int signal() const { return hooks_.interruptSignal != nullptr ? hooks_.interruptSignal() : 0; }

    QuindleBaseDrv& driver_;
    Stop how_;
    Hooks hooks_;
    bool armed_ = false;
    bool leftEarly_ = false;  // stopped by the destructor
    StopOutcome outcome_;
};

}  // namespace drv
}  // namespace zorn
