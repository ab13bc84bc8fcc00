#pragma once

// The one place where a command that may move the base stops it.
//
// A command constructs a guard before its first request that may move the
// base and arms it right before that request. Whatever way the command
// leaves (its end, an error, an exception, a signal, lost output), the
// guard sends the stop request once armed: through stop() on the command's
// own path, or from its destructor otherwise. It retries a stop the base
// refused or left unanswered, checks the answer, says in one log line
// whether the base confirmed the stop, and keeps the outcome for the
// command's result and its JSON output.
//
// The attempts rule: up to STOP_ATTEMPTS requests until one is answered.
// After a signal the console must end within 2 s, so an attempt starts only
// within RETRY_WINDOW_MS of the first (a refused stop is answered at once
// and is retried; one that times out has used its 1000 ms), and none after
// a second signal cut the wait for the stop's answer short.

#include <cstdint>

#include "drv/QuindleBaseDrv.h"

namespace zorn {
namespace drv {

class MotionGuard {
public:
    // How the base is stopped: zero wheel speeds or zero body velocity.
    enum class Stop { Wheels, Body };

    // What the guard needs from the program around it; every member may be
    // null (no signal handling, nobody to tell).
    struct Hooks {
        int (*interruptSignal)() = nullptr;            // the signal that interrupted the command, 0: none
        const char* (*interruptSignalName)() = nullptr;  // "SIGINT", ...
        void (*outcome)(bool confirmed, int32_t stopResult) = nullptr;
    };

    static constexpr int STOP_ATTEMPTS = 3;
    static constexpr int RETRY_WINDOW_MS = 900;

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
    // logs its outcome and returns the stop's result (RESULT_OK when the
    // base confirmed it). Once only: later calls return the same result.
    int32_t stop();
    bool stopped() const { return stopped_; }
    bool confirmed() const { return stopped_ && result_ >= 0; }
    int32_t stopResult() const { return result_; }
    int attempts() const { return attempts_; }

    // The command's result once it moved: an interrupt wins (128 + the
    // signal), then a stop the base did not confirm, then the command's own.
    int finalResult(int commandResult) const;

private:
    int32_t sendStop();
    void report() const;
    int signal() const { return hooks_.interruptSignal != nullptr ? hooks_.interruptSignal() : 0; }

    QuindleBaseDrv& driver_;
    Stop how_;
    Hooks hooks_;
    bool armed_ = false;
    bool stopped_ = false;
    bool leftEarly_ = false;  // stopped by the destructor
    int32_t result_ = 0;
    int attempts_ = 0;
};

}  // namespace drv
}  // namespace zorn
