#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zorn {
namespace arch {
namespace net {

// Wait without a time limit.
constexpr uint32_t WAIT_INFINITE = 0xFFFFFFFFu;

// A non-recursive binary semaphore (initial and maximum count 1).
// Unlike std::mutex it may be released from any thread. Taking a free
// semaphore and releasing one nobody waits for are single atomic operations;
// only a contended lock waits on the condition variable.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Takes the semaphore, waiting at most timeoutMs (WAIT_INFINITE: no
    // limit). True when it was acquired.
    bool lock(uint32_t timeoutMs = WAIT_INFINITE);
    // Releases one count; releasing a free semaphore has no effect.
    void unlock();

private:
    std::atomic<bool> taken_{false};
    std::atomic<uint32_t> waiters_{0};  // threads in the slow path of lock()
    std::mutex m_;
    std::condition_variable cv_;
};

// Holds a Mutex for a scope: taken in the constructor (without limit),
// released in the destructor. owns() is false when the lock failed.
class MutexGuard {
public:
    explicit MutexGuard(Mutex& mutex) : mutex_(mutex), owns_(mutex.lock()) {}
    ~MutexGuard() {
        if (owns_) mutex_.unlock();
    }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;
    bool owns() const { return owns_; }
    // Releases early (and no longer in the destructor).
    void unlock() {
        if (owns_) mutex_.unlock();
        owns_ = false;
    }
    // Takes it again after unlock(); false when that failed.
    bool relock() {
        if (!owns_) owns_ = mutex_.lock();
        return owns_;
    }

private:
    Mutex& mutex_;
    bool owns_;
};

}  // namespace net
}  // namespace arch

namespace net {
using ::zorn::arch::net::Mutex;
using ::zorn::arch::net::MutexGuard;
using ::zorn::arch::net::WAIT_INFINITE;
}  // namespace net
}  // namespace zorn
