#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "drv/CaptureFile.h"
#include "drv/FrameDecoder.h"
#include "net/EventDispatcher.h"
#include "net/Message.h"
#include "net/Protocol.h"

namespace zorn {
namespace orbitane {
namespace test {

// What the trace shows: the hex dump of every chunk (-t), one decoded line
// per frame on standard error (--decode; a JSON object per line with
// --json), and a capture file of every frame (--capture).
struct TraceSettings {
    bool hexDump = true;
    bool decode = false;
    bool json = false;
    std::shared_ptr<zorn::drv::CaptureWriter> capture;
};

// Traffic trace: a protocol that wraps the real one, forwards every
// operation to it and shows the bytes on the way. Events of the inner
// protocol are relayed unchanged, so the channel sees exactly what it would
// see without tracing. Received bytes are split into frames by a scanner
// that follows the inner protocol's framing, so the inner protocol is fed
// one frame at a time and each decoded line lands next to the delivery of
// its frame.
class InterceptProtocol : public zorn::net::Protocol {
public:
    explicit InterceptProtocol(zorn::net::Protocol* inner);
    InterceptProtocol(zorn::net::Protocol* inner, TraceSettings settings);
    // The inner protocol is destroyed first (it owns the relay handlers), so
    // the destructor never calls into it.
    ~InterceptProtocol() override = default;

    bool getSyncMessage(zorn::net::MessagePtr& out) override;
    void reset() override;
    void decodeByte(uint8_t byte) override;
    void decode(const uint8_t* data, uint16_t offset, uint16_t count) override;
    uint32_t encodedSize(const zorn::net::MessagePtr& message) override;
    void encode(const zorn::net::MessagePtr& message, uint8_t* out, uint32_t& size) override;

    // Writes the hex dump of `count` bytes to `stream`: a tab before every
    // 16 bytes, "%02x " per byte, one more blank after every fourth byte.
    static void dumpBytes(FILE* stream, const uint8_t* data, size_t count);

    bool decoding() const { return settings_.decode; }
    // The endpoint dropped `answer` as owed to an earlier request (cmd and
    // code both 0: it came unasked). Called while the answer is delivered.
    void noteDroppedAnswer(const zorn::net::MessagePtr& answer, uint8_t owedCmd, uint8_t owedCode);

private:
    using Clock = std::chrono::steady_clock;

    int relay(uint32_t event, zorn::net::MessageDispatcher* sender, zorn::net::MessagePtr& message);
    // Writes one trace line: the text after the time and direction arrow,
    // or with --json the object with `kind`, the time and the direction.
    void emit(Clock::time_point at, bool sent, const std::string& kind, const std::string& text,
              const zorn::drv::DecodedFrame* decoded, const std::string& extraName = std::string(),
              const std::string& extraValue = std::string(), double rttMs = -1);
    void decodeAnswerLine(const zorn::net::MessagePtr& message);
    // Notes (decodes, captures) the received bytes frame by frame and hands
    // them on to the inner protocol.
    void observeReceived(const uint8_t* data, uint16_t offset, uint16_t count);

    zorn::net::Protocol* inner_;
    TraceSettings settings_;
    const Clock::time_point start_ = Clock::now();
    zorn::drv::FrameScanner scanner_;  // received bytes only (the receiving thread)

    std::mutex mutex_;  // guards what follows: written when sending, read when receiving
    int lastCode_ = -1;  // the last request sent
    Clock::time_point lastSentAt_{};
    const zorn::net::Message* delivering_ = nullptr;  // the answer being delivered now
    bool dropped_ = false;                            // ... was dropped by the endpoint
    uint8_t owedCmd_ = 0, owedCode_ = 0;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
