#include "console/StallWatch.h"

#include <signal.h>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

// Signals are the main thread's: their handlers must cut its waits short. A
// thread inherits its creator's mask, so blocking every signal around the
// creation leaves no moment at which one could land in the new thread.
template <class Body>
std::thread startWithSignalsBlocked(Body body) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

}  // namespace

StallWatch::StallWatch(Clock::duration limit, Clock::duration period, std::function<void()> act)
    : limit_(limit), period_(period), act_(std::move(act)), thread_(startWithSignalsBlocked([this] { loop(); })) {}

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
