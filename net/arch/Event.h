#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "net/arch/Mutex.h"

namespace zorn {
namespace arch {
namespace net {

enum WaitResult {
    WAIT_SIGNALED = 0,
    WAIT_TIMEOUT = 1,
    WAIT_FAILED = 2,
};

// An unnamed auto-reset signal, created not signalled. A successful wait
// consumes the signal; set() releases at most one waiter.
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
    std::mutex m_;
    std::condition_variable cv_;
    bool signaled_ = false;
};

}  // namespace net
}  // namespace arch

namespace net {
using ::zorn::arch::net::Event;
using ::zorn::arch::net::WaitResult;
using ::zorn::arch::net::WAIT_SIGNALED;
using ::zorn::arch::net::WAIT_TIMEOUT;
using ::zorn::arch::net::WAIT_FAILED;
}  // namespace net
}  // namespace zorn
