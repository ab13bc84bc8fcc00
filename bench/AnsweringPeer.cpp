#include "bench/AnsweringPeer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "bench/BenchSupport.h"

namespace bench {

namespace {

constexpr uint8_t STATUS_COMMAND = 0xF8;
constexpr uint8_t STATUS_CODE = 0x30;
constexpr uint8_t SYNC_COMMAND = 0;

}  // namespace

AnsweringPeer::~AnsweringPeer() { stop(); }

bool AnsweringPeer::start(int fd) {
    stop();
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return false;
    fd_ = fd;
    stopping_.store(false);
    framer_.reset();
    thread_ = std::thread([this] { serve(); });
    return true;
}

void AnsweringPeer::stop() {
    if (thread_.joinable()) {
        stopping_.store(true);
        uint64_t one = 1;
        while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (wake_ >= 0) ::close(wake_);
    wake_ = -1;
    fd_ = -1;
}

void AnsweringPeer::serve() {
    uint8_t buffer[4096];
    pollfd fds[2];
    while (!stopping_.load()) {
        fds[0].fd = fd_;
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        fds[1].fd = wake_;
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        // The bound only limits how long a lost wake-up could stall the
        // thread; stop() wakes it through the eventfd.
        const int r = ::poll(fds, 2, 2000);
        if (r < 0) {
            if (errno == EINTR) continue;
            faulted_.store(true);
            return;
        }
        if (r == 0) continue;
        if (fds[1].revents) return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                framer_.push(buffer, static_cast<size_t>(n), zorn::net::Arrival{}, *this);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return;  // closed by the other side
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return;
    }
}

void AnsweringPeer::onFramerEvent(const zorn::net::FramerEvent& event) {
    if (event.kind != zorn::net::FramerEvent::Kind::Frame) {
        faulted_.store(true);
        return;
    }
    if (!event.hasCommand || event.cmd == SYNC_COMMAND) return;
    if (event.cmd != STATUS_COMMAND || event.payloadSize != 1 || event.payload[0] != STATUS_CODE) {
        unanswered_.fetch_add(1);
        return;
    }
    if (!writeAll(fd_, STATUS_ANSWER_FRAME, sizeof STATUS_ANSWER_FRAME)) faulted_.store(true);
    answered_.fetch_add(1);
}

}  // namespace bench
