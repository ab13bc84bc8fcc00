#pragma once

// Why a channel did not open, in words that say what to check: the serial
// port's open and the TCP connection's errno, as the console logs them and
// the library puts them in its error.

#include <string>

namespace zorn {
namespace net {

// "no such device; check the device path (for example /dev/ttyUSB0)", ...;
// the system's text for any other errno; "" for 0.
std::string serialOpenFailureWords(int error);
// "connection refused; nothing listens on that port (...)", ...; the
// system's text for any other errno; "" for 0.
std::string tcpConnectFailureWords(int error);

}  // namespace net
}  // namespace zorn
