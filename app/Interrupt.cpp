#include "app/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "log/StandardOutput.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int SIGNAL_COUNT = sizeof SIGNALS / sizeof SIGNALS[0];
// While the base may move, no signal may end or suspend the console before
// the stop goes out. Ctrl-Z (SIGTSTP; a suspended console could not stop the
// base) and the signals whose default would end the process are taken as a
// request to stop. SIGTTOU and SIGXFSZ are ignored: output to the terminal
// from the background, or past the file-size limit, is then a failed write,
// never a suspension or a death.
struct MovingSignal {
    int sig;
    bool interrupts;  // else ignored
};
constexpr MovingSignal MOVING_SIGNALS[] = {{SIGTSTP, true}, {SIGUSR1, true},  {SIGUSR2, true},  {SIGALRM, true},
                                           {SIGXCPU, true}, {SIGTTOU, false}, {SIGXFSZ, false}};
constexpr int MOVING_SIGNAL_COUNT = sizeof MOVING_SIGNALS / sizeof MOVING_SIGNALS[0];

struct SignalName {
    int sig;
    const char* name;
};
constexpr SignalName SIGNAL_NAMES[] = {{SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},
                                       {SIGQUIT, "SIGQUIT"}, {SIGTSTP, "SIGTSTP"}, {SIGUSR1, "SIGUSR1"},
                                       {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"}, {SIGXCPU, "SIGXCPU"}};

volatile sig_atomic_t g_signal = 0;
std::atomic<int> g_scopes{0};
std::atomic<int> g_cuttingScopes{0};
std::atomic<void (*)(void*)> g_wake{nullptr};
std::atomic<void*> g_wakeContext{nullptr};
struct sigaction g_previous[SIGNAL_COUNT];
struct sigaction g_previousMoving[MOVING_SIGNAL_COUNT];

void onSignal(int sig) {
    if (g_signal != 0) {
        _exit(128 + sig);  // second interrupt while stopping: leave at once
    }
    g_signal = sig;
    // Output that nobody reads must not keep the command from ending.
    nivo::system::util::StandardOutput::abandonWaits();
    void (*wake)(void*) = g_wake.load();
    if (wake != nullptr && g_cuttingScopes.load() > 0) wake(g_wakeContext.load());
}

// Outside a scope nothing needs stopping: end with the shell's status for
// the signal, without the core dump SIGQUIT would leave.
void onSignalOutsideScope(int sig) { _exit(128 + sig); }

struct sigaction interruptAction() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : SIGNALS) sigaddset(&action.sa_mask, sig);
    for (const MovingSignal& moving : MOVING_SIGNALS) {
        if (moving.interrupts) sigaddset(&action.sa_mask, moving.sig);
    }
    action.sa_flags = 0;  // no SA_RESTART: a blocked wait returns early
    return action;
}

}  // namespace

InterruptScope::InterruptScope(bool cutRequestsShort) : cutRequestsShort_(cutRequestsShort) {
    const struct sigaction action = interruptAction();
    if (cutRequestsShort_ && g_cuttingScopes.fetch_add(1) == 0) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        for (int i = 0; i < MOVING_SIGNAL_COUNT; ++i) {
            sigaction(MOVING_SIGNALS[i].sig, MOVING_SIGNALS[i].interrupts ? &action : &ignore, &g_previousMoving[i]);
        }
    }
    if (g_scopes.fetch_add(1) != 0) {
        return;
    }
    for (int i = 0; i < SIGNAL_COUNT; ++i) sigaction(SIGNALS[i], &action, &g_previous[i]);
}

InterruptScope::~InterruptScope() {
    if (cutRequestsShort_ && g_cuttingScopes.fetch_sub(1) == 1) {
        for (int i = 0; i < MOVING_SIGNAL_COUNT; ++i) sigaction(MOVING_SIGNALS[i].sig, &g_previousMoving[i], nullptr);
    }
    if (g_scopes.fetch_sub(1) != 1) {
        return;
    }
    for (int i = 0; i < SIGNAL_COUNT; ++i) sigaction(SIGNALS[i], &g_previous[i], nullptr);
}

void installProcessSignalHandling() {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onSignalOutsideScope;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
}

void setInterruptWake(void (*wake)(void*), void* context) {
    g_wake.store(nullptr);
    g_wakeContext.store(context);
    g_wake.store(wake);
}

int interruptSignal() { return g_signal; }

const char* interruptSignalName() {
    for (const SignalName& known : SIGNAL_NAMES) {
        if (known.sig == g_signal) return known.name;
    }
    return "SIGINT";
}

void clearInterrupt() {
    g_signal = 0;
    nivo::system::util::StandardOutput::resumeWaits();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
