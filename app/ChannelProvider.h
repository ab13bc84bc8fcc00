#pragma once

#include <memory>
#include <string>

namespace zorn {
namespace net {
class Protocol;
class Channel;
}  // namespace net

namespace orbitane {
namespace utils {

// Turns the console's channel options into an open, running channel bound
// to a protocol. The provider owns the channel (and, for TCP, the socket).
// The frame opens channels through this interface only; the concrete
// application supplies the providers.
class IChannelProvider {
public:
    virtual ~IChannelProvider() = default;
    virtual bool connect(zorn::net::Protocol* protocol) = 0;
    virtual void disconnect() = 0;
    virtual zorn::net::Channel* getChannel() = 0;
    virtual std::string describe() = 0;
};

// "serial:/dev/ttyUSB0", "tcp:HOST:PORT", or "[Not configured]".
inline std::string describeProvider(const std::shared_ptr<IChannelProvider>& provider) {
    return provider ? provider->describe() : "[Not configured]";
}

}  // namespace utils
}  // namespace orbitane
}  // namespace zorn
