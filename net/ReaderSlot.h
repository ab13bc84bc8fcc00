#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zorn {
namespace net {

// Admits one reader of a channel's medium at a time, so that frames are
// decoded in the order they arrived, and tells the receive thread when
// callers read their own answers: while one does, and for a linger after,
// the receive thread stands aside, so a burst of requests never wakes it.
//
// A mutex and a condition rather than a timed mutex, whose timed lock some
// thread checkers cannot see.
class ReaderSlot {
public:
    using Clock = std::chrono::steady_clock;

    // The slot while held: released when it goes. Empty when the slot
    // could not be taken in time.
    class Hold {
    public:
        Hold() = default;
        explicit Hold(ReaderSlot* slot) : slot_(slot) {}
        Hold(Hold&& other) noexcept : slot_(other.slot_) { other.slot_ = nullptr; }
        Hold& operator=(Hold&&) = delete;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold() {
            if (slot_ != nullptr) slot_->release();
        }
        explicit operator bool() const { return slot_ != nullptr; }

    private:
        ReaderSlot* slot_ = nullptr;
    };

    explicit ReaderSlot(Clock::duration linger) : linger_(linger) {}
    ReaderSlot(const ReaderSlot&) = delete;
    ReaderSlot& operator=(const ReaderSlot&) = delete;

    // Takes the slot, waiting until `deadline` (Clock::time_point::max():
    // without limit).
    Hold acquireUntil(Clock::time_point deadline);
    // The calling thread holds the slot.
    bool heldByThisThread() const { return owner_.load() == std::this_thread::get_id(); }

    // A caller is about to read its own answer.
    void callerStarts() { callerReading_.store(true); }
    // The caller is done; `linger` false when the receive thread must take
    // over at once (the medium failed, or lets no caller read).
    void callerEnds(bool linger);
    // A caller reads, or read within the linger; `left` is what remains of
    // the receive thread's time aside.
    bool callerActive(Clock::duration& left) const;

private:
    void release();

    const Clock::duration linger_;
    std::mutex mutex_;
    std::condition_variable freed_;
    bool held_ = false;  // guarded by mutex_
    std::atomic<std::thread::id> owner_{};
    std::atomic<bool> callerReading_{false};
    std::atomic<int64_t> callerSeenNs_{0};  // steady clock; 0: long ago
};

}  // namespace net
}  // namespace zorn
