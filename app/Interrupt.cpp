#include "app/Interrupt.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

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

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free flags");
static_assert(std::atomic<int64_t>::is_always_lock_free, "signal handlers need a lock-free clock word");
std::atomic<int> g_signal{0};
std::atomic<int64_t> g_firstSignalNs{0};
std::atomic<int> g_scopes{0};
std::atomic<int> g_movingScopes{0};
std::atomic<zorn::net::CancelToken*> g_token{nullptr};
std::atomic<void (*)()> g_restore{nullptr};
struct sigaction g_previous[SIGNAL_COUNT];
struct sigaction g_previousMoving[MOVING_SIGNAL_COUNT];

int64_t nowNs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void leaveNow(int sig) {
    void (*restore)() = g_restore.load();
    if (restore != nullptr) restore();
    _exit(128 + sig);
}

void onSignal(int sig) {
    const int savedErrno = errno;
    zorn::net::CancelToken* token = g_token.load();
    int none = 0;
    if (g_signal.compare_exchange_strong(none, sig)) {
        g_firstSignalNs.store(nowNs());
        // Output that nobody reads must not keep the command from ending.
        nivo::system::util::StandardOutput::abandonWaits();
        if (token != nullptr) token->requestStop();
    } else if (nowNs() - g_firstSignalNs.load() >= int64_t{BURST_MS} * 1000000) {
        if (token == nullptr || !token->mayBeMoving()) {
            leaveNow(sig);  // nothing to stop: leave at once
        }
        // The stop's first write always goes out; after it, a further
        // signal ends the wait for its answer, and one more leaves.
        if (token->stopWaitCut()) leaveNow(sig);
        if (token->stopWritten()) token->cutStopWait();
    }
    errno = savedErrno;
}

// Outside a scope nothing needs stopping: end with the shell's status for
// the signal, without the core dump SIGQUIT would leave. The rest of a burst
// that a command already took finds the console on its way out with that
// status: it is let go, so the command's last line is not lost.
void onSignalOutsideScope(int sig) {
    const int savedErrno = errno;
    if (g_signal.load() != 0 && nowNs() - g_firstSignalNs.load() < int64_t{BURST_MS} * 1000000) {
        errno = savedErrno;
        return;
    }
    leaveNow(sig);
}

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

InterruptScope::InterruptScope(bool mayMove) : mayMove_(mayMove) {
    const struct sigaction action = interruptAction();
    if (mayMove_ && g_movingScopes.fetch_add(1) == 0) {
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
    if (mayMove_ && g_movingScopes.fetch_sub(1) == 1) {
        for (int i = 0; i < MOVING_SIGNAL_COUNT; ++i) sigaction(MOVING_SIGNALS[i].sig, &g_previousMoving[i], nullptr);
    }
    if (g_scopes.fetch_sub(1) != 1) {
        return;
    }
    for (int i = 0; i < SIGNAL_COUNT; ++i) sigaction(SIGNALS[i], &g_previous[i], nullptr);
}

SignalsBlockedScope::SignalsBlockedScope() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

SignalsBlockedScope::~SignalsBlockedScope() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void installProcessSignalHandling() {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onSignalOutsideScope;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int sig : SIGNALS) sigaction(sig, &action, nullptr);
}

void setInterruptToken(zorn::net::CancelToken* token) { g_token.store(token); }

void setTerminalRestore(void (*restore)()) { g_restore.store(restore); }

int interruptSignal() { return g_signal.load(); }

const char* interruptSignalName() {
    const int sig = g_signal.load();
    for (const SignalName& known : SIGNAL_NAMES) {
        if (known.sig == sig) return known.name;
    }
    return "SIGINT";
}

void clearInterrupt() {
    g_signal.store(0);
    zorn::net::CancelToken* token = g_token.load();
    if (token != nullptr) token->clear();
    nivo::system::util::StandardOutput::resumeWaits();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
