#pragma once

#include "net/arch/Transport.h"
#include "net/arch/raw_serial.h"

namespace zorn {
namespace arch {
namespace net {

// The transport over an open serial port (not owned). A line that hangs up
// or a device that goes away is Failed: the serial line was lost.
class SerialTransport final : public Transport {
public:
    // What a write may take beyond its wire time before it counts as stuck.
    static constexpr std::chrono::milliseconds WRITE_MARGIN{500};

    explicit SerialTransport(raw_serial& port) : port_(port) {}

    Io write(const uint8_t* data, size_t size, TimePoint deadline) override;
    Io read(uint8_t* buffer, size_t capacity, TimePoint deadline) override;
    // Ten bits a byte at the port's baud rate, plus WRITE_MARGIN.
    std::chrono::nanoseconds writeBound(size_t size) const override;
    bool lineErrors(uint64_t& count) override;

private:
    // One read of what waits: Ok, TimedOut when nothing does, LineError.
    Io readNow(uint8_t* buffer, size_t capacity);

    raw_serial& port_;
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
