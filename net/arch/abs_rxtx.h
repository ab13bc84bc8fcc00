#pragma once

#include <cstdint>

namespace zorn {
namespace hal {

// Results of the byte-device operations.
constexpr int32_t RXTX_OK = 0;
constexpr int32_t RXTX_TIMEOUT = -1;
constexpr int32_t RXTX_ERROR = -2;
// recv_data: a line error (framing, overrun, parity, break) spoiled the
// queued input, which was discarded unread.
constexpr int32_t RXTX_LINE_ERROR = -3;

// Wait without a time limit (wait_for_sent, wait_for_recv, wait_for_data).
constexpr uint32_t RXTX_WAIT_INFINITE = 0xFFFFFFFFu;

// Abstract byte device (a serial port).
class abs_rxtx {
public:
    abs_rxtx() : opened(false) {}
    virtual ~abs_rxtx() {}

    virtual bool purge() = 0;
    virtual bool configure(const char* name, uint32_t baud, uint32_t flags) = 0;
    virtual bool open() = 0;
    virtual bool close() = 0;
    // Waits until at least `minimum` bytes are queued; count = bytes queued.
    virtual int32_t wait_for_data(uint32_t minimum, uint32_t ms, uint32_t* count) = 0;
    // Bytes written at once, 0 when the write is pending, or RXTX_ERROR.
    virtual int32_t send_data(const uint8_t* data, uint32_t size) = 0;
    // Bytes read (0 when nothing could be read), or RXTX_LINE_ERROR.
    virtual int32_t recv_data(uint8_t* buffer, uint32_t size) = 0;
    virtual int32_t wait_for_sent(uint32_t ms, uint32_t* count) = 0;
    virtual int32_t wait_for_recv(uint32_t ms, uint32_t* count) = 0;
    virtual uint32_t rx_queue_count() = 0;
    virtual bool is_open() const { return opened; }
    // Line 1 is DTR. A result code of the net layer.
    virtual int32_t set_line(int32_t line, bool level) = 0;

protected:
    bool opened;
};

}  // namespace hal
}  // namespace zorn
