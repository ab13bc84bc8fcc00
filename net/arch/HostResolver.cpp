#include "net/arch/HostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/arch/Result.h"

namespace zorn {
namespace arch {
namespace net {

namespace {

// RFC 6761: names under .invalid are never looked up.
bool underInvalid(std::string host) {
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!host.empty() && host.back() == '.') host.pop_back();
    const std::string tld = "invalid";
    return host == tld || (host.size() > tld.size() && host.compare(host.size() - tld.size() - 1, std::string::npos,
                                                                   "." + tld) == 0);
}

std::string lookupFailure(int error) {
    switch (error) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            return "no such host name";
        case EAI_AGAIN:
            return "the name service did not answer";
        case EAI_FAIL:
            return "the name service failed";
        case EAI_ADDRFAMILY:
            return "the name has no IPv4 or IPv6 address";
        default:
            return gai_strerror(error);
    }
}

}  // namespace

bool isNumericIpv4(const std::string& host) {
    in_addr address;
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

ResolvedHost resolveHost(const std::string& host, uint16_t port) {
    ResolvedHost out;
    if (isNumericIpv4(host)) {
        out.addresses.emplace_back(host, port);
        return out;
    }
    if (host.empty() || underInvalid(host)) {
        out.failure = "no such host name";
        return out;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error != 0) {
        out.failure = lookupFailure(error);
        return out;
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        SocketAddress address;
        std::memcpy(address.raw(), a->ai_addr, a->ai_addrlen);
        address.setPort(port);
        // The system may list one address once per protocol.
        const auto same = [&](const SocketAddress& b) {
            return b.rawLength() == address.rawLength() && std::memcmp(b.raw(), address.raw(), b.rawLength()) == 0;
        };
        const bool seen = std::any_of(out.addresses.begin(), out.addresses.end(), same);
        if (!seen) out.addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    if (out.addresses.empty()) out.failure = "the name has no IPv4 or IPv6 address";
    return out;
}

std::string addressText(const SocketAddress& address) {
    char text[64];
    if (address.getAddress(text, sizeof text) != RESULT_OK) return "?";
    return text;
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
