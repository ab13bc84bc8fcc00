#include "sim/BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

// Closes the descriptor on every way out.
struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string describeSize(size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

bool readBoundedFile(const std::string& path, size_t limit, std::string& out, std::string& error) {
    const FileCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::string tooLarge = path + ": refused, larger than " + describeSize(limit);
    struct stat st;
    const bool regular = ::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && static_cast<unsigned long long>(st.st_size) > limit) {
        error = tooLarge;
        return false;
    }
    std::string text;
    if (regular) text.reserve(static_cast<size_t>(st.st_size) + 1);
    char buffer[65536];
    // One byte past the limit tells a file that is too large from one that
    // fills it exactly.
    while (text.size() <= limit) {
        const size_t want = std::min(sizeof buffer, limit + 1 - text.size());
        const ssize_t n = ::read(file.fd, buffer, want);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = path + ": " + std::strerror(errno);
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    if (text.size() > limit) {
        error = tooLarge;
        return false;
    }
    out.swap(text);
    return true;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
