#include "log/OutputLane.h"
#include "log/SignalFreeThread.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace nivo {
namespace system {
namespace util {

namespace {

// Writes all of `text`; false on any failure other than an interruption.
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

constexpr auto WAIT_SLICE = std::chrono::milliseconds(100);

}  // namespace

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

OutputLane::OutputLane(size_t limit) : limit_(limit) {}

OutputLane::~OutputLane() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
}

OutputLane::Push OutputLane::push(int fd, const std::string& text, const std::function<bool()>& mustDrop) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (std::find(lost_.begin(), lost_.end(), fd) != lost_.end()) return Push::Discarded;
    if (!writer_.joinable()) writer_ = startSignalFreeThread([this] { writeQueued(); });
    // Room for a text larger than the limit is made by an empty queue.
    auto hasRoom = [this, &text] { return queued_ == 0 || queued_ + text.size() <= limit_; };
    while (!hasRoom()) {
        if (mustDrop()) return Push::Dropped;
        changed_.wait_for(lock, WAIT_SLICE);
        if (std::find(lost_.begin(), lost_.end(), fd) != lost_.end()) return Push::Discarded;
    }
    queued_ += text.size();
    // Lines for the same descriptor gather in one block of up to CHUNK
    // bytes, so the writer takes them with one write and memory is reused
    // in blocks.
    constexpr size_t CHUNK = 64 * 1024;
    if (!queue_.empty() && queue_.back().first == fd && queue_.back().second.size() + text.size() <= CHUNK) {
        queue_.back().second += text;
    } else {
        queue_.emplace_back(fd, std::string());
        queue_.back().second.reserve(std::max(CHUNK, text.size()));
        queue_.back().second += text;
    }
    // A writer that is about to look again needs no system call to wake it.
    if (sleeping_) changed_.notify_all();
    return Push::Queued;
}

bool OutputLane::drained() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && !writing_;
}

bool OutputLane::waitDrained(std::chrono::nanoseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A writer that lingers for more text takes what is queued now rather
    // than at the end of its linger.
    changed_.notify_all();
    return changed_.wait_for(lock, limit, [this] { return queue_.empty() && !writing_; });
}

int64_t OutputLane::nsInCurrentWrite(int64_t nowNs) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writing_ ? nowNs - writingSinceNs_ : 0;
}

bool OutputLane::lost(int fd) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(lost_.begin(), lost_.end(), fd) != lost_.end();
}

// The writer thread. It takes what is queued for one descriptor at once and
// writes it with one call; after a write it looks again 10 ms later before
// it sleeps, so a command printing thousands of lines a second costs neither
// a wake-up nor a write per line (a linger of 2 ms cost a pty reading about
// 8 % more CPU), and a line waits at most that long. Waiting for the queue
// to drain ends the linger at once.
void OutputLane::writeQueued() {
    constexpr auto LINGER = std::chrono::milliseconds(10);
    auto hasWork = [this] { return !queue_.empty() || closing_; };
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (queue_.empty()) {
            if (!changed_.wait_for(lock, LINGER, hasWork)) {
                sleeping_ = true;
                changed_.wait(lock, hasWork);
                sleeping_ = false;
            }
            if (queue_.empty()) return;  // closing, with nothing left
        }
        const int fd = queue_.front().first;
        std::string batch = std::move(queue_.front().second);
        queue_.pop_front();
        const bool skip = std::find(lost_.begin(), lost_.end(), fd) != lost_.end();
        writing_ = true;
        writingSinceNs_ = monotonicNs();
        lock.unlock();
        const bool ok = skip || writeAll(fd, batch);
        lock.lock();
        if (!ok) lost_.push_back(fd);
        queued_ -= batch.size();
        writing_ = false;
        changed_.notify_all();
    }
}

}  // namespace util
}  // namespace system
}  // namespace nivo
