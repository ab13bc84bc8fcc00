#include "net/OpenFailure.h"

#include <cerrno>
#include <cstring>

namespace zorn {
namespace net {

std::string serialOpenFailureWords(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO: return "no such device; check the device path (for example /dev/ttyUSB0)";
        case EACCES:
        case EPERM: return "permission denied; add your user to the dialout group and log in again";
        case EBUSY:
        case EWOULDBLOCK: return "device busy; another program is using the port";
        default: return error != 0 ? std::strerror(error) : std::string();
    }
}

std::string tcpConnectFailureWords(int error) {
    switch (error) {
        case ECONNREFUSED:
            return "connection refused; nothing listens on that port (is the base, or the simulator, running?)";
        case ETIMEDOUT: return "no answer in time; check the host address and the network";
        case ENETUNREACH:
        case EHOSTUNREACH: return "no route to the host; check the host address and the network";
        case EDESTADDRREQ: return "not an address the console can connect to";
        default: return error != 0 ? std::strerror(error) : std::string();
    }
}

}  // namespace net
}  // namespace zorn
