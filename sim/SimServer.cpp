#include "sim/SimServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log/LogLevel.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

namespace util = nivo::system::util;

// Answers that the host does not read are dropped past this size, so that
// a serial line nobody listens to cannot make the simulator grow. It leaves
// room for the largest noise burst of a flood fault and its answer.
constexpr size_t kMaxUnsentBytes = 2 * kMaxFloodBytes;
// Time the host gets to read the last answer before the base hangs up a
// serial line.
constexpr int64_t kSerialHangUpGraceNs = 200 * 1000 * 1000;

int64_t steadyNowNs() { return SteadyClock().nowNs(); }

}  // namespace

SimServer::SimServer(const Scenario& scenario, std::shared_ptr<const SimClock> clock)
    : clock_(clock ? clock : std::make_shared<SteadyClock>()), device_(scenario, clock_) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
    }
}

SimServer::~SimServer() {
    stop();
    if (wakePipe_[0] >= 0) ::close(wakePipe_[0]);
    if (wakePipe_[1] >= 0) ::close(wakePipe_[1]);
}

void SimServer::setLogSink(const LogSink& sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = sink;
}

void SimServer::log(int level, const std::string& line) const {
    if (log_) log_(level, line);
}

bool SimServer::startTcp(const std::string& host, uint16_t port, std::string* error) {
    std::string why;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            why = "the simulator has been stopped";
        } else if (listener_.fd() >= 0) {
            why = "already serving tcp on port " + std::to_string(listener_.port());
        } else if (listener_.open(host, port, why)) {
            log(util::LOG_INFO, "listening on tcp " + listener_.host() + ":" + std::to_string(listener_.port()));
            why.clear();
        }
        if (why.empty() && wakePipe_[0] < 0) why = "cannot create the wake-up pipe";
    }
    if (!why.empty()) {
        if (error) *error = why;
        return false;
    }
    ensureRunning();
    wake();
    return true;
}

bool SimServer::startPty(const std::string& link, std::string* error) {
    std::string why;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            why = "the simulator has been stopped";
        } else if (serial_.fd >= 0) {
            why = "already serving " + pty_.path();
        } else if (pty_.open(link, why)) {
            why.clear();
            ptyLink_ = link;
            serial_.fd = pty_.masterFd();
            serial_.serial = true;
            serial_.output.clear();
            Session::Options options;
            options.serialLine = true;
            serial_.session.reset(new Session(device_, "serial " + pty_.path(), options, log_));
            log(util::LOG_INFO, "serving the serial line " + pty_.path() + (link.empty() ? "" : " (link " + link + ")"));
        }
        if (why.empty() && wakePipe_[0] < 0) why = "cannot create the wake-up pipe";
    }
    if (!why.empty()) {
        if (error) *error = why;
        return false;
    }
    ensureRunning();
    wake();
    return true;
}

void SimServer::ensureRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() && !stopping_) thread_ = std::thread(&SimServer::loop, this);
}

void SimServer::wake() {
    if (wakePipe_[1] >= 0) {
        uint8_t b = 1;
        ssize_t n = ::write(wakePipe_[1], &b, 1);
        (void)n;  // a full pipe already wakes the loop
    }
}

void SimServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tcp_.fd >= 0) closeTcp();
        serial_.fd = -1;
        serial_.session.reset();
        pty_.close();
        listener_.close();
    }
    // Outside mutex_: waiters hold changedMutex_ while their conditions take
    // mutex_, so taking them in the other order here could deadlock.
    notifyChanged();
}

uint16_t SimServer::port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listener_.port();
}

std::string SimServer::host() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listener_.host();
}

std::string SimServer::ptyPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pty_.path();
}

int SimServer::connectionsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

bool SimServer::connectionOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tcp_.fd >= 0;
}

bool SimServer::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(changedMutex_);
    while (!condition()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        // Re-check at least every 20 ms: some conditions (odometers) change
        // with time alone.
        changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)));
    }
    return true;
}

void SimServer::notifyChanged() {
    {
        std::lock_guard<std::mutex> lock(changedMutex_);
        ++generation_;
    }
    changed_.notify_all();
}

