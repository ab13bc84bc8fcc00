#pragma once

// The transports of the platform layer, as the layers above net/ name them.

#include "net/arch/SerialTransport.h"
#include "net/arch/SocketTransport.h"
#include "net/arch/raw_serial.h"

namespace zorn {
namespace net {
using ::zorn::arch::net::raw_serial;
using ::zorn::arch::net::SerialTransport;
using ::zorn::arch::net::SocketTransport;
}  // namespace net
}  // namespace zorn
