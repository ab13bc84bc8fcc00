#pragma once

namespace zorn {
namespace orbitane {
namespace test {

// Ctrl-C / SIGTERM handling for commands that keep the base busy (run, vrun,
// monitor). While an InterruptScope is alive the first SIGINT or SIGTERM is
// only recorded, so the command can stop the base and return; a second one
// ends the process at once.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// The signal that interrupted the running command, 0 when none did.
int interruptSignal();
inline bool interrupted() { return interruptSignal() != 0; }
// Exit status for an interrupted command: 128 + signal (130, 143).
inline int interruptStatus(int signal) { return 128 + signal; }
// Name of the recorded signal ("SIGINT", "SIGTERM").
const char* interruptSignalName();
// Forgets a recorded interrupt (tests run several commands in one process).
void clearInterrupt();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
