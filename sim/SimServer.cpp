#include "sim/SimServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
// Bytes read from the host that may wait in a paced line; the rest stay in
// the kernel's buffers, which hold up the host as a real line would.
constexpr size_t kMaxIncomingBytes = 4096;
// Unread answer bytes at which a TCP host's further requests wait unread:
// the connection's flow control then holds back a host that sends without
// reading, instead of the simulator answering it for nothing.
constexpr size_t kHoldAboveUnsentBytes = 64 * 1024;
// What one link gets per turn of the loop: one read and this many frames
// handled, so that the links take turns and a busy host holds up neither
// the others nor a stop for long.
constexpr size_t kReadBytesPerTurn = 4096;
constexpr size_t kFramesPerTurn = 64;
// Connections accepted per turn, for the same reason.
constexpr int kAcceptsPerTurn = 16;
// How long the listening socket rests when no descriptor is left to accept
// a connection with and none could be freed to turn it away: polling it
// meanwhile would only report the same waiting connection again and again.
constexpr int64_t kAcceptRestNs = 250 * 1000 * 1000;
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
            // The program prints its own ready line; the log stays quiet
            // about it so the line is seen once.
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
            serial_.session = makeSession("serial " + pty_.path(), true);
            attachWire(serial_);
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

void SimServer::setWire(const WireSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    wireSettings_ = settings;
}

WireCounts SimServer::wireCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wireCounts_;
}

void SimServer::attachWire(Link& link) {
    link.inputEnded = false;
    // Each link draws its own bit errors, the same ones however the links
    // of a run interleave.
    const uint64_t stream = linksMade_++;
    link.wire.reset(wireSettings_.perfect() ? nullptr : new WireLine(wireSettings_, stream, &wireCounts_));
}

void SimServer::setIdleTimeout(int64_t timeoutNs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idleTimeoutNs_ = timeoutNs > 0 ? timeoutNs : 0;
    }
    wake();
}

void SimServer::setRequestTimes(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    requestTimes_ = on;
}

void SimServer::setReplay(std::shared_ptr<const ReplayScript> script) {
    std::lock_guard<std::mutex> lock(replayMutex_);
    replay_ = std::move(script);
}

std::unique_ptr<Session> SimServer::makeSession(const std::string& name, bool serial) {
    Session::Options options;
    {
        std::lock_guard<std::mutex> lock(replayMutex_);
        options.replay = replay_;
    }
    options.serialLine = serial;
    options.maxUnsentBytes = kMaxUnsentBytes;
    // A serial line has no flow control to hold the host back with: there
    // the answers nobody reads are dropped (maxUnsentBytes) instead.
    options.holdAboveUnsentBytes = serial ? 0 : kHoldAboveUnsentBytes;
    options.warnings = &warnings_;
    options.requestTimes = requestTimes_;
    return std::unique_ptr<Session>(new Session(device_, name, options, log_));
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
        for (auto& client : clients_) closeTcp(*client);
        clients_.clear();
        reportLeftOutWarnings(-1);
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

void SimServer::setMaxClients(int clients) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxClients_ = clients < 1 ? 1 : clients;
}

void SimServer::setStateInterval(int64_t intervalNs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stateIntervalNs_ = intervalNs > 0 ? intervalNs : 0;
        nextStateNs_ = stateIntervalNs_ > 0 ? steadyNowNs() + stateIntervalNs_ : -1;
    }
    ensureRunning();
    wake();
}

int SimServer::connectionsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

int SimServer::connectionsRefused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

int SimServer::connectionsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(clients_.size());
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

size_t SimServer::unsentOnLink(const Link& link) {
    return link.output.size() + (link.wire ? link.wire->outgoingBytes() : 0);
}

bool SimServer::mayRead(const Link& link) {
    return link.session->wantsInput() && (!link.wire || link.wire->incomingBytes() < kMaxIncomingBytes);
}

int64_t SimServer::pollTimeoutNs(int64_t now) const {
    int64_t next = nextStateNs_;
    const int64_t report = warnings_.nextReportNs();
    if (report >= 0 && (next < 0 || report < next)) next = report;
    if (listenerRestsUntilNs_ > now && (next < 0 || listenerRestsUntilNs_ < next)) next = listenerRestsUntilNs_;
    auto consider = [&next](const Link& link) {
        if (link.fd < 0 || !link.session) return;
        const int64_t wireNs = link.wire ? link.wire->nextNs() : -1;
        for (int64_t t : {link.session->nextDueNs(), link.session->partialFrameDeadlineNs(), link.hangUpAtNs, wireNs,
                          link.session->nextWorkNs(unsentOnLink(link))}) {
            if (t >= 0 && (next < 0 || t < next)) next = t;
        }
    };
    for (const auto& client : clients_) {
        consider(*client);
        const int64_t idleAt = idleTimeoutNs_ > 0 ? client->lastInputNs + idleTimeoutNs_ : -1;
        if (idleAt >= 0 && (next < 0 || idleAt < next)) next = idleAt;
    }
    consider(serial_);
    if (next < 0) return -1;
    if (next <= now) return 0;
    // To the nanosecond: a paced line moves a byte every 87 us at 115200
    // baud, and waking on whole milliseconds would slow it to a crawl.
    const int64_t limit = 60LL * 1000 * 1000 * 1000;
    return next - now > limit ? limit : next - now;
}

