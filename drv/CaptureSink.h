#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zorn {
namespace drv {

// The destination of a capture: a descriptor opened without blocking, so a
// FIFO nobody reads is refused at once instead of holding open() for ever,
// and seen by libpcap as a FILE. A write to that FILE that finds a FIFO
// full fails at once until allowWaits(); after it (on the capture's own
// thread) it waits for room, until giveUp() ends the wait: a reader that
// stopped reading can then never hold the thread that closes the capture.
class CaptureSink {
public:
    // The stream's buffer: larger than the largest packet (a 16-bit frame
    // length, its header, the direction byte and pcap's record header).
    static constexpr size_t BUFFER_SIZE = 128 * 1024;

    // Opens (or creates and truncates) `path`; null with `error` set when
    // it cannot.
    static std::unique_ptr<CaptureSink> open(const std::string& path, std::string& error);
    ~CaptureSink();
    CaptureSink(const CaptureSink&) = delete;
    CaptureSink& operator=(const CaptureSink&) = delete;

    // The stream to write. Closing it closes the descriptor; the sink must
    // outlive it.
    FILE* file() const { return file_; }
    void allowWaits() { waits_ = true; }
    // Ends a wait for room at once; every later write fails.
    void giveUp();
    // errno of the first write that failed, 0 if none did.
    int error() const { return error_; }

private:
    CaptureSink(int fd, int wake);
    static ssize_t writeAll(void* cookie, const char* data, size_t size);
    static int closeDescriptor(void* cookie);
    ssize_t fail(int error);

    int fd_;
    int wake_;  // an event that ends a wait for room
    FILE* file_ = nullptr;
    std::vector<char> buffer_;  // the stream's
    std::atomic<bool> waits_{false};
    std::atomic<bool> givenUp_{false};
    std::atomic<int> error_{0};
};

}  // namespace drv
}  // namespace zorn
