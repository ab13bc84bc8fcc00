#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace zorn {
namespace orbitane {
namespace test {

// Stands in for a loop stuck in a call that may block for good. Writing to a
// terminal that takes no output (a stalled remote session, a paused
// terminal) stops the drive loop, and with it the velocity requests and the
// dead man it owes the base. While a call bracketed by a Section has run
// longer than `limit`, the watch calls `act` every `period` on a thread of
// its own. A Section ends only once no act is running, so the loop and the
// watch never use the base at the same time.
class StallWatch {
public:
    using Clock = std::chrono::steady_clock;

    StallWatch(Clock::duration limit, Clock::duration period, std::function<void()> act);
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // Brackets one call that may block.
    class Section {
    public:
        explicit Section(StallWatch& watch) : watch_(watch) { watch_.enter(); }
        ~Section() { watch_.leave(); }
        Section(const Section&) = delete;
        Section& operator=(const Section&) = delete;

    private:
        StallWatch& watch_;
    };

    // True once after the watch acted, until it acts again.
    bool acted();

private:
    void enter();
    void leave();
    void loop();

    const Clock::duration limit_;
    const Clock::duration period_;
    const std::function<void()> act_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool inside_ = false;
    bool acting_ = false;
    bool acted_ = false;
    bool stopping_ = false;
    Clock::time_point nextActAt_;
    std::thread thread_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
