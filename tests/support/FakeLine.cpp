#include "tests/support/FakeLine.h"

#include <poll.h>

#include <algorithm>

namespace tests {
namespace support {

using zorn::net::Io;
using zorn::net::IoStatus;

void FakeLine::inject(const Bytes& bytes, TimePoint when) {
    for (size_t i = 0; i < bytes.size(); ++i) arrivals_.emplace(when + i * spread_, bytes[i]);
}

bool FakeLine::woken() const {
    if (wakeFd_ < 0) return false;
    pollfd fd{wakeFd_, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

void FakeLine::runDueActions() {
    while (!actions_.empty() && actions_.begin()->first <= clock_.now()) {
        auto action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        action();
    }
}

bool FakeLine::nextEvent(TimePoint& when) const {
    when = TimePoint::max();
    if (!arrivals_.empty()) when = arrivals_.begin()->first;
    if (!actions_.empty()) when = std::min(when, actions_.begin()->first);
    when = std::min(when, endAt_);
    return when != TimePoint::max();
}

Io FakeLine::write(const uint8_t* data, size_t size, TimePoint deadline) {
    Io io;
    if (clock_.now() >= endAt_) {
        io.status = endFailed_ ? IoStatus::Failed : IoStatus::Closed;
        return io;
    }
    if (stalled_) {
        clock_.advanceTo(deadline);
        io.status = IoStatus::TimedOut;
        return io;
    }
    writes_.push_back(Written{clock_.now(), Bytes(data, data + size)});
    io.count = size;
    const size_t before = base_.requestCount();
    const Bytes reply = base_.receive(data, size);
    if (reply.empty()) return io;
    // The reply to a request with a code the test slows down or loses.
    uint8_t code = 0;
    if (base_.requestCount() > before) code = base_.requests().back().code;
    auto lost = lose_.find(code);
    if (lost != lose_.end() && lost->second > 0) {
        --lost->second;
        return io;
    }
    auto slow = latencyFor_.find(code);
    Millis latency = slow != latencyFor_.end() ? slow->second : latency_;
    auto once = latencyOnce_.find(code);
    if (once != latencyOnce_.end()) {
        latency = once->second;
        latencyOnce_.erase(once);
    }
    // In order: never before the reply sent ahead of it.
    const TimePoint first = std::max(clock_.now() + latency, lastArrival_);
    inject(reply, first);
    lastArrival_ = first + reply.size() * spread_;
    return io;
}

Io FakeLine::read(uint8_t* buffer, size_t capacity, TimePoint deadline) {
    Io io;
    for (;;) {
        runDueActions();
        if (woken()) {
            io.status = IoStatus::Woken;
            return io;
        }
        while (!arrivals_.empty() && arrivals_.begin()->first <= clock_.now() && io.count < capacity) {
            buffer[io.count++] = arrivals_.begin()->second;
            arrivals_.erase(arrivals_.begin());
        }
        if (io.count > 0) return io;
        if (clock_.now() >= endAt_) {
            io.status = endFailed_ ? IoStatus::Failed : IoStatus::Closed;
            return io;
        }
        TimePoint next;
        if (!nextEvent(next) || next > deadline) {
            clock_.advanceTo(deadline);
            io.status = IoStatus::TimedOut;
            return io;
        }
        clock_.advanceTo(next);
    }
}

}  // namespace support
}  // namespace tests
