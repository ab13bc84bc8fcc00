#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zorn {
namespace arch {
namespace net {

using TimePoint = std::chrono::steady_clock::time_point;

// What a transport call came to.
enum class IoStatus {
    Ok,         // write: every byte went out; read: `count` bytes (at least one) were read
    TimedOut,   // the deadline passed first (a write may have sent `count` bytes)
    Woken,      // the wake-up descriptor cut the wait short (a write may have sent `count` bytes)
    LineError,  // read: a line error (framing, overrun, parity) spoiled the input, which was dropped
    Closed,     // the other side closed the connection or hung up the line
    Failed,     // the medium failed; `error` is the errno
};

struct Io {
    IoStatus status = IoStatus::Ok;
    size_t count = 0;
    int error = 0;
};

// A byte channel to the base with two calls, both bounded by a deadline of
// the steady clock and cut short by the wake-up descriptor. It knows nothing
// of frames: the framer and the link above it do. Calls come from one thread
// at a time (the link serialises them).
class Transport {
public:
    virtual ~Transport() = default;

    // Writes all `size` bytes before `deadline`.
    virtual Io write(const uint8_t* data, size_t size, TimePoint deadline) = 0;
    // Reads what is waiting, at most `capacity` bytes, waiting until
    // `deadline` for the first one (a deadline already past only looks).
    virtual Io read(uint8_t* buffer, size_t capacity, TimePoint deadline) = 0;
    // How long a write of `size` bytes may take before it counts as stuck:
    // a serial line's wire time plus a margin, a socket's fixed bound.
    virtual std::chrono::nanoseconds writeBound(size_t size) const = 0;
    // A descriptor whose readability ends every wait (-1: none).
    void setWakeFd(int fd) { wakeFd_ = fd; }
    // The line-error counters of a serial line since it was opened (framing,
    // overrun, parity, break); false where the driver keeps none.
    virtual bool lineErrors(uint64_t& count) {
        (void)count;
        return false;
    }

protected:
    int wakeFd_ = -1;
};

}  // namespace net
}  // namespace arch

namespace net {
using ::zorn::arch::net::Io;
using ::zorn::arch::net::IoStatus;
using ::zorn::arch::net::TimePoint;
using ::zorn::arch::net::Transport;
}  // namespace net
}  // namespace zorn
