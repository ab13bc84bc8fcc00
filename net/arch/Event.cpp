#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "net/arch/Event.h"

namespace zorn {
namespace arch {
namespace net {

namespace {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "an atomic int must be a plain futex word");

int* futexWord(std::atomic<int>& word) { return reinterpret_cast<int*>(&word); }

// Sleeps while word holds `expected`, at most `timeout` (null: no limit).
// 0 when woken; -1 with errno EAGAIN (the word changed first), EINTR or
// ETIMEDOUT otherwise.
int futexWait(std::atomic<int>& word, int expected, const timespec* timeout) {
    return static_cast<int>(::syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0));
}

void futexWake(std::atomic<int>& word, int count) {
    ::syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace

void Event::set() {
    // A waiter counts itself before it tests the flag, and set() raises the
    // flag before it reads the count (all sequentially consistent): either
    // the waiter sees the flag, or set() sees the waiter and wakes it. A
    // waiter that has not gone to sleep yet finds the word changed and does
    // not sleep.
    if (signaled_.exchange(1) == 0 && waiters_.load() > 0) futexWake(signaled_, 1);
}

void Event::reset() { signaled_.store(0); }

WaitResult Event::wait(uint32_t timeoutMs) {
    int expected = 1;
    if (signaled_.compare_exchange_strong(expected, 0)) return WAIT_SIGNALED;
    if (timeoutMs == 0) return WAIT_TIMEOUT;
    const bool unlimited = timeoutMs == WAIT_INFINITE;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
    WaitResult result = WAIT_TIMEOUT;
    waiters_.fetch_add(1);
    for (;;) {
        expected = 1;
        if (signaled_.compare_exchange_strong(expected, 0)) {
            result = WAIT_SIGNALED;
            break;
        }
        timespec left;
        const timespec* bound = nullptr;
        if (!unlimited) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (ns <= 0) break;  // timed out
            left.tv_sec = static_cast<time_t>(ns / 1000000000);
            left.tv_nsec = static_cast<long>(ns % 1000000000);
            bound = &left;
        }
        if (futexWait(signaled_, 0, bound) != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
            result = WAIT_FAILED;
            break;
        }
        // Woken, interrupted or timed out: the flag and the deadline decide.
    }
    waiters_.fetch_sub(1);
    return result;
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
