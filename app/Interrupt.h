#pragma once

#include <signal.h>

#include "net/CancelToken.h"

namespace zorn {
namespace orbitane {
namespace test {

// Signal handling of the console, in one place.
//
// While an InterruptScope is alive, SIGINT, SIGTERM, SIGHUP and SIGQUIT are
// recorded instead of ending the process: the first one asks the endpoint's
// token to stop (the request in progress is cut short, no request but the
// stop is written any more) so the command can stop the base and return
// with 128 + the signal. More of them within BURST_MS of the first are the
// same signal. A later one ends the wait for the stop's answer once the stop
// has been written, never before; where nothing may be moving, it ends the
// process at once (after restoring the terminal). A scope of a command that
// may move the base also takes SIGTSTP (Ctrl-Z; a suspended console could
// not stop the base), SIGUSR1, SIGUSR2, SIGALRM and SIGXCPU as interrupts,
// and ignores SIGTTOU and SIGXFSZ, so that no signal ends or suspends the
// console before the stop goes out.
class InterruptScope {
public:
    explicit InterruptScope(bool mayMove = false);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    bool mayMove_;
};

// Signals closer together than this after the first are one burst.
constexpr int BURST_MS = 250;

// Blocks every signal on the calling thread while it lives. A thread
// started meanwhile inherits the mask, so one that a library starts (the USB
// library's event thread) never takes a signal meant for the main thread.
// The channel, output and watch threads block theirs on their own.
class SignalsBlockedScope {
public:
    SignalsBlockedScope();
    ~SignalsBlockedScope();
    SignalsBlockedScope(const SignalsBlockedScope&) = delete;
    SignalsBlockedScope& operator=(const SignalsBlockedScope&) = delete;

private:
    sigset_t previous_;
};

// Process-wide dispositions, installed once at start-up: SIGPIPE is ignored
// (a closed output is seen as a failed write, never as death), and the four
// interrupt signals outside an InterruptScope end the process with
// 128 + the signal (an exit status, not a death by the signal).
void installProcessSignalHandling();

// The token a signal sets (the endpoint's); nullptr removes it.
void setInterruptToken(zorn::net::CancelToken* token);
// Puts the terminal back before a handler ends the process; it must be
// async-signal-safe. nullptr removes it.
void setTerminalRestore(void (*restore)());

// The signal that interrupted the running command, 0 when none did.
int interruptSignal();
inline bool interrupted() { return interruptSignal() != 0; }
using zorn::net::interruptStatus;
// Name of the recorded signal ("SIGINT", "SIGTERM", "SIGTSTP", ...).
const char* interruptSignalName();
// Forgets a recorded interrupt and the token's stop request (tests and
// sessions run several commands in one process).
void clearInterrupt();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
