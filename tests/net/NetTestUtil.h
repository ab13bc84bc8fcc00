#pragma once

// Helpers shared by the net tests: an event recorder, a scripted in-memory
// medium (FakeChannel) and a few message and byte helpers.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/Channel.h"
#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/InterchipProtocol.h"
#include "net/Message.h"

namespace tests {
namespace net {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Polls `condition` until it holds or `ms` pass; for state that changes
// without a notification (status bits set right after an event).
template <typename Condition>
inline bool eventually(Condition condition, int ms = 3000) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Checks that `condition` keeps holding for `ms`: for something that must
// not happen (a second event, a write), where no notification can end the
// wait early.
template <typename Condition>
inline bool holdsFor(Condition condition, int ms) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (!condition()) return false;
        std::this_thread::yield();
    }
    return condition();
}

inline Bytes payloadOf(const zorn::net::MessagePtr& m) {
    if (!m) return Bytes();
    return Bytes(m->payload.begin(), m->payload.begin() + std::min<size_t>(m->payload.size(), m->payloadLength()));
}

inline zorn::net::MessagePtr msg(uint8_t cmd, const Bytes& payload) {
    return std::make_shared<zorn::net::Message>(cmd, payload.empty() ? nullptr : payload.data(),
                                                static_cast<int32_t>(payload.size()));
}

// The interchip frame of a message.
inline Bytes frame(uint8_t cmd, const Bytes& payload) {
    zorn::net::InterchipProtocol p;
    const zorn::net::MessagePtr m = msg(cmd, payload);
    Bytes out(p.encodedSize(m));
    uint32_t size = static_cast<uint32_t>(out.size());
    p.encode(m, out.data(), size);
    return out;
}

inline std::string hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

// A protocol that decodes and encodes nothing and has no sync message.
struct BareProtocol : zorn::net::Protocol {
    void reset() override {}
    void decodeByte(uint8_t) override {}
    uint32_t encodedSize(const zorn::net::MessagePtr&) override { return 0; }
    void encode(const zorn::net::MessagePtr&, uint8_t*, uint32_t& s) override { s = 0; }
};

// Records every event of a dispatcher under the codes it listens to.
class Recorder {
public:
    struct Entry {
        uint32_t event;
        zorn::net::MessagePtr message;
    };

    // Registers handlers for codes 0..4 on the dispatcher (owned by it).
    void listen(zorn::net::MessageDispatcher& d) {
        for (uint32_t c = zorn::net::EVT_MESSAGE; c <= zorn::net::EVT_CHANNEL_BROKEN; ++c) {
            d.addHandler(std::make_unique<zorn::net::MessageHandler<Recorder>>(c, this, &Recorder::onEvent));
        }
    }
    int onEvent(uint32_t event, zorn::net::MessageDispatcher*, zorn::net::MessagePtr& m) {
        {
            std::lock_guard<std::mutex> g(m_);
            entries_.push_back(Entry{event, m});
        }
        cv_.notify_all();
        return 0;
    }

    std::vector<Entry> entries() {
        std::lock_guard<std::mutex> g(m_);
        return entries_;
    }
    std::vector<Entry> of(uint32_t event) {
        std::lock_guard<std::mutex> g(m_);
        std::vector<Entry> r;
        for (auto& e : entries_)
            if (e.event == event) r.push_back(e);
        return r;
    }
    size_t count(uint32_t event) { return of(event).size(); }
    size_t total() {
        std::lock_guard<std::mutex> g(m_);
        return entries_.size();
    }
    // Waits until at least n events of the code were recorded.
    bool waitFor(uint32_t event, size_t n, int ms = 3000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] {
            size_t k = 0;
            for (auto& e : entries_)
                if (e.event == event) ++k;
            return k >= n;
        });
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        entries_.clear();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Entry> entries_;
};

// An in-memory medium: records what is written, reads what the test feeds.
// A responder, when set, runs on the transmit thread for each frame written
// and may feed the answer. By default only the receive thread reads; after
// letCallersRead() only callers do, and their looks (reads without a wait)
// and waits are counted.
class FakeChannel : public zorn::net::Channel {
public:
    using Responder = std::function<void(FakeChannel&, const Bytes& frame)>;

    explicit FakeChannel(zorn::net::Protocol* p) : Channel(p) {}
    ~FakeChannel() override { stop(); }

