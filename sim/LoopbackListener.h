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

    // Accepts one pending connection (non-blocking socket); -1 when none
    // was waiting or accepting failed, with the reason's errno in `error`
    // when given.
    int accept(std::string& peer, int* error = nullptr);

    // With no file descriptor left for accept(), a waiting connection can
    // still be turned away: the spare descriptor the listener keeps is
    // freed, the connection accepted with it and closed at once (so that
    // its host learns at once that it is not served), and the spare taken
    // again.
    enum class TurnAway { Closed, NonePending, Failed };
    TurnAway turnAwayPending(std::string& peer);

    int fd() const { return fd_; }
    uint16_t port() const { return port_; }
    const std::string& host() const { return host_; }

private:
    int fd_ = -1;
    int spare_ = -1;  // kept open to be freed when every other one is taken
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
