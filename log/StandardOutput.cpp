#include "log/StandardOutput.h"
#include "log/SignalFreeThread.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace nivo {
namespace system {
namespace util {

struct StandardOutput::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<int, std::string>> queue;
    size_t queued = 0;
    bool writing = false;   // the thread holds text outside the queue
    bool sleeping = false;  // the thread waits without a time limit
    bool started = false;
    int deadlineScopes = 0;
    uint64_t dropped = 0;
    bool lost[3] = {false, false, false};
};

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

std::atomic<bool> g_abandon{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

constexpr auto WAIT_SLICE = std::chrono::milliseconds(100);

size_t lineCount(const std::string& text) {
    size_t n = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return n == 0 ? 1 : n;
}

// The writer thread. It takes everything queued for one descriptor at once
// and writes it with one call; after a write it looks again shortly before
// it sleeps, so a command printing thousands of lines a second costs neither
// a wake-up nor a write per line.
void writeQueued(StandardOutput::State& s) {
    constexpr auto LINGER = std::chrono::milliseconds(2);
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        if (s.queue.empty()) {
            if (!s.changed.wait_for(lock, LINGER, [&s] { return !s.queue.empty(); })) {
                s.sleeping = true;
                s.changed.wait(lock, [&s] { return !s.queue.empty(); });
                s.sleeping = false;
            }
        }
        const int fd = s.queue.front().first;
        std::string batch = std::move(s.queue.front().second);
        s.queue.pop_front();
        s.writing = true;
        const bool skip = s.lost[fd];
        lock.unlock();
        const bool ok = skip || writeAll(fd, batch);
        lock.lock();
        if (!ok) s.lost[fd] = true;
        s.queued -= batch.size();
        s.writing = false;
        s.changed.notify_all();
    }
}

}  // namespace

StandardOutput& StandardOutput::instance() {
    // Never destroyed: its thread may still run while static objects go.
    static StandardOutput* output = new StandardOutput();
    return *output;
}

StandardOutput::StandardOutput() : state_(new State()) {}

void StandardOutput::write(int fd, const std::string& text) {
    if (text.empty() || (fd != 1 && fd != 2)) return;
    State& s = *state_;
    std::unique_lock<std::mutex> g(s.mutex);
    if (s.lost[fd]) return;
    if (!s.started) {
        s.started = true;
        startSignalFreeThread([&s] { writeQueued(s); }).detach();
    }
    // Room for a text larger than the limit is made by an empty queue.
    auto hasRoom = [&s, &text] { return s.queued == 0 || s.queued + text.size() <= QUEUE_LIMIT; };
    if (!hasRoom()) {
        if (s.deadlineScopes > 0) {
            s.dropped += lineCount(text);
            return;
        }
        while (!hasRoom()) {
            if (g_abandon.load()) {
                s.dropped += lineCount(text);
                return;
            }
            s.changed.wait_for(g, WAIT_SLICE);
        }
        if (s.lost[fd]) return;
    }
    s.queued += text.size();
    // Lines for the same stream gather in one block of up to CHUNK bytes, so
    // the writer takes them with one write and memory is reused in blocks.
    constexpr size_t CHUNK = 64 * 1024;
    if (!s.queue.empty() && s.queue.back().first == fd && s.queue.back().second.size() + text.size() <= CHUNK) {
        s.queue.back().second += text;
    } else {
        s.queue.emplace_back(fd, std::string());
        s.queue.back().second.reserve(std::max(CHUNK, text.size()));
        s.queue.back().second += text;
    }
    // A writer that is about to look again needs no system call to wake it.
    if (s.sleeping) s.changed.notify_all();
}

void StandardOutput::flush() {
    State& s = *state_;
    std::unique_lock<std::mutex> g(s.mutex);
    auto abandonedAt = std::chrono::steady_clock::time_point();
    while (!(s.queue.empty() && !s.writing)) {
        if (g_abandon.load()) {
            const auto now = std::chrono::steady_clock::now();
            if (abandonedAt == std::chrono::steady_clock::time_point()) abandonedAt = now;
            if (now - abandonedAt >= std::chrono::seconds(1)) return;  // the reader is gone or stuck
        }
        s.changed.wait_for(g, WAIT_SLICE);
    }
}

void StandardOutput::abandonWaits() { g_abandon.store(true); }

void StandardOutput::resumeWaits() { g_abandon.store(false); }

uint64_t StandardOutput::droppedLines() const {
    std::lock_guard<std::mutex> g(state_->mutex);
    return state_->dropped;
}

bool StandardOutput::lost(int fd) const {
    if (fd != 1 && fd != 2) return false;
    std::lock_guard<std::mutex> g(state_->mutex);
    return state_->lost[fd];
}

StandardOutput::DeadlineScope::DeadlineScope() {
    State& s = *instance().state_;
    std::lock_guard<std::mutex> g(s.mutex);
    ++s.deadlineScopes;
}

StandardOutput::DeadlineScope::~DeadlineScope() {
    State& s = *instance().state_;
    std::lock_guard<std::mutex> g(s.mutex);
    --s.deadlineScopes;
}

}  // namespace util
}  // namespace system
}  // namespace nivo
