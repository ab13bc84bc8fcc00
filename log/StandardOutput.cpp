#include "log/StandardOutput.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
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
    bool writing = false;  // the thread holds a text outside the queue
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

size_t lineCount(const std::string& text) {
    size_t n = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return n == 0 ? 1 : n;
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
        std::thread([&s] {
            std::unique_lock<std::mutex> lock(s.mutex);
            for (;;) {
                s.changed.wait(lock, [&s] { return !s.queue.empty(); });
                std::pair<int, std::string> item = std::move(s.queue.front());
                s.queue.pop_front();
                s.writing = true;
                bool skip = s.lost[item.first];
                lock.unlock();
                bool ok = skip || writeAll(item.first, item.second);
                lock.lock();
                if (!ok) s.lost[item.first] = true;
                s.queued -= item.second.size();
                s.writing = false;
                s.changed.notify_all();
            }
        }).detach();
    }
    // Room for a text larger than the limit is made by an empty queue.
    auto hasRoom = [&s, &text] { return s.queued == 0 || s.queued + text.size() <= QUEUE_LIMIT; };
    if (!hasRoom()) {
        if (s.deadlineScopes > 0) {
            s.dropped += lineCount(text);
            return;
        }
        s.changed.wait(g, hasRoom);
        if (s.lost[fd]) return;
    }
    s.queued += text.size();
    s.queue.emplace_back(fd, text);
    s.changed.notify_all();
}

void StandardOutput::flush() {
    State& s = *state_;
    std::unique_lock<std::mutex> g(s.mutex);
    s.changed.wait(g, [&s] { return s.queue.empty() && !s.writing; });
}

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
