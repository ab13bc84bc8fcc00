#include "drv/CaptureSink.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorn {
namespace drv {

std::unique_ptr<CaptureSink> CaptureSink::open(const std::string& path, std::string& error) {
    // O_NONBLOCK: opening a FIFO for writing otherwise waits for a reader.
    // O_TRUNC leaves FIFOs and devices alone.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int reason = errno;
        struct stat st {};
        if (reason == ENXIO && stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
            error = "nobody reads the FIFO " + path;
        } else {
            error = path + ": " + strerror(reason);
        }
        return nullptr;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        error = std::string("cannot set up a capture: ") + strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<CaptureSink> sink(new CaptureSink(fd, wake));
    cookie_io_functions_t io{};
    io.write = &CaptureSink::writeAll;
    io.close = &CaptureSink::closeDescriptor;
    sink->file_ = fopencookie(sink.get(), "w", io);
    if (sink->file_ == nullptr) {
        error = std::string("cannot set up a capture: ") + strerror(errno);
        ::close(fd);
        return nullptr;
    }
    sink->buffer_.resize(BUFFER_SIZE);
    setvbuf(sink->file_, sink->buffer_.data(), _IOFBF, sink->buffer_.size());
    return sink;
}

CaptureSink::CaptureSink(int fd, int wake) : fd_(fd), wake_(wake) {}

CaptureSink::~CaptureSink() { ::close(wake_); }

void CaptureSink::giveUp() {
    givenUp_ = true;
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
}

ssize_t CaptureSink::fail(int error) {
    int none = 0;
    error_.compare_exchange_strong(none, error);
    errno = error;
    return -1;
}

// Writes all of `size` or fails: the stream takes a short write for an
// error and would drop the rest of its buffer.
ssize_t CaptureSink::writeAll(void* cookie, const char* data, size_t size) {
    CaptureSink& sink = *static_cast<CaptureSink*>(cookie);
    size_t done = 0;
    while (done < size) {
        if (sink.givenUp_) return sink.fail(ETIMEDOUT);
        const ssize_t n = ::write(sink.fd_, data + done, size - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN || !sink.waits_) return sink.fail(errno);
        pollfd ready[2] = {{sink.fd_, POLLOUT, 0}, {sink.wake_, POLLIN, 0}};
        ::poll(ready, 2, -1);
    }
    return static_cast<ssize_t>(size);
}

int CaptureSink::closeDescriptor(void* cookie) {
    CaptureSink& sink = *static_cast<CaptureSink*>(cookie);
    const int result = ::close(sink.fd_);
    sink.fd_ = -1;
    return result;
}

}  // namespace drv
}  // namespace zorn
