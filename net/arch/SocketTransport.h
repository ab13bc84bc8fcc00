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

private:
    // One read of what waits; TimedOut when nothing does.
    Io readNow(uint8_t* buffer, size_t capacity);

    int fd_;
    // Whether the answer tends to be in by the time the request is written
    // (loopback): then the first read comes before any wait, sparing it.
    bool lookFirst_ = true;
    unsigned sinceLook_ = 0;
};

}  // namespace net
}  // namespace arch
}  // namespace zorn
