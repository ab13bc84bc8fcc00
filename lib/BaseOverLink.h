#pragma once

// A Base over a link its owner opened: the console opens, traces and
// records its medium itself, and makes its requests through the Base it
// lends the link to, under the same rules as every other client.

#include <memory>
#include <string>

#include "drv/MotionGuard.h"
#include "net/Link.h"
#include "orbitane/Base.h"

namespace orbitane {
namespace detail {

struct BaseAccess {
    static Base make(std::shared_ptr<Session> session) { return Base(std::move(session)); }
};

// Sends the connect request on the open, synchronised `link` (Error, kind
// connect_failed or interrupted, when it is not answered); `channel` names
// the link in errors and in the identity ("tcp:127.0.0.1:11331"). The
// link must outlive the Base; closing the Base stops a scope that may
// still move the base and leaves the link open. With `showDecodedConfig`,
// Base::config() logs the binary configuration as decoded.
Base baseOverLink(zorn::net::Link& link, const std::string& channel, const zorn::drv::MotionGuard::Hooks& hooks,
                  bool showDecodedConfig);

}  // namespace detail
}  // namespace orbitane
