#pragma once

// The base driver on a link over a fake line to a scripted base, in fake
// time: the clock, the base, the line and the link of LinkRig, and the
// driver on that link. Members are public; script `base`, shape the line
// with `line` and call `driver`. Nothing is sent on construction (no
// synchronisation frame, no connect request); the base is scripted healthy.

#include "drv/QuindleBaseDrv.h"
#include "tests/support/LinkRig.h"

namespace tests {
namespace support {

// A request's outcome without its value: whether it worked, and why not.
template <class T>
zorn::net::Done outcomeOf(const zorn::net::Outcome<T>& outcome) {
    return outcome ? zorn::net::Done() : zorn::net::Done(outcome.failure());
}

struct ScriptedDriverRig : LinkRig {
    zorn::drv::QuindleBaseDrv driver{link};

    // Control-bus requests with `code` whose arguments are all zero: the
    // stops, for the two motion requests.
    size_t zeroRequests(uint8_t code) const {
        size_t count = 0;
        for (const BaseRequest& request : base.requests(code)) {
            count += request.args == Bytes(request.args.size(), 0) ? 1 : 0;
        }
        return count;
    }
};

}  // namespace support
}  // namespace tests
