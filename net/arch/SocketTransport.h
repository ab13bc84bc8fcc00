#pragma once

#include "net/arch/Transport.h"

namespace zorn {
namespace arch {
namespace net {

// The transport over a connected TCP socket (not owned). A peer that closes
// or resets the connection is Closed.
class SocketTransport final : public Transport {
public:
    // A write that has not gone out in this long (a peer that stopped
    // reading) counts as stuck.
    static constexpr std::chrono::milliseconds WRITE_BOUND{1000};

    explicit SocketTransport(int fd) : fd_(fd) {}

    Io write(const uint8_t* data, size_t size, TimePoint deadline) override;
    Io read(uint8_t* buffer, size_t capacity, TimePoint deadline) override;
    std::chrono::nanoseconds writeBound(size_t) const override { return WRITE_BOUND; }

    // The longest a read waits in one receive: a wake-up from another
    // thread ends a read within this.
    static constexpr std::chrono::microseconds WAKE_SLICE{10000};

private:
    // One read of what waits; TimedOut when nothing does.
    Io readNow(uint8_t* buffer, size_t capacity);
    // The wake-up descriptor is readable.
    bool woken() const;
    // SO_RCVTIMEO, set only when it changes.
    bool setReceiveTimeout(std::chrono::microseconds timeout);

    int fd_;
    std::chrono::microseconds receiveTimeout_{-1};  // as last set; -1: not yet
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
