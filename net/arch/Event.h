#pragma once

#include <atomic>
#include <cstdint>

namespace zorn {
namespace arch {
namespace net {

// Wait without a time limit.
constexpr uint32_t WAIT_INFINITE = 0xFFFFFFFFu;

enum WaitResult {
    WAIT_SIGNALED = 0,
    WAIT_TIMEOUT = 1,
    WAIT_FAILED = 2,
};

// An unnamed auto-reset signal, created not signalled. A successful wait
// consumes the signal; set() releases at most one waiter. Built on a futex
// word: set() makes a system call only when a thread sleeps on the event, and
// a woken waiter takes the signal without any further lock.
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Waits at most timeoutMs (WAIT_INFINITE: no limit).
    WaitResult wait(uint32_t timeoutMs);

private:
    std::atomic<int> signaled_{0};  // the futex word: 1 while signalled
    std::atomic<int> waiters_{0};   // threads inside wait() past the fast path
};

}  // namespace net
}  // namespace arch

namespace net {
using ::zorn::arch::net::Event;
using ::zorn::arch::net::WaitResult;
using ::zorn::arch::net::WAIT_SIGNALED;
using ::zorn::arch::net::WAIT_TIMEOUT;
using ::zorn::arch::net::WAIT_FAILED;
using ::zorn::arch::net::WAIT_INFINITE;
}  // namespace net
}  // namespace zorn
