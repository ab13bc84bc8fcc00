#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nivo {
namespace system {
namespace util {

// One destination's bounded queue of text and the thread that writes it.
// Each destination has a lane of its own, so a reader that stops reading
// holds up only the text bound for it. A lane may serve several
// descriptors of one destination (standard output and standard error on one
// terminal or pipe): their text keeps the order it was queued in.
class OutputLane {
public:
    explicit OutputLane(size_t limit);
    // Lets the writer write what is queued, then joins it.
    ~OutputLane();
    OutputLane(const OutputLane&) = delete;
    OutputLane& operator=(const OutputLane&) = delete;

    enum class Push { Queued, Dropped, Discarded };
    // Queues `text` for `fd`. While the queue is full it waits for room,
    // looking at `mustDrop` every 100 ms: Dropped when that said so,
    // Discarded when writes to `fd` have already failed.
    Push push(int fd, const std::string& text, const std::function<bool()>& mustDrop);

    // Whether everything queued has been written or discarded.
    bool drained() const;
    // Waits up to `limit` until it has.
    bool waitDrained(std::chrono::nanoseconds limit);
    // How long the writer has been inside its current write (0 outside one):
    // a reader that stopped reading keeps it there.
    int64_t nsInCurrentWrite(int64_t nowNs) const;
    bool lost(int fd) const;

private:
    void writeQueued();

    const size_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<int, std::string>> queue_;
    size_t queued_ = 0;        // bytes queued or being written
    int64_t writingSinceNs_ = 0;  // when the current write began; 0: none
    bool writing_ = false;     // the writer holds text outside the queue
    bool sleeping_ = false;    // the writer waits without a time limit
    bool closing_ = false;
    std::vector<int> lost_;    // descriptors whose write failed
    std::thread writer_;       // started with the first text
};

// CLOCK_MONOTONIC in nanoseconds; async-signal-safe.
int64_t monotonicNs();

}  // namespace util
}  // namespace system
}  // namespace nivo