void SimServer::closeIdleClients(int64_t now) {
    if (idleTimeoutNs_ <= 0) return;
    for (auto& client : clients_) {
        Link& link = *client;
        if (link.fd < 0 || now - link.lastInputNs < idleTimeoutNs_) continue;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(idleTimeoutNs_) / 1e9);
        log(util::LOG_INFO, link.session->name() + ": nothing received for " + seconds +
                                " s, connection closed (--idle-timeout)");
        closeTcp(link);
    }
}

void SimServer::loop() {
    // A paced line wakes the loop for every byte (87 us apart at 115200
    // baud); the default timer slack of 50 us would add to each of them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<pollfd> fds;
    std::vector<Link*> polled;  // the link of each entry of fds, or nullptr
    for (;;) {
        int64_t timeoutNs;
        bool listening = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            fds.clear();
            polled.clear();
            fds.push_back({wakePipe_[0], POLLIN, 0});
            polled.push_back(nullptr);
            const int64_t now = steadyNowNs();
            if (listener_.fd() >= 0 && now >= listenerRestsUntilNs_) {
                listening = true;
                fds.push_back({listener_.fd(), POLLIN, 0});
                polled.push_back(nullptr);
            }
            std::vector<Link*> links;
            for (auto& client : clients_) links.push_back(client.get());
            links.push_back(&serial_);
            for (Link* link : links) {
                // A link whose host end is gone waits only for its line to
                // drain.
                if (link->fd < 0 || link->inputEnded) continue;
                // A stalled link is not read at all. Over TCP the host's
                // end of the connection is still noticed, as long as its
                // FIN gets through the unread bytes. A link whose frames
                // still wait, or whose paced line is full, is read once
                // they are taken: what the host sends meanwhile stays in
                // the kernel's buffers and holds it back once they fill.
                // Over TCP a host that leaves meanwhile is still noticed.
                short events = 0;
                if (link->session->stalled()) {
                    events = link->serial ? 0 : POLLRDHUP;
                } else if (mayRead(*link)) {
                    events = POLLIN;
                } else if (!link->serial && !link->hostGone && !link->session->wantsInput()) {
                    events = POLLRDHUP;
                }
                if (!link->output.empty()) events |= POLLOUT;
                fds.push_back({link->fd, events, 0});
                polled.push_back(link);
            }
            timeoutNs = pollTimeoutNs(now);
        }
        timespec wait;
        wait.tv_sec = static_cast<time_t>(timeoutNs / 1000000000);
        wait.tv_nsec = static_cast<long>(timeoutNs % 1000000000);
        int ready = ::ppoll(fds.data(), fds.size(), timeoutNs < 0 ? nullptr : &wait, nullptr);
        if (ready < 0 && errno != EINTR) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            if (fds[0].revents != 0) {
                uint8_t drain[64];
                while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
                }
            }
            if (listening && fds[1].revents != 0) acceptPending();
            for (size_t i = 0; i < fds.size(); ++i) {
                Link* link = polled[i];
                // The serial line may have been made anew since the poll.
                if (link == nullptr || link->fd != fds[i].fd) continue;
                if (fds[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) readLink(*link, fds[i].revents);
            }
            const int64_t now = steadyNowNs();
            std::vector<Link*> links;
            for (auto& client : clients_) links.push_back(client.get());
            links.push_back(&serial_);
            for (Link* link : links) {
                if (link->fd < 0) continue;
                takeInFromWire(*link, now);
                if (link->inputEnded && link->wire->incomingBytes() == 0) {
                    endOfInput(*link);
                    if (link->fd < 0 || link->inputEnded) continue;
                }
                link->session->checkPartialFrame(now);
                work(*link, now);
                flushLink(*link, now);
            }
            closeIdleClients(now);
            clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                          [](const std::unique_ptr<Link>& c) { return c->fd < 0; }),
                           clients_.end());
            logStateWhenDue(now);
            reportLeftOutWarnings(now);
        }
        notifyChanged();
    }
}

void SimServer::reportLeftOutWarnings(int64_t now) {
    for (const std::string& line : now < 0 ? warnings_.takeAllReports() : warnings_.takeReports(now)) {
        log(util::LOG_WARN, line);
    }
}

