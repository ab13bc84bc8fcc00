#pragma once

// A minimal host for talking to the simulator in tests: frames requests,
// reads answer frames with a bounded wait.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "sim/FrameCodec.h"

namespace tests {
namespace sim {

using zorn::orbitane::sim::Frame;
using zorn::orbitane::sim::FrameCodec;

class SimTestClient {
public:
    SimTestClient() {}
    ~SimTestClient() { close(); }

    bool connectTcp(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socket_ = true;
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }

    bool openSerial(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return false;
        termios tio;
        if (::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
        return true;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool sendRaw(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            // A connection the base closed fails the write instead of
            // raising SIGPIPE.
            ssize_t n = socket_ ? ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                                : ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool sendRequest(uint8_t code, const std::vector<uint8_t>& args = {}) {
        std::vector<uint8_t> payload;
        payload.reserve(1 + args.size());
        payload.push_back(code);
        for (uint8_t arg : args) payload.push_back(arg);
        return sendRaw(FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, payload));
    }

    // Next frame from the base, waiting at most `limitMs`; false on time-out
    // or when the base closed the link (then `closed()` is true).
    bool readFrame(Frame& out, int limitMs = 2000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (frames_.empty()) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || closed_) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            uint8_t buf[4096];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) {
                closed_ = true;
                return false;
            }
            raw_.insert(raw_.end(), buf, buf + n);
            for (auto& f : codec_.feed(buf, static_cast<size_t>(n))) frames_.push_back(f);
        }
        out = frames_.front();
        frames_.pop_front();
        return true;
    }

    // A request and its answer in one go.
    bool request(uint8_t code, const std::vector<uint8_t>& args, Frame& answer, int limitMs = 2000) {
        return sendRequest(code, args) && readFrame(answer, limitMs);
    }

    // True when the base closes the link within `limitMs`.
    bool waitClosed(int limitMs) {
        Frame ignored;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!closed_ && std::chrono::steady_clock::now() < deadline) readFrame(ignored, 50);
        return closed_;
    }

    bool closed() const { return closed_; }
    const std::vector<uint8_t>& rawBytes() const { return raw_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool socket_ = false;
    bool closed_ = false;
    FrameCodec codec_;
    std::deque<Frame> frames_;
    std::vector<uint8_t> raw_;
};

// The frame of one request, `times` over, to send in one go.
inline std::vector<uint8_t> repeatedRequest(uint8_t code, size_t times) {
    std::vector<uint8_t> frame = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, {code});
    std::vector<uint8_t> out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

// Little-endian field readers for answer payloads.
inline int32_t le32(const std::vector<uint8_t>& p, size_t at) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
                                static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24);
}

inline std::vector<uint8_t> le32Bytes(std::initializer_list<int32_t> values) {
    std::vector<uint8_t> out;
    for (int32_t v : values) {
        uint32_t u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
    return out;
}

}  // namespace sim
}  // namespace tests
