#include "sim/LogOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zorn {
namespace orbitane {
namespace sim {

LogOutput::LogOutput(int fd, size_t maxPendingBytes) : fd_(fd), maxPending_(maxPendingBytes) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
        socket_ = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        ownFd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (ownFd_ >= 0) fd_ = ownFd_;
    }
}

LogOutput::~LogOutput() {
    if (ownFd_ >= 0) ::close(ownFd_);
}

bool LogOutput::writeSome(const char* data, size_t size, size_t& written) {
    written = 0;
    while (written < size) {
        ssize_t n;
        if (socket_) {
            n = ::send(fd_, data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            if (ownFd_ < 0) {
                // A descriptor that could not be made non-blocking: write
                // only when it takes something at once.
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return false;
            }
            n = ::write(fd_, data + written, size - written);
        }
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // Would block; or the reader is gone, when nothing will ever go.
            return false;
        }
    }
    return true;
}

uint64_t LogOutput::drain() {
    if (!pending_.empty()) {
        size_t written = 0;
        const bool all = writeSome(pending_.data(), pending_.size(), written);
        pending_.erase(0, written);
        if (!all) return 0;
    }
    const uint64_t told = untold_;
    untold_ = 0;
    return told;
}

uint64_t LogOutput::write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t told = drain();
    if (!pending_.empty()) {
        if (pending_.size() + text.size() <= maxPending_) {
            pending_ += text;
        } else {
            untold_ += static_cast<uint64_t>(std::max<std::ptrdiff_t>(1, std::count(text.begin(), text.end(), '\n')));
        }
        return 0;
    }
    size_t written = 0;
    // The rest of a line cut short waits, so that lines stay whole.
    if (!writeSome(text.data(), text.size(), written)) pending_.assign(text, written, std::string::npos);
    return told;
}

uint64_t LogOutput::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    return drain();
}

uint64_t LogOutput::untold() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return untold_;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
