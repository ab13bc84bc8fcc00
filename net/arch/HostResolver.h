#pragma once

// The --host text as the addresses to connect to: a numeric IPv4 address as
// it is, anything else (a name, an IPv6 address) through getaddrinfo, IPv4
// and IPv6 alike, in the order the system prefers. SocketAddress itself
// stays numeric: names are resolved here, once, before the connect.

#include <cstdint>
#include <string>
#include <vector>

#include "net/arch/Socket.h"

namespace zorn {
namespace arch {
namespace net {

struct ResolvedHost {
    // The addresses, with the port set; empty when the name did not resolve.
    std::vector<SocketAddress> addresses;
    // Why not, in words ("no such host name"); empty when it resolved.
    std::string failure;
};

// "A.B.C.D": connected to as it is, without a lookup.
bool isNumericIpv4(const std::string& host);

// The addresses of `host`. A name under the reserved top-level domain
// .invalid never resolves and is answered without asking the name service.
ResolvedHost resolveHost(const std::string& host, uint16_t port);

// "192.168.11.7", "::1": an address as text, without its port.
std::string addressText(const SocketAddress& address);

}  // namespace net
}  // namespace arch
}  // namespace zorn