int SimServer::pollTimeoutMs(int64_t now) const {
    int64_t next = -1;
    for (const Link* link : {&tcp_, &serial_}) {
        if (link->fd < 0 || !link->session) continue;
        for (int64_t t : {link->session->nextDueNs(), link->session->partialFrameDeadlineNs(), link->hangUpAtNs}) {
            if (t >= 0 && (next < 0 || t < next)) next = t;
        }
    }
    if (next < 0) return -1;
    if (next <= now) return 0;
    int64_t ms = (next - now + 999999) / 1000000;
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

void SimServer::loop() {
    std::vector<pollfd> fds;
    for (;;) {
        int timeout;
        int listenerIndex = -1, tcpIndex = -1, serialIndex = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            fds.clear();
            fds.push_back({wakePipe_[0], POLLIN, 0});
            if (listener_.fd() >= 0 && tcp_.fd < 0) {
                listenerIndex = static_cast<int>(fds.size());
                fds.push_back({listener_.fd(), POLLIN, 0});
            }
            for (Link* link : {&tcp_, &serial_}) {
                if (link->fd < 0) continue;
                (link == &tcp_ ? tcpIndex : serialIndex) = static_cast<int>(fds.size());
                // A stalled link is not read at all; only a reset ends it.
                short events = link->session->stalled() ? 0 : POLLIN;
                if (!link->output.empty()) events |= POLLOUT;
                fds.push_back({link->fd, events, 0});
            }
            timeout = pollTimeoutMs(steadyNowNs());
        }
        int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            if (fds[0].revents != 0) {
                uint8_t drain[64];
                while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
                }
            }
            if (listenerIndex >= 0 && fds[listenerIndex].revents != 0) acceptPending();
            if (tcpIndex >= 0 && tcp_.fd == fds[tcpIndex].fd && (fds[tcpIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
                readLink(tcp_);
            }
            if (serialIndex >= 0 && serial_.fd == fds[serialIndex].fd &&
                (fds[serialIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
                readLink(serial_);
            }
            const int64_t now = steadyNowNs();
            for (Link* link : {&tcp_, &serial_}) {
                if (link->fd < 0) continue;
                link->session->checkPartialFrame(now);
                flushLink(*link, now);
            }
        }
        notifyChanged();
    }
}

void SimServer::acceptPending() {
    std::string peer;
    int fd = listener_.accept(peer);
    if (fd < 0) return;
    ++accepted_;
    tcp_.fd = fd;
    tcp_.serial = false;
    tcp_.output.clear();
    tcp_.session.reset(new Session(device_, "tcp " + peer, Session::Options(), log_));
    log(util::LOG_INFO, "connection from " + peer);
}

void SimServer::readLink(Link& link) {
    if (link.session->stalled()) {
        // Woken by an error or hang-up only: the host reset the connection.
        if (!link.serial) {
            log(util::LOG_INFO, link.session->name() + ": stalled connection reset by the host");
            closeTcp();
        } else {
            log(util::LOG_WARN, link.session->name() + ": stalled serial line failed, making a new one");
            reopenPty();
        }
        return;
    }
    uint8_t buffer[4096];
    for (int round = 0; round < 64 && link.fd >= 0 && !link.session->stalled(); ++round) {
        ssize_t n = ::read(link.fd, buffer, sizeof buffer);
        if (n > 0) {
            // Each request keeps the steady-clock time its bytes were read.
            link.session->receive(buffer, static_cast<size_t>(n), steadyNowNs());
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        if (!link.serial) {
            log(util::LOG_INFO, link.session->name() + ": connection closed by the host");
            closeTcp();
        } else {
            log(util::LOG_WARN, link.session->name() + ": serial line failed, making a new one");
            reopenPty();
        }
        return;
    }
}

void SimServer::flushLink(Link& link, int64_t now) {
    std::vector<uint8_t> due = link.session->takeDue(now);
    link.output.insert(link.output.end(), due.begin(), due.end());
    // Written bytes are dropped from the front in one go at the end, so that
    // a large burst going out in small pieces is not moved again and again.
    size_t written = 0;
    while (written < link.output.size()) {
        const uint8_t* data = link.output.data() + written;
        const size_t left = link.output.size() - written;
        ssize_t n = link.serial ? ::write(link.fd, data, left) : ::send(link.fd, data, left, MSG_NOSIGNAL);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (!link.serial) {
            log(util::LOG_INFO, link.session->name() + ": connection lost while answering");
            closeTcp();
        } else {
            log(util::LOG_WARN, link.session->name() + ": serial line failed, making a new one");
            reopenPty();
        }
        return;
    }
    link.output.erase(link.output.begin(), link.output.begin() + static_cast<std::ptrdiff_t>(written));
    if (link.output.size() > kMaxUnsentBytes) {
        log(util::LOG_WARN, link.session->name() + ": host is not reading, " + std::to_string(link.output.size()) +
                                " unsent bytes dropped");
        link.output.clear();
    }
    if (link.session->closeWanted() && link.output.empty()) {
        if (!link.serial) {
            log(util::LOG_INFO, link.session->name() + ": connection closed by the base");
            closeTcp();
        } else if (link.hangUpAtNs < 0) {
            link.hangUpAtNs = now + kSerialHangUpGraceNs;
        } else if (now >= link.hangUpAtNs) {
            reopenPty();
        }
    }
}

void SimServer::closeTcp() {
    if (tcp_.fd >= 0) ::close(tcp_.fd);
    tcp_.fd = -1;
    tcp_.output.clear();
    tcp_.session.reset();
    device_.hostGone();
}

void SimServer::reopenPty() {
    std::string old = pty_.path();
    serial_.fd = -1;
    serial_.hangUpAtNs = -1;
    serial_.output.clear();
    serial_.session.reset();
    pty_.close();
    device_.hostGone();
    std::string why;
    if (!pty_.open(ptyLink_, why)) {
        log(util::LOG_ERROR, "serial line " + old + " closed; cannot make a new one: " + why);
        return;
    }
    serial_.fd = pty_.masterFd();
    Session::Options options;
    options.serialLine = true;
    serial_.session.reset(new Session(device_, "serial " + pty_.path(), options, log_));
    log(util::LOG_INFO, "serial line " + old + " closed; now serving " + pty_.path() +
                            (ptyLink_.empty() ? "" : " (link " + ptyLink_ + ")"));
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
