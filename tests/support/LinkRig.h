#pragma once

// A link on a fake line against a scripted base, in fake time.

#include "drv/ControlBus.h"
#include "net/Link.h"
#include "tests/support/FakeLine.h"

namespace tests {
namespace support {

struct LinkRig {
    FakeClock clock;
    ScriptedBase base;
    FakeLine line{clock, base};
    zorn::net::Link link{line, clock};

    using AnswerView = zorn::net::AnswerView;
    using RequestKind = zorn::net::RequestKind;
    using AnswerShape = zorn::net::AnswerShape;
    using Motion = zorn::net::Motion;
    template <class T>
    using Outcome = zorn::net::Outcome<T>;

    LinkRig() { base.scriptHealthyBase(); }

    // A control-bus request of `code` with no arguments.
    Outcome<AnswerView> request(uint8_t code, const RequestKind& kind) {
        return link.transact(zorn::drv::CMD_CONTROL_BUS, &code, 1, kind);
    }
    Outcome<AnswerView> reading(uint8_t code, uint32_t size, Millis timeout = Millis(1000)) {
        return request(code, RequestKind{AnswerShape::of(size), Motion::None, timeout});
    }
    Outcome<AnswerView> stopWheels(Millis timeout = Millis(1000)) {
        uint8_t payload[17] = {zorn::drv::REQ_SET_MOTOR};
        return link.transact(zorn::drv::CMD_CONTROL_BUS, payload, sizeof payload,
                             RequestKind{AnswerShape::of(0), Motion::Stops, timeout});
    }
    Millis now() const { return clock.elapsed(); }
    // When the request with `code` was written the `n`-th time (fake ms).
    Millis writtenAt(uint8_t code, size_t n = 0) const {
        size_t seen = 0;
        for (const FakeLine::Written& w : line.writes()) {
            if (w.bytes.size() > 3 && w.bytes[2] == zorn::drv::CMD_CONTROL_BUS && w.bytes[3] == code && seen++ == n) {
                return std::chrono::duration_cast<Millis>(w.at - clock.at(Millis(0)));
            }
        }
        return Millis(-1);
    }
};

}  // namespace support
}  // namespace tests
