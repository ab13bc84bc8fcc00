#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace zorn {
namespace orbitane {
namespace sim {

// An output stream for the simulator's lines that never blocks its writer.
// Serving and stopping must not wait on a terminal or pipe that nobody
// reads: lines that cannot be written at once wait in a bounded buffer,
// and once that is full further lines are dropped and counted.
//
// A pipe or terminal gets a non-blocking descriptor of its own (opened
// anew through /proc/self/fd, so the flags of the descriptor shared with
// other processes stay as they are); a socket is written with
// MSG_DONTWAIT; a regular file is written as usual.
class LogOutput {
public:
    explicit LogOutput(int fd, size_t maxPendingBytes = 64 * 1024);
    ~LogOutput();
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;

    // Writes `text` (whole lines), or keeps it for later, or drops it when
    // too much waits already. Returns the number of lines dropped before
    // that have not been told yet, once everything waiting went out (the
    // caller tells them); 0 otherwise.
    uint64_t write(const std::string& text);
    // Writes what waits, without blocking; returns what write() returns.
    uint64_t flush();
    // Lines dropped so far and not yet told.
    uint64_t untold() const;

private:
    bool writeSome(const char* data, size_t size, size_t& written);
    uint64_t drain();

    int fd_;
    int ownFd_ = -1;
    bool socket_ = false;
    size_t maxPending_;
    std::string pending_;
    uint64_t untold_ = 0;
    mutable std::mutex mutex_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
