#pragma once

#include <atomic>

#include "net/arch/WakeSignal.h"

namespace zorn {
namespace net {

// The request to stop, as the link sees it. A signal handler sets it;
// every request checks it after it has reset its own state and before it
// writes, so a stop asked for at any moment is never forgotten:
// - once a stop is requested, no request but a stop request is written, and
//   the wait of any other request ends at once;
// - a stop request is always written; only a later cut (cutStopWait) ends
//   its wait early.
// The link also records here whether the base may be moving, so that the
// handler knows whether a stop is still due. Every operation a handler calls
// is a lock-free atomic or a write to the wake-up descriptor, which the
// link's waits watch beside the medium.
class CancelToken {
public:
    // Signal-safe. The stop is asked for: wakes the request in progress.
    void requestStop() noexcept {
        stop_.store(true);
        wake();
    }
    // Signal-safe. Ends the wait for a stop request's answer (the stop is
    // then reported as unconfirmed); never keeps a stop from being written.
    void cutStopWait() noexcept {
        stopWaitCut_.store(true);
        wake();
    }
    bool stopRequested() const noexcept { return stop_.load(); }
    bool stopWaitCut() const noexcept { return stopWaitCut_.load(); }
    // A request that moves the base was written and no stop has been
    // confirmed since.
    bool mayBeMoving() const noexcept { return mayBeMoving_.load(); }
    // A stop request was written since the stop was requested.
    bool stopWritten() const noexcept { return stopWritten_.load(); }

    // Forgets a stop request (a new command starts). Not for a handler.
    void clear() noexcept {
        stop_.store(false);
        stopWaitCut_.store(false);
        stopWritten_.store(false);
        wakeSignal_.clear();
    }

    // The descriptor whose readability ends the link's waits: readable from
    // a stop request or a cut on, until rearm().
    int wakeFd() const noexcept { return wakeSignal_.fd(); }
    // Makes the descriptor quiet again; the waiter then looks at the flags
    // once more, so a signal that lands meanwhile is never missed.
    void rearm() noexcept { wakeSignal_.clear(); }

    // The link's side.
    void noteMoveWritten() noexcept { mayBeMoving_.store(true); }
    void noteStopWritten() noexcept {
        if (stop_.load()) stopWritten_.store(true);
    }
    void noteStopConfirmed() noexcept { mayBeMoving_.store(false); }

private:
    void wake() noexcept { wakeSignal_.signal(); }

    static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need lock-free flags");
    std::atomic<bool> stop_{false};
    std::atomic<bool> stopWaitCut_{false};
    std::atomic<bool> mayBeMoving_{false};
    std::atomic<bool> stopWritten_{false};
    ::zorn::arch::net::WakeSignal wakeSignal_;
};

// Exit status of a command ended by `signal`: 128 + the signal (129, 130,
// 131, 143, 148, ...), as a shell reports a process the signal ended.
inline int interruptStatus(int signal) { return 128 + signal; }

}  // namespace net
}  // namespace zorn
