#pragma once

#include <memory>
#include <string>

#include "net/Clock.h"

namespace zorn {
namespace orbitane {
namespace utils {

// Turns the console's channel options into an open medium: a serial port
// or a TCP connection, with the transport the link writes and reads
// through. The provider owns the medium. The frame opens channels through
// this interface only; the concrete application supplies the providers.
class IChannelProvider {
public:
    virtual ~IChannelProvider() = default;
    // Opens the medium; false after warning lines that say why.
    virtual bool connect() = 0;
    virtual void disconnect() = 0;
    // The open medium's transport, null when not connected.
    virtual zorn::net::Transport* transport() = 0;
    virtual std::string describe() = 0;
    // The last connect failed because the host's name does not resolve (a
    // failure of its own: the medium was never tried).
    virtual bool hostNotFound() const { return false; }
};

// "serial:/dev/ttyUSB0", "tcp:HOST:PORT", or "[Not configured]".
inline std::string describeProvider(const std::shared_ptr<IChannelProvider>& provider) {
    return provider ? provider->describe() : "[Not configured]";
}

}  // namespace utils
}  // namespace orbitane
}  // namespace zorn