    // ---- test side ----
    void feed(const Bytes& chunk) {
        {
            std::lock_guard<std::mutex> g(m_);
            input_.push_back(chunk);
        }
        cv_.notify_all();
    }
    // The next read returns 0 bytes (lost medium).
    void feedEof() { feed(Bytes()); }
    void setResponder(Responder r) {
        std::lock_guard<std::mutex> g(m_);
        responder_ = std::move(r);
    }
    void setWriteResult(int32_t r) {
        std::lock_guard<std::mutex> g(m_);
        writeResult_ = r;
    }
    // While blocked, writeBytes waits until stop.
    void blockWrites() {
        std::lock_guard<std::mutex> g(m_);
        blocked_ = true;
    }
    std::vector<Bytes> written() {
        std::lock_guard<std::mutex> g(m_);
        return written_;
    }
    size_t writeCount() {
        std::lock_guard<std::mutex> g(m_);
        return written_.size();
    }
    bool waitWrites(size_t n, int ms = 3000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return written_.size() >= n; });
    }
    // Waits until a writeBytes call is blocked in the gate.
    bool waitBlockedWriter(int ms = 3000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return writersWaiting_ > 0; });
    }

    // ---- medium ----
    int32_t writeBytes(const uint8_t* data, uint32_t length) override {
        Bytes frame(data, data + length);
        Responder responder;
        int32_t result;
        {
            std::unique_lock<std::mutex> g(m_);
            ++writersWaiting_;
            cv_.notify_all();
            cv_.wait(g, [&] { return !blocked_ || interrupted_; });
            --writersWaiting_;
            if (blocked_) return zorn::net::RESULT_OPERATION_FAIL;  // interrupted by stop
            written_.push_back(frame);
            responder = responder_;
            result = writeResult_;
        }
        cv_.notify_all();
        if (responder) responder(*this, frame);
        return result;
    }
    int32_t readBytes(uint8_t* data, uint32_t capacity, uint32_t& got) override {
        std::lock_guard<std::mutex> g(m_);
        got = 0;
        if (input_.empty()) return zorn::net::RESULT_OPERATION_FAIL;
        Bytes& c = input_.front();
        uint32_t n = static_cast<uint32_t>(c.size()) < capacity ? static_cast<uint32_t>(c.size()) : capacity;
        std::copy(c.begin(), c.begin() + n, data);
        got = n;
        c.erase(c.begin(), c.begin() + n);
        if (c.empty()) input_.pop_front();
        return zorn::net::RESULT_OK;
    }
    int32_t waitForData(uint32_t& available) override {
        std::unique_lock<std::mutex> g(m_);
        available = 0;
        bool ready = cv_.wait_for(g, std::chrono::milliseconds(1000),
                                  [&] { return (!input_.empty() && !callersRead_) || interrupted_; });
        if (!ready || input_.empty() || callersRead_) return zorn::net::RESULT_OPERATION_TIMEOUT;
        // An empty chunk stands for a lost medium: announce 1 byte, read 0.
        available = input_.front().empty() ? 1u : static_cast<uint32_t>(input_.front().size());
        return zorn::net::RESULT_OK;
    }

    int interruptCount() {
        std::lock_guard<std::mutex> g(m_);
        return interrupts_;
    }

    void letCallersRead() {
        std::lock_guard<std::mutex> g(m_);
        callersRead_ = true;
    }
    // Bytes that come in during the next caller wait.
    void arriveOnWait(const Bytes& b) {
        std::lock_guard<std::mutex> g(m_);
        arriving_ = b;
    }
    int looks() {
        std::lock_guard<std::mutex> g(m_);
        return looks_;
    }
    int callerWaits() {
        std::lock_guard<std::mutex> g(m_);
        return callerWaits_;
    }

protected:
    int32_t waitForDataFor(uint32_t, uint32_t& available) override {
        std::lock_guard<std::mutex> g(m_);
        available = 0;
        if (!callersRead_) return zorn::net::RESULT_OPERATION_NOT_SUPPORT;
        ++callerWaits_;
        if (!arriving_.empty()) input_.push_back(arriving_);
        arriving_.clear();
        if (input_.empty()) return zorn::net::RESULT_OPERATION_TIMEOUT;
        available = static_cast<uint32_t>(input_.front().size());
        return zorn::net::RESULT_OK;
    }
    int32_t readNow(uint8_t* data, uint32_t capacity, uint32_t& got) override {
        {
            std::lock_guard<std::mutex> g(m_);
            got = 0;
            if (!callersRead_) return zorn::net::RESULT_OPERATION_NOT_SUPPORT;
            ++looks_;
            if (input_.empty()) return zorn::net::RESULT_OPERATION_TIMEOUT;
        }
        return readBytes(data, capacity, got);
    }
    void interruptWait() override {
        {
            std::lock_guard<std::mutex> g(m_);
            interrupted_ = true;
            ++interrupts_;
        }
        cv_.notify_all();
    }
    void clearInterrupt() override {
        std::lock_guard<std::mutex> g(m_);
        interrupted_ = false;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Bytes> input_;
    Bytes arriving_;
    std::vector<Bytes> written_;
    Responder responder_;
    int32_t writeResult_ = zorn::net::RESULT_OK;
    bool blocked_ = false;
    bool interrupted_ = false;
    int writersWaiting_ = 0;
    int interrupts_ = 0;
    bool callersRead_ = false;
    int looks_ = 0;
    int callerWaits_ = 0;
};

}  // namespace net
}  // namespace tests
