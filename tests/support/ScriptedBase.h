#pragma once

// A scripted stand-in for the base's micro-controller, for tests.
//
// It takes the raw bytes the host sends, cuts them into interchip frames
// (its own decoder, independent of the production protocol), records every
// control-bus request and answers it from a script kept per request code:
// an ANS_OK answer with a configurable payload, an ANS_ERROR answer with a
// code, raw bytes (for corrupted answers), or silence. Unscripted requests
// are answered like a real base that does not know them: ANS_ERROR 0x8000.
//
// The base is transport-free: FakeLine (in fake time) and ScriptedTcpBase
// (loopback TCP peer) carry its bytes. It is thread-safe: a transport may
// feed it from its own thread while the test scripts it and reads what it
// recorded.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "drv/ControlBus.h"
#include "net/Framer.h"

namespace tests {
namespace support {

typedef std::vector<uint8_t> Bytes;

// Answer command bytes of the base.
constexpr uint8_t BASE_ANS_OK = zorn::net::ANS_OK;
constexpr uint8_t BASE_ANS_ERROR = zorn::net::ANS_ERROR;
// Error code of a request the base does not know.
constexpr uint16_t BASE_ERROR_NOT_SUPPORTED = zorn::net::ANS_ERROR_NOT_SUPPORTED;

// The bytes of a record as they go on the wire.
template <class Record>
Bytes recordBytes(const Record& record) {
    Bytes out(sizeof(Record));
    std::memcpy(out.data(), &record, sizeof(Record));
    return out;
}

// One reply to a request.
struct BaseReply {
    enum Kind { Ok, Error, Raw, Silent, Late };
    Kind kind = Ok;
    Bytes bytes;             // Ok: answer payload; Raw: bytes sent as they are
    uint16_t errorCode = 0;  // Error: little-endian code in the payload

    static BaseReply ok(const Bytes& payload = Bytes());
    template <class Record>
    static BaseReply record(const Record& r) { return ok(recordBytes(r)); }
    static BaseReply error(uint16_t code = BASE_ERROR_NOT_SUPPORTED);
    // An ANS_ERROR answer with an arbitrary payload (e.g. too short for a code).
    static BaseReply errorPayload(const Bytes& payload);
    static BaseReply raw(const Bytes& frameBytes);
    static BaseReply silent();
    // An ANS_OK answer held back until the base's next request comes in,
    // and sent just before that request's own reply: it arrives after its
    // request timed out, while the host awaits the next one.
    static BaseReply late(const Bytes& payload);
};

// One frame received from the host.
struct BaseRequest {
    uint8_t cmd = 0;     // command byte (drv::CMD_CONTROL_BUS for requests)
    uint8_t code = 0;    // first payload byte: the request code (0 when no payload)
    Bytes payload;       // whole payload, code included
    Bytes args;          // payload after the code
    Bytes frame;         // the frame as received, flags to checksum
};

class ScriptedBase {
public:
    ScriptedBase();
    ScriptedBase(const ScriptedBase&) = delete;
    ScriptedBase& operator=(const ScriptedBase&) = delete;

    // --- scripting (any thread, any time) ---
    // Standing reply to every request with this code.
    void script(uint8_t code, const BaseReply& reply);
    // One-shot replies, used in order before the standing reply.
    void scriptOnce(uint8_t code, const BaseReply& reply);
    // Shorthands for script().
    void answer(uint8_t code, const Bytes& payload) { script(code, BaseReply::ok(payload)); }
    template <class Record>
    void answerRecord(uint8_t code, const Record& r) { script(code, BaseReply::record(r)); }
    void fail(uint8_t code, uint16_t errorCode = BASE_ERROR_NOT_SUPPORTED) { script(code, BaseReply::error(errorCode)); }
    void silence(uint8_t code) { script(code, BaseReply::silent()); }
    // Scripts a well-behaved base: every request answered with the records
    // below; the binary configuration is not supported (a legacy base).
    void scriptHealthyBase();

    // Records a healthy base answers with.
    static zorn::drv::base_connect_response_t healthyIdentity();
    static zorn::drv::base_conf_response_t healthyConfig();

    // --- transport side ---
    // Takes bytes from the host (any split) and returns the bytes to send back.
    Bytes receive(const uint8_t* data, size_t length);

    // --- what was received ---
    std::vector<BaseRequest> requests() const;              // control-bus requests, in order
    std::vector<BaseRequest> requests(uint8_t code) const;  // those with this code
    size_t requestCount() const;
    size_t requestCount(uint8_t code) const;
    size_t otherFrameCount() const;  // well-formed frames with another command (e.g. sync)
    size_t badFrameCount() const;    // frames whose checksum did not match
    // Waits (bounded) until at least `count` control-bus requests arrived.
    bool waitForRequests(size_t count, std::chrono::milliseconds limit) const;
    // Waits (bounded) until at least `count` requests with `code` arrived.
    bool waitForRequests(uint8_t code, size_t count, std::chrono::milliseconds limit) const;
    void clearRequests();

    // An interchip frame (flags 0x10, or 0x50 from length 256 on).
    static Bytes frame(uint8_t cmd, const Bytes& payload);

private:
    struct Script {
        std::deque<BaseReply> once;
        bool hasStanding = false;
        BaseReply standing;
    };

    // Cuts complete frames off the front of rx_; appends replies to out.
    void parseLocked(Bytes& out);
    void handleFrameLocked(const Bytes& frameBytes, uint8_t cmd, const uint8_t* payload, size_t payloadLength,
                           Bytes& out);
    BaseReply replyForLocked(uint8_t code);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Bytes rx_;
    std::map<uint8_t, Script> scripts_;
    BaseReply default_;
    std::vector<BaseRequest> requests_;
    size_t otherFrames_ = 0;
    size_t badFrames_ = 0;
    Bytes held_;  // a late answer not yet sent
};

}  // namespace support
}  // namespace tests