void SimServer::logStateWhenDue(int64_t now) {
    if (nextStateNs_ < 0 || now < nextStateNs_) return;
    std::string line = describeState(device_.state());
    if (wireSettings_.bitErrorRate > 0) {
        const WireCounts& c = wireCounts_;
        line += ", line errors: " + std::to_string(c.bitsSent) + " bits in " + std::to_string(c.answersHit) +
                " answers sent, " + std::to_string(c.bitsReceived) + " bits in " + std::to_string(c.framesHit) +
                " frames received";
    }
    log(util::LOG_INFO, line);
    // After a long pause (a stopped process) the next line is one interval
    // from now rather than a burst of missed ones.
    nextStateNs_ += stateIntervalNs_;
    if (nextStateNs_ <= now) nextStateNs_ = now + stateIntervalNs_;
}

void SimServer::acceptPending() {
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        std::string peer;
        int error = 0;
        int fd = listener_.accept(peer, &error);
        if (fd < 0) {
            if (error == 0 || !acceptFailed(error)) return;
            continue;
        }
        if (static_cast<int>(clients_.size()) >= maxClients_) {
            // Closed at once, so that the host fails fast instead of waiting
            // for answers that would never come.
            ::close(fd);
            ++refused_;
            if (!warnings_.admit("connection refused", steadyNowNs())) continue;
            log(util::LOG_WARN, "connection from " + peer + " refused: already serving " +
                                    std::to_string(clients_.size()) + " client" + (clients_.size() == 1 ? "" : "s") +
                                    " (--max-clients " + std::to_string(maxClients_) + ")");
            continue;
        }
        ++accepted_;
        std::unique_ptr<Link> link(new Link);
        link->fd = fd;
        link->lastInputNs = steadyNowNs();
        link->session = makeSession("tcp " + peer, false);
        attachWire(*link);
        clients_.push_back(std::move(link));
        log(util::LOG_INFO, "connection from " + peer);
    }
}

bool SimServer::acceptFailed(int error) {
    // A connection reset before it was accepted: the next one may be fine.
    if (error == ECONNABORTED) return true;
    const int64_t now = steadyNowNs();
    if (error == EMFILE || error == ENFILE) {
        std::string peer;
        switch (listener_.turnAwayPending(peer)) {
            case LoopbackListener::TurnAway::Closed:
                ++refused_;
                if (warnings_.admit("no descriptor left", now)) {
                    log(util::LOG_WARN, "connection from " + peer + " refused: no file descriptor left (" +
                                            std::strerror(error) +
                                            "); raise the limit (ulimit -n) or lower --max-clients");
                }
                return true;
            case LoopbackListener::TurnAway::NonePending:
                // accept() takes a descriptor before it looks for a
                // connection, so the shortage also shows once the waiting
                // ones are all taken.
                return false;
            case LoopbackListener::TurnAway::Failed:
                break;
        }
    }
    // The waiting connection can be neither taken nor turned away: the
    // listening socket rests rather than report it over and over.
    listenerRestsUntilNs_ = now + kAcceptRestNs;
    if (warnings_.admit("no descriptor left", now)) {
        log(util::LOG_WARN, std::string("cannot accept connections (") + std::strerror(error) + "); trying again in " +
                                std::to_string(kAcceptRestNs / 1000000) + " ms");
    }
    return false;
}

