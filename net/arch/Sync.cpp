#include <chrono>

#include "net/arch/Event.h"
#include "net/arch/Mutex.h"

namespace zorn {
namespace arch {
namespace net {

bool Mutex::lock(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    if (timeoutMs == WAIT_INFINITE) {
        cv_.wait(g, [this] { return !taken_; });
    } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return !taken_; })) {
        return false;
    }
    taken_ = true;
    return true;
}

void Mutex::unlock() {
    {
        std::lock_guard<std::mutex> g(m_);
        if (!taken_) return;
        taken_ = false;
    }
    cv_.notify_one();
}

void Event::set() {
    {
        std::lock_guard<std::mutex> g(m_);
        signaled_ = true;
    }
    cv_.notify_one();
}

void Event::reset() {
    std::lock_guard<std::mutex> g(m_);
    signaled_ = false;
}

WaitResult Event::wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    if (timeoutMs == WAIT_INFINITE) {
        cv_.wait(g, [this] { return signaled_; });
    } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return signaled_; })) {
        return WAIT_TIMEOUT;
    }
    signaled_ = false;
    return WAIT_SIGNALED;
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
