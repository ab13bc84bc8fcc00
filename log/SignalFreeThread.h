#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace nivo {
namespace system {
namespace util {

// Starts a thread that has every signal blocked from its first instruction:
// signals are the main thread's, whose handlers must cut its waits short. A
// thread inherits its creator's mask, so the mask is set around the creation
// and no signal can land in the new thread before it could block them.
// (The channel threads below the log layer have their own copy in the
// platform layer, which may include nothing of the project.)
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

}  // namespace util
}  // namespace system
}  // namespace nivo
