#include "app/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

volatile sig_atomic_t g_signal = 0;
std::atomic<int> g_scopes{0};
struct sigaction g_previousInt;
struct sigaction g_previousTerm;

void onSignal(int sig) {
    if (g_signal != 0) {
        _exit(128 + sig);  // second interrupt while stopping: leave at once
    }
    g_signal = sig;
}

}  // namespace

InterruptScope::InterruptScope() {
    if (g_scopes.fetch_add(1) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked wait returns early
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
}

InterruptScope::~InterruptScope() {
    if (g_scopes.fetch_sub(1) != 1) {
        return;
    }
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
}

int interruptSignal() { return g_signal; }

const char* interruptSignalName() { return g_signal == SIGTERM ? "SIGTERM" : "SIGINT"; }

void clearInterrupt() { g_signal = 0; }

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
