#include "console/drive/StallWatch.h"

#include "log/SignalFreeThread.h"

namespace zorn {
namespace orbitane {
namespace test {

StallWatch::StallWatch(Clock::duration limit, Clock::duration period, std::function<void()> act)
    : limit_(limit),
      period_(period),
      act_(std::move(act)),
      thread_(nivo::system::util::startSignalFreeThread([this] { loop(); })) {}

StallWatch::~StallWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool StallWatch::acted() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was = acted_;
    acted_ = false;
    return was;
}

void StallWatch::enter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inside_ = true;
        nextActAt_ = Clock::now() + limit_;
    }
    changed_.notify_all();
}

void StallWatch::leave() {
    std::unique_lock<std::mutex> lock(mutex_);
    inside_ = false;
    changed_.wait(lock, [this] { return !acting_; });
}

void StallWatch::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!inside_) {
            changed_.wait(lock);
            continue;
        }
        if (Clock::now() < nextActAt_) {
            changed_.wait_until(lock, nextActAt_);
            continue;
        }
        acting_ = true;
        lock.unlock();
        act_();
        lock.lock();
        acting_ = false;
        acted_ = true;
        nextActAt_ = Clock::now() + period_;
        changed_.notify_all();
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
