#pragma once

// What the link lets a watcher see: every frame it writes, every chunk it
// reads, and what became of every received byte. The trace, the decoded
// trace and the capture file are watchers. Calls come on the thread that
// runs the request, while the link is busy with it: a watcher must not make
// requests, and must not block (it would hold up the request and the stop).

#include <cstddef>
#include <cstdint>

#include "net/Clock.h"
#include "net/Framer.h"
#include "net/RequestKind.h"

namespace zorn {
namespace net {

// A frame the host writes.
struct SentFrame {
    const uint8_t* bytes = nullptr;  // the whole frame
    size_t size = 0;
    uint8_t cmd = 0;
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
    Motion motion = Motion::None;
    bool sync = false;  // the synchronisation frame, not a request
    TimePoint at{};
};

// Which request a received frame was taken for (or owed to).
struct RequestRef {
    bool known = false;
    uint8_t cmd = 0;
    uint8_t code = 0;  // first payload byte: the control-bus request code
    TimePoint sentAt{};
};

// What became of a received frame, by the answer rule.
enum class Fate {
    Answer,    // the awaited request's answer (a corrupted one fails it)
    Confirms,  // an earlier stop's late answer, taken as the awaited stop's confirmation
    Late,      // owed to an earlier request that ended without it: dropped
    Unasked,   // no request awaited or owed it (or it came before its request was written): dropped
    Message,   // not an answer (a command byte other than ok and error): passed over
    Noise,     // skipped bytes
};

struct ReceivedFrame {
    const FramerEvent* event = nullptr;
    Fate fate = Fate::Noise;
    RequestRef request;  // Answer, Confirms, Late
};

class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    virtual void onSent(const SentFrame& frame) { (void)frame; }
    // A chunk as it was read, before it is framed.
    virtual void onRead(const uint8_t* bytes, size_t size, TimePoint at) {
        (void)bytes;
        (void)size;
        (void)at;
    }
    // Every framer event, with its fate.
    virtual void onReceived(const ReceivedFrame& frame) { (void)frame; }
};

}  // namespace net
}  // namespace zorn
