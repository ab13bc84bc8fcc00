#pragma once

// Where the base is: a TCP address or a serial device.
//
// As a URI (Endpoint::parse):
//
//   tcp://HOST:PORT        tcp://127.0.0.1:11331, tcp://base-7.local:11331
//   tcp://HOST             the base's port, 11331
//   tcp://[ADDRESS]:PORT   an IPv6 address, tcp://[::1]:11331
//   serial:///DEVICE       serial:///dev/ttyUSB0 (an absolute path)
//
// and in the forms the console names its channels with ("Connecting to
// tcp:127.0.0.1:11331..."): tcp:HOST:PORT, tcp:[ADDRESS]:PORT, tcp:HOST and
// serial:DEVICE (a relative device path too). HOST is an IPv4 address, an
// IPv6 address in brackets, or a name (resolved to IPv4 and IPv6 when the
// link opens). PORT is 1 to 65535.
//
// Endpoint::fromOptions takes the console's channel options as they were
// given (-c, --host, -p) and checks them as the console does.

#include <optional>
#include <string>

#include "orbitane/Export.h"

namespace orbitane {

// The base's usual address on the robot's internal network, and its port:
// what the console takes when --host or -p is not given.
constexpr const char* DEFAULT_TCP_HOST = "192.168.11.1";
constexpr int DEFAULT_TCP_PORT = 11331;

struct ORBITANE_API Endpoint {
    enum class Channel { Tcp, Serial };

    Channel channel = Channel::Tcp;
    std::string host = DEFAULT_TCP_HOST;  // tcp: an address or a name
    int port = DEFAULT_TCP_PORT;          // tcp
    std::string device;                   // serial: the device path

    // "tcp:HOST:PORT" (an IPv6 address in brackets) or "serial:DEVICE",
    // as the console names the channel.
    std::string describe() const;

    // The URI's endpoint; Error (kind usage) saying what is wrong with it.
    static Endpoint parse(const std::string& uri);
    // The console's -c (channel: "tcp" or "serial"), --host and -p, each
    // as given or not given: serial needs -p (the device); tcp takes the
    // default host and port for those not given, and -p as a whole
    // decimal number from 0 to 65535. Error (kind usage) as the console
    // would refuse them.
    static Endpoint fromOptions(const std::string& channel, const std::optional<std::string>& host,
                                const std::optional<std::string>& port);
};

}  // namespace orbitane
