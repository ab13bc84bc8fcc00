#include "net/ReaderSlot.h"

namespace zorn {
namespace net {

namespace {

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(ReaderSlot::Clock::now().time_since_epoch()).count();
}

}  // namespace

ReaderSlot::Hold ReaderSlot::acquireUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto free = [this] { return !held_; };
    if (deadline == Clock::time_point::max()) {
        freed_.wait(lock, free);
    } else if (!freed_.wait_until(lock, deadline, free)) {
        return Hold();
    }
    held_ = true;
    owner_.store(std::this_thread::get_id());
    return Hold(this);
}

void ReaderSlot::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        owner_.store(std::thread::id());
        held_ = false;
    }
    freed_.notify_one();
}

void ReaderSlot::callerEnds(bool linger) {
    callerSeenNs_.store(linger ? steadyNowNs() : 0);
    callerReading_.store(false);
}

bool ReaderSlot::callerActive(Clock::duration& left) const {
    if (callerReading_.load()) {
        left = linger_;
        return true;
    }
    const int64_t seen = callerSeenNs_.load();
    const int64_t lingerNs = std::chrono::duration_cast<std::chrono::nanoseconds>(linger_).count();
    const int64_t since = steadyNowNs() - seen;
    if (seen == 0 || since >= lingerNs) return false;
    left = std::chrono::nanoseconds(lingerNs - since);
    return true;
}

}  // namespace net
}  // namespace zorn
