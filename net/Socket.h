#pragma once

// The socket interface the platform layer implements, under the names the
// rest of the code uses.
#include "net/arch/HostResolver.h"
#include "net/arch/Socket.h"

namespace zorn {
namespace net {
using ::zorn::arch::net::SocketAddress;
using ::zorn::arch::net::SocketBase;
using ::zorn::arch::net::StreamSocket;
using ::zorn::arch::net::ADDRESS_TYPE_IPV4;
using ::zorn::arch::net::ADDRESS_TYPE_IPV6;
using ::zorn::arch::net::SHUTDOWN_RECEIVE;
using ::zorn::arch::net::SHUTDOWN_SEND;
using ::zorn::arch::net::SHUTDOWN_BOTH;
using ::zorn::arch::net::SOCKET_TIMEOUT_RECEIVE;
using ::zorn::arch::net::SOCKET_TIMEOUT_SEND;
using ::zorn::arch::net::ResolvedHost;
using ::zorn::arch::net::isNumericIpv4;
using ::zorn::arch::net::resolveHost;
using ::zorn::arch::net::addressText;
}  // namespace net
}  // namespace zorn
