#pragma once

#include <cstdint>
#include <string>

namespace zorn {
namespace orbitane {
namespace sim {

// A listening TCP socket bound to a loopback address only.
class LoopbackListener {
public:
    LoopbackListener() {}
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // host: a numeric IPv4 address in 127.0.0.0/8 or "localhost"; port 0
    // lets the system pick a free port. False with `error` set otherwise.
    bool open(const std::string& host, uint16_t port, std::string& error);
    void close();

    // Accepts one pending connection (non-blocking socket); -1 when none.
    int accept(std::string& peer);

    int fd() const { return fd_; }
    uint16_t port() const { return port_; }
    const std::string& host() const { return host_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::string host_;
};

// Splits "[HOST:]PORT" into host (default 127.0.0.1) and port. False for
// an empty or malformed text or a port above 65535.
bool parseHostPort(const std::string& text, std::string& host, uint16_t& port);

// True for "localhost" and numeric IPv4 addresses in 127.0.0.0/8.
bool isLoopbackHost(const std::string& host);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
