#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "log/OutputLane.h"

namespace nivo {
namespace system {
namespace util {

// Standard output and standard error (streams 1 and 2) written to two
// descriptors through lanes of their own: a reader that stops reading one
// never holds up the other, so the last word about a stop reaches standard
// error while nobody reads standard output. When both descriptors lead to
// the same place (one terminal, one pipe, one file) they share a lane,
// since one cannot be written while the other is blocked, and their lines
// keep the order they were written in. StandardOutput is the process's one
// instance, on descriptors 1 and 2.
class OutputStreams {
public:
    // Bytes that may wait for each destination.
    static constexpr size_t QUEUE_LIMIT = 1u << 20;
    // After waits are abandoned, flush() gives up on a destination that is
    // still blocked this long after the abandon.
    static constexpr int64_t GIVE_UP_NS = 1000000000;

    // `abandonedAtNs` holds the monotonicNs() time since when nothing may
    // wait on the output for long, 0 while waits are allowed.
    OutputStreams(int outFd, int errFd, const std::atomic<int64_t>& abandonedAtNs);
    ~OutputStreams();
    OutputStreams(const OutputStreams&) = delete;
    OutputStreams& operator=(const OutputStreams&) = delete;

    // Queues `text` for stream 1 or 2. A text that finds its queue full is
    // waited for, except inside a deadline or after the abandon, when it is
    // dropped and counted.
    void write(int stream, const std::string& text);
    // Waits until everything queued has been written or discarded. After
    // the abandon it gives up on a destination that is stuck in one write
    // once GIVE_UP_NS have passed since the abandon; a destination that
    // takes its text is waited for, so standard error's last lines go out.
    void flush();

    uint64_t droppedLines() const;
    bool lost(int stream) const;

    // While a deadline is entered more often than left, a full queue drops.
    void enterDeadline();
    void leaveDeadline();

private:
    bool mayGiveUp(const OutputLane& lane) const;

    const int fds_[3];
    const std::atomic<int64_t>& abandonedAtNs_;
    std::unique_ptr<OutputLane> errLane_;
    std::unique_ptr<OutputLane> outLane_;  // null when standard output shares errLane_
    OutputLane* laneOf_[3] = {nullptr, nullptr, nullptr};
    std::atomic<int> deadlines_{0};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace util
}  // namespace system
}  // namespace nivo
