#include "log/OutputStreams.h"

#include <sys/stat.h>

#include <algorithm>

namespace nivo {
namespace system {
namespace util {

namespace {

// Whether text written to `a` and to `b` ends up in the same place.
bool sameDestination(int a, int b) {
    if (a == b) return true;
    struct stat sa {}, sb {};
    if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

size_t lineCount(const std::string& text) {
    size_t n = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return n == 0 ? 1 : n;
}

// A stuck write is one that has taken this long; a destination that takes
// its text finishes each write far sooner.
constexpr int64_t STUCK_NS = 50000000;
// How often flush() looks whether waits were abandoned, and after that
// whether it may give up.
constexpr auto FLUSH_LOOK = std::chrono::milliseconds(100);
constexpr auto ABANDONED_FLUSH_LOOK = std::chrono::milliseconds(10);

}  // namespace

OutputStreams::OutputStreams(int outFd, int errFd, const std::atomic<int64_t>& abandonedAtNs)
    : fds_{-1, outFd, errFd}, abandonedAtNs_(abandonedAtNs), errLane_(new OutputLane(QUEUE_LIMIT)) {
    if (!sameDestination(outFd, errFd)) outLane_.reset(new OutputLane(QUEUE_LIMIT));
    laneOf_[1] = outLane_ ? outLane_.get() : errLane_.get();
    laneOf_[2] = errLane_.get();
}

OutputStreams::~OutputStreams() = default;

void OutputStreams::write(int stream, const std::string& text) {
    if (text.empty() || (stream != 1 && stream != 2)) return;
    auto mustDrop = [this] { return deadlines_.load() > 0 || abandonedAtNs_.load() != 0; };
    if (laneOf_[stream]->push(fds_[stream], text, mustDrop) == OutputLane::Push::Dropped) {
        dropped_ += lineCount(text);
    }
}

bool OutputStreams::mayGiveUp(const OutputLane& lane) const {
    const int64_t abandonedAt = abandonedAtNs_.load();
    if (abandonedAt == 0) return false;
    const int64_t now = monotonicNs();
    return now - abandonedAt >= GIVE_UP_NS && lane.nsInCurrentWrite(now) >= STUCK_NS;
}

void OutputStreams::flush() {
    // Standard error first: it carries the word about the stop.
    for (OutputLane* lane : {errLane_.get(), outLane_.get()}) {
        if (lane == nullptr) continue;
        while (!lane->drained() && !mayGiveUp(*lane)) {  // giving up: the reader is gone or stuck
            lane->waitDrained(abandonedAtNs_.load() != 0 ? ABANDONED_FLUSH_LOOK : FLUSH_LOOK);
        }
    }
}

uint64_t OutputStreams::droppedLines() const { return dropped_.load(); }

bool OutputStreams::lost(int stream) const {
    if (stream != 1 && stream != 2) return false;
    return laneOf_[stream]->lost(fds_[stream]);
}

void OutputStreams::enterDeadline() { ++deadlines_; }

void OutputStreams::leaveDeadline() { --deadlines_; }

}  // namespace util
}  // namespace system
}  // namespace nivo
