#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zorn {
namespace drv {

// Writes the packets of a capture file (see CaptureFile.h) without ever
// holding up the caller: write() stamps a packet with the time of the call
// and queues it; a thread of its own writes the queue to the file and
// flushes it after every batch, so a capture of a session that crashed or
// was killed is readable up to its last whole packet.
//
// A file that cannot keep up (a FIFO whose reader stopped reading, more
// than QUEUE_LIMIT bytes waiting) or whose write fails (a full disk, a
// reader that went away) stops the capture: later packets are discarded
// and failure() says why. The owner asks once the command has finished.
// Safe to call from several threads.
class CaptureWriter {
public:
    // Bytes of packets that may wait for the file.
    static constexpr size_t QUEUE_LIMIT = 4u << 20;
    static constexpr std::chrono::milliseconds CLOSE_BOUND{1000};

    CaptureWriter();
    // Closes with CLOSE_BOUND.
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or truncates) the file and writes its header; false with
    // `error` set when it cannot. Never waits: a FIFO that nobody reads is
    // refused ("nobody reads the FIFO <path>").
    bool open(const std::string& path, std::string& error);
    // One packet, stamped with the time of day now. Never waits for the file.
    void write(uint8_t direction, const uint8_t* data, size_t size);
    // Writes what is queued and closes the file, waiting at most `bound`
    // for a slow reader; what is still unwritten then is given up and the
    // capture counts as failed. Later packets are discarded.
    void close(std::chrono::milliseconds bound = CLOSE_BOUND);

    // Whether the capture stopped before its end, and the one line saying
    // why ("capture stopped: No space left on device").
    bool failed() const;
    std::string failure() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace drv
}  // namespace zorn