void SimServer::readLink(Link& link, short revents) {
    if (link.session->stalled()) {
        // Woken by the end of the connection or an error only.
        if (!link.serial) {
            log(util::LOG_INFO, link.session->name() + ": stalled connection closed by the host");
            closeTcp(link);
        } else {
            log(util::LOG_WARN, link.session->name() + ": stalled serial line failed, making a new one");
            reopenPty();
        }
        return;
    }
    if (!mayRead(link)) {
        // Not polled for reading, so woken by the host closing its side, a
        // hang-up or an error.
        if (!link.serial && !link.hostGone && (revents & (POLLHUP | POLLERR)) == 0) {
            hostClosedItsSide(link);
            return;
        }
        // What the host sent before it went still reaches the base.
        if (link.wire && link.wire->incomingBytes() > 0) {
            link.inputEnded = true;
            return;
        }
        endOfInput(link);
        return;
    }
    // One read a turn, so that every link gets its turn.
    uint8_t buffer[kReadBytesPerTurn];
    size_t room = sizeof buffer;
    if (link.wire) room = std::min(room, kMaxIncomingBytes - link.wire->incomingBytes());
    ssize_t n;
    do {
        n = ::read(link.fd, buffer, room);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        // Each request keeps the steady-clock time its bytes were read (on
        // a paced line: taken in).
        const int64_t now = steadyNowNs();
        link.lastInputNs = now;
        if (link.wire) {
            link.wire->arrive(buffer, static_cast<size_t>(n), now);
            takeInFromWire(link, now);
        } else {
            receiveFromHost(link, buffer, static_cast<size_t>(n), now);
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // What the host sent before it went still reaches the base.
    if (link.wire && link.wire->incomingBytes() > 0) {
        link.inputEnded = true;
        return;
    }
    endOfInput(link);
}

void SimServer::hostClosedItsSide(Link& link) {
    // It sends nothing more and is taken to read nothing more: what it sent
    // is carried out without waiting for anything, and read to its end.
    log(util::LOG_INFO, link.session->name() + ": connection closed by the host; handling what it sent");
    link.hostGone = true;
    link.session->release();
    link.output.clear();
    if (link.wire) link.wire->dropOutgoing();
}

void SimServer::endOfInput(Link& link) {
    if (!link.serial) {
        if (!link.hostGone) log(util::LOG_INFO, link.session->name() + ": connection closed by the host");
        hostLeft(link);
    } else {
        log(util::LOG_WARN, link.session->name() + ": serial line failed, making a new one");
        reopenPty();
    }
}

void SimServer::receiveFromHost(Link& link, const uint8_t* data, size_t size, int64_t now) {
    link.session->take(data, size, now);
}

void SimServer::work(Link& link, int64_t now) {
    link.session->setBytesAwaitingHost(unsentOnLink(link));
    link.session->process(now, kFramesPerTurn);
    dropUnsentIfOverflowed(link);
}

void SimServer::takeInFromWire(Link& link, int64_t now) {
    // A stalled session ignores what it is handed, so the line still drains.
    if (!link.wire || link.fd < 0) return;
    const std::vector<uint8_t> bytes = link.wire->takeIn(now);
    if (!bytes.empty()) receiveFromHost(link, bytes.data(), bytes.size(), now);
}

void SimServer::flushLink(Link& link, int64_t now) {
    if (link.wire) {
        for (const std::vector<uint8_t>& answer : link.session->takeDueAnswers(now)) link.wire->send(answer, now);
        link.wire->release(now, link.output);
    } else {
        std::vector<uint8_t> due = link.session->takeDue(now);
        link.output.insert(link.output.end(), due.begin(), due.end());
    }
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
            hostLeft(link);
        } else {
            log(util::LOG_WARN, link.session->name() + ": serial line failed, making a new one");
            reopenPty();
        }
        return;
    }
    link.output.erase(link.output.begin(), link.output.begin() + static_cast<std::ptrdiff_t>(written));
    if (link.session->closeWanted() && link.output.empty() && (!link.wire || link.wire->outgoingBytes() == 0)) {
        if (!link.serial) {
            log(util::LOG_INFO, link.session->name() + ": connection closed by the base");
            closeTcp(link);
        } else if (link.hangUpAtNs < 0) {
            link.hangUpAtNs = now + kSerialHangUpGraceNs;
        } else if (now >= link.hangUpAtNs) {
            reopenPty();
        }
    }
}

void SimServer::dropUnsentIfOverflowed(Link& link) {
    // The session counted what waits here in what it dropped.
    const size_t dropped = link.session->takeDroppedBytes();
    if (dropped == 0) return;
    link.output.clear();
    if (link.wire) link.wire->dropOutgoing();
    if (!warnings_.admit("host is not reading", steadyNowNs())) return;
    log(util::LOG_WARN, link.session->name() + ": host is not reading, " + std::to_string(dropped) +
                            " unsent bytes dropped");
}

void SimServer::hostLeft(Link& link) {
    link.session->carryOutHeld(steadyNowNs());
    closeTcp(link);
}

void SimServer::closeTcp(Link& link) {
    if (link.fd < 0) return;
    ::close(link.fd);
    link.fd = -1;
    link.hostGone = false;
    link.output.clear();
    link.wire.reset();
    link.inputEnded = false;
    link.session.reset();
    device_.hostGone();
}

void SimServer::reopenPty() {
    std::string old = pty_.path();
    serial_.fd = -1;
    serial_.hangUpAtNs = -1;
    serial_.output.clear();
    serial_.wire.reset();
    serial_.inputEnded = false;
    serial_.session.reset();
    pty_.close();
    device_.hostGone();
    std::string why;
    if (!pty_.open(ptyLink_, why)) {
        log(util::LOG_ERROR, "serial line " + old + " closed; cannot make a new one: " + why);
        return;
    }
    serial_.fd = pty_.masterFd();
    serial_.session = makeSession("serial " + pty_.path(), true);
    attachWire(serial_);
    log(util::LOG_INFO, "serial line " + old + " closed; now serving " + pty_.path() +
                            (ptyLink_.empty() ? "" : " (link " + ptyLink_ + ")"));
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
