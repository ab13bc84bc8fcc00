#pragma once

// The whole host stack over a scripted base, in process: the real framing
// protocol, a ScriptedChannel running the real channel threads, a control
// endpoint bound to it and the base driver on that endpoint. Members are
// public; script `base` and call `driver`. Nothing is sent on construction
// (no synchronisation message, no connect request).

#include "drv/QuindleBaseDrv.h"
#include "net/ControlEndpoint.h"
#include "net/InterchipProtocol.h"
#include "tests/support/ScriptedBase.h"
#include "tests/support/ScriptedChannel.h"

namespace tests {
namespace support {

class ScriptedDriverRig {
public:
    ScriptedDriverRig();
    ~ScriptedDriverRig();
    ScriptedDriverRig(const ScriptedDriverRig&) = delete;
    ScriptedDriverRig& operator=(const ScriptedDriverRig&) = delete;

    // Declaration order is destruction order in reverse: the driver goes
    // first, the base (which the channel's thread calls into) last.
    ScriptedBase base;
    zorn::net::InterchipProtocol protocol;
    ScriptedChannel channel;
    zorn::net::ControlEndpoint endpoint;
    zorn::drv::QuindleBaseDrv driver;
};

}  // namespace support
}  // namespace tests
