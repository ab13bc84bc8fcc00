#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace zorn {
namespace arch {
namespace net {

// Starts a thread that has every signal blocked from its first instruction:
// signals are the main thread's, whose handlers must cut its waits short. The
// mask is set around the creation (a thread inherits its creator's mask), so
// unlike a mask the new thread sets itself there is no moment at which a
// signal could be delivered to it.
template <class Body>
std::thread startSignalFreeThread(Body&& body) {
    sigset_t all;
    sigfillset(&all);
    struct Restore {
        sigset_t previous;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    } restore;
    pthread_sigmask(SIG_SETMASK, &all, &restore.previous);
    return std::thread(std::forward<Body>(body));
}

}  // namespace net
}  // namespace arch

namespace net {
using ::zorn::arch::net::startSignalFreeThread;
}  // namespace net
}  // namespace zorn
