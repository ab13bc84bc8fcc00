#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nivo {
namespace system {
namespace util {

// The process's standard output and standard error, written by threads of
// their own so that a slow, blocked or broken reader never holds up the
// caller. Each stream's text waits in a bounded queue of its own, in order;
// a blocked standard output never holds up standard error, unless both lead
// to the same place (one terminal or pipe), where they share one queue and
// keep their order across both. When a queue is full, a caller waits for
// room, except inside a DeadlineScope, where the text is dropped and counted
// instead: a command that drives the base must meet its deadline whatever
// the output does.
//
// A stream whose write fails (closed, full disk, broken pipe) is marked lost
// and its further text is discarded; the command goes on. The owner reports
// dropped lines and lost streams once, when the command has finished.
class StandardOutput {
public:
    // Bytes that may wait in each queue.
    static constexpr size_t QUEUE_LIMIT = 1u << 20;

    static StandardOutput& instance();

    // Queues `text` for descriptor 1 or 2.
    void write(int fd, const std::string& text);
    // Waits until everything queued has been written or discarded (after
    // abandonWaits(), see there).
    void flush();

    uint64_t droppedLines() const;
    bool lost(int fd) const;

    // After a stop signal nothing may wait on the output for long: writers
    // that find a queue full drop their text, and flush() gives up on a
    // stream that is still stuck a second after the first abandonWaits()
    // (a stream that takes its text, such as standard error to a file, is
    // still written to the end). Async-signal-safe (a clock read and one
    // atomic exchange). resumeWaits() undoes it (a session goes on after an
    // interrupted command).
    static void abandonWaits();
    static void resumeWaits();

    // While one is alive, text that finds the queue full is dropped.
    class DeadlineScope {
    public:
        DeadlineScope();
        ~DeadlineScope();
        DeadlineScope(const DeadlineScope&) = delete;
        DeadlineScope& operator=(const DeadlineScope&) = delete;
    };

    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    struct State;

private:
    StandardOutput();
    State* state_;  // lives until process exit, with its threads
};

}  // namespace util
}  // namespace system
}  // namespace nivo
