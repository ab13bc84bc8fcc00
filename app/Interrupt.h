#pragma once

namespace zorn {
namespace orbitane {
namespace test {

// Signal handling for commands that keep the base busy (run, vrun, monitor,
// test). While an InterruptScope is alive the first SIGINT, SIGTERM, SIGHUP
// or SIGQUIT is only recorded, so the command can stop the base and return;
// a second one ends the process at once. A scope of a command that moves the
// base also lets the registered wake cut the request in progress short, so
// that the stop request goes out at once; in it SIGTSTP (Ctrl-Z; a suspended
// console could not stop the base), SIGUSR1, SIGUSR2, SIGALRM and SIGXCPU
// count as interrupts too, and SIGTTOU and SIGXFSZ are ignored, so that no
// signal ends or suspends the console before the stop goes out.
class InterruptScope {
public:
    explicit InterruptScope(bool cutRequestsShort = false);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    bool cutRequestsShort_;
};

// Process-wide dispositions, installed once at start-up: SIGPIPE is ignored
// (a closed output is seen as a failed write, never as death), and SIGHUP or
// SIGQUIT outside an InterruptScope end the process with 128 + the signal.
void installProcessSignalHandling();

// Called from the signal handler on the first interrupt inside a scope; it
// must be async-signal-safe. nullptr removes it.
void setInterruptWake(void (*wake)(void*), void* context);

// The signal that interrupted the running command, 0 when none did.
int interruptSignal();
inline bool interrupted() { return interruptSignal() != 0; }
// Exit status for an interrupted command: 128 + signal (129, 130, 131, 143,
// 148, ...).
inline int interruptStatus(int signal) { return 128 + signal; }
// Name of the recorded signal ("SIGINT", "SIGTERM", "SIGTSTP", ...).
const char* interruptSignalName();
// Forgets a recorded interrupt (tests and sessions run several commands in
// one process).
void clearInterrupt();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
