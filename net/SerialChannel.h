#pragma once

#include <memory>

#include "net/Channel.h"
#include "net/arch/raw_serial.h"

namespace zorn {
namespace net {

// Channel over a serial port. The owner configures and opens the port
// through getSerial(), then clears the stopped bits, starts and syncs.
class SerialChannel : public Channel {
public:
    // Bound of waitForData, in ms.
    static constexpr uint32_t WAIT_MS = 2000;
    // A write fails with RESULT_OPERATION_TIMEOUT when it has not gone out
    // within its wire time (10 bits a byte) plus this margin: a base that
    // stopped draining the line must never hold the console.
    static constexpr uint32_t SEND_MARGIN_MS = 500;
    // The bound of a write of `length` bytes at `baud` bits per second.
    static uint32_t sendBoundMs(uint32_t length, uint32_t baud);

    explicit SerialChannel(Protocol* protocol);
    // Over the given port (tests give one whose line errors they control).
    SerialChannel(Protocol* protocol, std::unique_ptr<::zorn::arch::net::raw_serial> port);
    ~SerialChannel() override;

    ::zorn::arch::net::raw_serial* getSerial() const { return serial.get(); }

    int32_t writeBytes(const uint8_t* data, uint32_t length) override;
    int32_t readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) override;
    int32_t waitForData(uint32_t& available) override;

protected:
    int32_t waitForDataFor(uint32_t ms, uint32_t& available) override;
    int32_t readNow(uint8_t* data, uint32_t capacity, uint32_t& got) override { return readBytes(data, capacity, got); }
    void interruptWait() override { serial->interrupt(); }
    void clearInterrupt() override { serial->clear_interrupt(); }

    std::unique_ptr<::zorn::arch::net::raw_serial> serial;
};

}  // namespace net
}  // namespace zorn
