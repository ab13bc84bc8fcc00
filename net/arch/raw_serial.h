#pragma once

#include <atomic>
#include <cstdint>

#include "net/arch/abs_rxtx.h"
#include "net/arch/WakeSignal.h"

namespace zorn {
namespace arch {
namespace net {

// A serial port over a POSIX tty: raw 8N1, no flow control, opened
// exclusively (TIOCEXCL and flock). Waits use poll beside a wake descriptor
// so that another thread can cut them short (interrupt()).
//
// Line errors are looked at only where the input is read (recv_data): one
// that happened since the last read discards what is queued, unread. Waiting
// and counting leave the input alone, so a thread that only watches the
// port can never drop bytes another is about to read.
class raw_serial : public ::zorn::hal::abs_rxtx {
public:
    static constexpr uint32_t DEFAULT_BAUD = 115200;
    static constexpr uint32_t NAME_SIZE = 260;

    raw_serial();
    ~raw_serial() override;
    raw_serial(const raw_serial&) = delete;
    raw_serial& operator=(const raw_serial&) = delete;

    bool purge() override;
    // Stores the name (cut to 259 characters), baud rate (0: 115200) and flags.
    bool configure(const char* name, uint32_t baud, uint32_t flags) override;
    // False when the device cannot be opened, is not a tty, is in use by
    // another program, or refuses the line settings; lastError() tells why.
    bool open() override;
    bool close() override;
    int32_t wait_for_data(uint32_t minimum, uint32_t ms, uint32_t* count) override;
    int32_t send_data(const uint8_t* data, uint32_t size) override;
    // RXTX_LINE_ERROR when a line error came since the last read: the queued
    // input is then discarded (the protocol resynchronises on later frames).
    int32_t recv_data(uint8_t* buffer, uint32_t size) override;
    int32_t wait_for_sent(uint32_t ms, uint32_t* count) override;
    int32_t wait_for_recv(uint32_t ms, uint32_t* count) override;
    uint32_t rx_queue_count() override;
    // Waits until input is waiting, like wait_for_data(1, ...) but without
    // counting the queue: one poll, so a reader that reads what is there
    // spends no system call on the count.
    int32_t wait_readable(uint32_t ms);
    // Reads what is waiting, at most `size` bytes, without blocking: the
    // bytes read, 0 when nothing was waiting, RXTX_LINE_ERROR as recv_data,
    // or RXTX_ERROR when the device failed.
    int32_t read_available(uint8_t* buffer, uint32_t size);
    int32_t set_line(int32_t line, bool level) override;

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

    // Cuts a wait_for_data or wait_for_sent short (they report RXTX_TIMEOUT)
    // until clear_interrupt().
    void interrupt() { wake_.signal(); }
    void clear_interrupt() { wake_.clear(); }

protected:
    // The sum of the line-error counters (TIOCGICOUNT); false when the
    // device keeps none (a pseudo-terminal).
    virtual bool readLineErrorCount(int fd, uint64_t& count);

private:
    void fail(int err) { lastError_.store(err); }
    // One poll of the port and the wake-up descriptor: RXTX_OK with the
    // port's events, RXTX_TIMEOUT (time up, or woken), RXTX_ERROR, or
    // POLL_AGAIN when a signal cut the poll short.
    static constexpr int32_t POLL_AGAIN = 1;
    int32_t pollInput(int timeoutMs, short& events);

    char portName_[NAME_SIZE];
    uint32_t baudRate_;
    uint32_t flags_;
    int fd_;
    WakeSignal wake_;
    std::atomic<int> lastError_;
    // Write in progress between send_data and wait_for_sent.
    const uint8_t* pendingData_;
    uint32_t pendingLeft_;
    uint32_t pendingDone_;
    // Line-error counters as last seen by the reader.
    bool icountSupported_;
    uint64_t lineErrors_;
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
