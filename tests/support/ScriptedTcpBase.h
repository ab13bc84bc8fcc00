#pragma once

// A ScriptedBase served over a loopback TCP connection, for tests that talk
// to the base the way the console does (an in-process TCP channel, or the
// console program run as a child process with --host 127.0.0.1 -p port()).
//
// Listens on 127.0.0.1 (or ::1) on a port chosen by the system and serves one client
// at a time on its own thread; a new client is accepted after the previous
// one closed. The destructor wakes and joins the thread at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "tests/support/ScriptedBase.h"

namespace tests {
namespace support {

class ScriptedTcpBase {
public:
    enum class Loopback { V4, V6 };  // 127.0.0.1 or ::1
    // The base is not owned and must outlive this object. Throws
    // std::runtime_error when the listening socket cannot be set up.
    explicit ScriptedTcpBase(ScriptedBase& base, Loopback loopback = Loopback::V4);
    ~ScriptedTcpBase();
    ScriptedTcpBase(const ScriptedTcpBase&) = delete;
    ScriptedTcpBase& operator=(const ScriptedTcpBase&) = delete;

    uint16_t port() const { return port_; }
    // Waits (bounded) until `count` clients have been accepted.
    bool waitForConnections(int count, std::chrono::milliseconds limit) const;

private:
    void serve();
    void serveClient(int fd);

    ScriptedBase& base_;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int connections_ = 0;
    std::thread thread_;
};

}  // namespace support
}  // namespace tests
