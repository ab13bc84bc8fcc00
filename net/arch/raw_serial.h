#pragma once

#include <atomic>
#include <cstdint>

namespace zorn {
namespace arch {
namespace net {

// A serial port over a POSIX tty: raw 8N1, no flow control, opened
// exclusively (TIOCEXCL and flock), non-blocking. It opens and closes the
// device and keeps its line-error counters; SerialTransport reads and
// writes it.
class raw_serial {
public:
    static constexpr uint32_t DEFAULT_BAUD = 115200;
    static constexpr uint32_t NAME_SIZE = 260;

    raw_serial();
    virtual ~raw_serial();
    raw_serial(const raw_serial&) = delete;
    raw_serial& operator=(const raw_serial&) = delete;

    // Discards both queues.
    bool purge();
    // Stores the name (cut to 259 characters), baud rate (0: 115200) and flags.
    bool configure(const char* name, uint32_t baud, uint32_t flags);
    // False when the device cannot be opened, is not a tty, is in use by
    // another program, or refuses the line settings; lastError() tells why.
    bool open();
    bool close();
    bool is_open() const { return fd_ >= 0; }
    // Line 1 is DTR: raised when level is true. RESULT_OK,
    // RESULT_OPERATION_FAIL when closed or refused, and
    // RESULT_OPERATION_NOT_SUPPORT for any other line.
    int32_t set_line(int32_t line, bool level);

    // The open descriptor, -1 when closed.
    int handle() const { return fd_; }
    // A line error came since the last call (the counters moved). Called by
    // the reader only, so the last count needs no lock.
    bool lineErrorsChanged();
    // The sum of the line-error counters now; false when the device keeps
    // none (a pseudo-terminal) or is closed.
    bool lineErrorCount(uint64_t& count) { return fd_ >= 0 && readLineErrorCount(fd_, count); }

    // errno of the last failure (0 when none).
    int lastError() const { return lastError_.load(); }
    const char* portName() const { return portName_; }
    uint32_t baudRate() const { return baudRate_; }

protected:
    // The sum of the line-error counters (TIOCGICOUNT); false when the
    // device keeps none (a pseudo-terminal).
    virtual bool readLineErrorCount(int fd, uint64_t& count);

private:
    void fail(int err) { lastError_.store(err); }

    char portName_[NAME_SIZE];
    uint32_t baudRate_;
    uint32_t flags_;
    int fd_;
    std::atomic<int> lastError_;
    // Line-error counters as last seen by the reader.
    bool icountSupported_;
    uint64_t lineErrors_;
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
