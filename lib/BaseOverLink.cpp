#include "lib/BaseOverLink.h"

#include "lib/Session.h"

namespace orbitane {
namespace detail {

Base baseOverLink(zorn::net::Link& link, const std::string& channel, const zorn::drv::MotionGuard::Hooks& hooks) {
    Endpoint endpoint;
    try {
        endpoint = Endpoint::parse(channel);
    } catch (const Error&) {
        // Only the words of errors use it; the channel was checked when it opened.
    }
    return BaseAccess::make(std::make_shared<Session>(link, endpoint, channel, hooks));
}

}  // namespace detail
}  // namespace orbitane
