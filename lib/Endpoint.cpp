// Reading the URI of a base, and the console's channel options.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "lib/Failures.h"
#include "orbitane/Endpoint.h"

namespace orbitane {

namespace {

// The longest device path the serial port takes (raw_serial keeps 259
// characters).
constexpr size_t MAX_DEVICE_PATH = 259;
constexpr const char* FORMS = "tcp://HOST:PORT or serial:///dev/DEVICE";

// The URI as a message shows it: a byte that is not printable ASCII as \xNN.
std::string shown(const std::string& uri) {
    std::string out;
    for (unsigned char c : uri) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

Error badUri(const std::string& uri, const std::string& why) {
    return detail::usageError("invalid URI \"" + shown(uri) + "\": " + why + " (" + FORMS + ")");
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool allDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// A name or an IPv4 address: letters, digits, '.', '-', '_'.
bool plainHost(const std::string& host) {
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
    }
    return !host.empty();
}

// An IPv6 address as written between brackets (a zone after '%').
bool bracketedHost(const std::string& host) {
    if (host.find(':') == std::string::npos) return false;
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ':' && c != '.' && c != '%') return false;
    }
    return true;
}

// HOST, HOST:PORT, [ADDRESS] or [ADDRESS]:PORT into the endpoint.
void readHostAndPort(const std::string& uri, const std::string& text, Endpoint& out) {
    std::string host = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) throw badUri(uri, "the IPv6 address has no closing bracket");
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') throw badUri(uri, "a port follows the address after ':'");
            port = rest.substr(1);
            if (port.empty()) throw badUri(uri, "the port is empty");
        }
        if (!bracketedHost(host)) throw badUri(uri, "\"" + shown(host) + "\" is not an IPv6 address");
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string::npos) {
            if (text.find(':', colon + 1) != std::string::npos) {
                throw badUri(uri, "an IPv6 address goes in brackets, as in tcp://[::1]:11331");
            }
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) throw badUri(uri, "the port is empty");
        }
        if (host.empty()) throw badUri(uri, "the host is missing");
        if (!plainHost(host)) throw badUri(uri, "\"" + shown(host) + "\" is not a host name or address");
    }
    out.host = host;
    out.port = DEFAULT_TCP_PORT;
    if (!port.empty()) {
        if (!allDigits(port) || port.size() > 5 || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
            throw badUri(uri, "the port \"" + shown(port) + "\" is not a number from 1 to 65535");
        }
        out.port = std::atoi(port.c_str());
    }
}

void readDevice(const std::string& uri, const std::string& device, Endpoint& out) {
    if (device.empty()) throw badUri(uri, "the device path is missing");
    if (device.size() > MAX_DEVICE_PATH) {
        throw badUri(uri, "the device path is longer than " + std::to_string(MAX_DEVICE_PATH) + " characters");
    }
    out.device = device;
}

}  // namespace

std::string Endpoint::describe() const {
    if (channel == Channel::Serial) return "serial:" + device;
    const bool ipv6 = host.find(':') != std::string::npos;
    return "tcp:" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Endpoint Endpoint::parse(const std::string& uri) {
    if (uri.empty()) throw badUri(uri, "it is empty");
    for (unsigned char c : uri) {
        if (c <= 0x20 || c == 0x7F) throw badUri(uri, "it holds a blank or a control character");
    }
    const size_t colon = uri.find(':');
    if (colon == std::string::npos) throw badUri(uri, "it names no channel");
    const std::string scheme = lowered(uri.substr(0, colon));
    const std::string rest = uri.substr(colon + 1);
    Endpoint out;
    if (scheme == "tcp") {
        out.channel = Channel::Tcp;
        std::string authority = rest;
        if (rest.compare(0, 2, "//") == 0) {
            authority = rest.substr(2);
            // One trailing slash is what a URI often ends with; any other
            // path, a query or a user is nothing a base has.
            if (!authority.empty() && authority.back() == '/') authority.pop_back();
        }
        if (authority.find_first_of("/?#@") != std::string::npos) {
            throw badUri(uri, "a TCP URI has a host and a port only");
        }
        readHostAndPort(uri, authority, out);
        return out;
    }
    if (scheme == "serial") {
        out.channel = Channel::Serial;
        if (rest.compare(0, 2, "//") == 0) {
            if (rest.compare(0, 3, "///") != 0) {
                throw badUri(uri, "the device path is absolute, after three slashes: serial:///dev/ttyUSB0");
            }
            readDevice(uri, rest.substr(2), out);
        } else {
            readDevice(uri, rest, out);
        }
        return out;
    }
    throw badUri(uri, "the channel \"" + shown(uri.substr(0, colon)) + "\" is neither tcp nor serial");
}

Endpoint Endpoint::fromOptions(const std::string& channel, const std::optional<std::string>& host,
                               const std::optional<std::string>& port) {
    Endpoint out;
    if (channel == "serial") {
        if (!port) throw detail::usageError("Configured to use serial channel, but port not specified");
        out.channel = Channel::Serial;
        if (port->empty()) throw detail::usageError("The serial port (-p) is empty");
        if (port->size() > MAX_DEVICE_PATH) {
            throw detail::usageError("The serial port (-p) is longer than " + std::to_string(MAX_DEVICE_PATH) +
                                     " characters");
        }
        out.device = *port;
        return out;
    }
    if (channel != "tcp") throw detail::usageError("Unsupported channel: " + channel);
    out.channel = Channel::Tcp;
    out.host = host ? *host : DEFAULT_TCP_HOST;
    out.port = DEFAULT_TCP_PORT;
    if (port) {
        // As the console reads -p: a whole decimal number from 0 to 65535,
        // the empty text being 0.
        long long value = 0;
        if (!port->empty()) {
            errno = 0;
            char* end = nullptr;
            value = std::strtoll(port->c_str(), &end, 10);
            if (end != port->c_str() + port->size() || errno == ERANGE || value < 0 || value > 65535) {
                throw detail::usageError("Invalid port " + *port + " for tcp channel");
            }
        }
        out.port = static_cast<int>(value);
    }
    return out;
}

}  // namespace orbitane
