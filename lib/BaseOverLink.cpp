#include "lib/BaseOverLink.h"

#include "lib/Session.h"

namespace orbitane {
namespace detail {

Base baseOverLink(zorn::net::Link& link, const std::string& channel, const zorn::drv::MotionGuard::Hooks& hooks,
                  bool showDecodedConfig) {
    Endpoint endpoint;
    try {
        endpoint = Endpoint::parse(channel);
    } catch (const Error&) {
        // Only the words of errors use it; the channel was checked when it opened.
    }
    auto session = std::make_shared<Session>(link, endpoint, channel, hooks);
    session->showDecodedConfig(showDecodedConfig);
    return BaseAccess::make(std::move(session));
}

}  // namespace detail
}  // namespace orbitane
