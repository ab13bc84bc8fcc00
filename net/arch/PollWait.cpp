#include "net/arch/PollWait.h"

#include <poll.h>

#include <cerrno>
#include <climits>

namespace zorn {
namespace arch {
namespace net {

namespace {

// Milliseconds to wait for poll: rounded up, so a wait never ends before
// its deadline; -1 for no deadline.
int pollTimeout(TimePoint deadline) {
    if (deadline == TimePoint::max()) return -1;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

PollResult pollUntil(int fd, short events, int wakeFd, TimePoint deadline, short& revents, int& error) {
    pollfd fds[2];
    fds[0].fd = fd;
    fds[0].events = events;
    fds[1].fd = wakeFd;
    fds[1].events = POLLIN;
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    for (;;) {
        fds[0].revents = 0;
        fds[1].revents = 0;
        const int timeout = pollTimeout(deadline);
        const int r = ::poll(fds, count, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return PollResult::Failed;
        }
        if (count == 2 && fds[1].revents != 0) return PollResult::Woken;
        if (r > 0) {
            revents = fds[0].revents;
            return PollResult::Ready;
        }
        if (timeout == 0 || std::chrono::steady_clock::now() >= deadline) return PollResult::TimedOut;
    }
}

}  // namespace net
}  // namespace arch
}  // namespace zorn
