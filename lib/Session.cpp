#include "lib/Session.h"

#include "lib/Readings.h"
#include "lib/SystemConfigFetch.h"

namespace orbitane {
namespace detail {

using zorn::drv::MotionGuard;

namespace {

StopOutcome outcomeOf(const zorn::drv::StopOutcome& stop) {
    StopOutcome out;
    out.sent = stop.sent;
    out.confirmed = stop.confirmed;
    out.attempts = stop.attempts;
    out.result = stop.result();
    if (stop.sent && !stop.confirmed) {
        out.kind = zorn::net::kindOf(stop.failure.cause);
        out.cause = zorn::net::causeWordOf(stop.failure.cause);
        out.written = stop.failure.written;
        if (stop.failure.baseCode != zorn::net::NO_BASE_CODE) out.base_error = stop.failure.baseCode;
    }
    return out;
}

// The longest synchronisation pause taken: a pause is for the base to drop
// a half-received frame, not a way to wait.
constexpr std::chrono::seconds MAX_SYNC_PAUSE{10};

void checkPause(std::chrono::milliseconds pause) {
    if (pause.count() < 0 || pause > MAX_SYNC_PAUSE) {
        throw usageError("a synchronisation pause of " + std::to_string(pause.count()) +
                         " ms: it is from 0 to 10000 ms");
    }
}

}  // namespace

Session::Session(const Endpoint& endpoint, const OpenOptions& options) : endpoint_(endpoint) {
    checkPause(options.syncPauseFirst);
    checkPause(options.syncPauseSecond);
    channel_ = std::make_unique<Channel>(endpoint_);
    ownedLink_ = std::make_unique<zorn::net::Link>(channel_->transport());
    link_ = ownedLink_.get();
    link_->setSyncPauses(options.syncPauseFirst, options.syncPauseSecond);
    token_.store(&link_->cancelToken());
    link_->sync();
    connect();
}

void Session::connect() {
    driver_ = std::make_unique<zorn::drv::QuindleBaseDrv>(*link_);
    const auto connected = driver_->connect();
    if (!connected) {
        const zorn::net::Failure& failure = connected.failure();
        close();
        const Error request = errorOf(failure, "connect");
        if (failure.cause == zorn::net::Cause::Interrupted) throw request;
        // A connection that never came: its kind, with the connect request's cause.
        throw Error(kind::CONNECT_FAILED, result::NO_CONNECTION,
                    "failed to communicate with device at " + endpoint_.describe() + ": " +
                        zorn::net::describeFailure(failure),
                    request.baseError(), *request.request());
    }
    identity_ = identityOf(*connected, endpoint_.describe());
}

Session::Session(zorn::net::Link& link, const Endpoint& endpoint, const std::string& channel,
                 const MotionGuard::Hooks& hooks)
    : endpoint_(endpoint), link_(&link), hooks_(hooks) {
    token_.store(&link_->cancelToken());
    connect();
    identity_.channel = channel;
}

Session::~Session() { close(); }

void Session::close() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!link_) return;
    // The base is stopped before the link goes.
    stopScope(true);
    scope_ = 0;
    token_.store(nullptr);
    guard_.reset();
    driver_.reset();
    link_ = nullptr;
    ownedLink_.reset();
    channel_.reset();
}

bool Session::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_ != nullptr;
}

void Session::requireOpen() const {
    if (!link_) throw usageError("the link to the base at " + endpoint_.describe() + " was closed");
}

void Session::afterCall() noexcept {
    zorn::net::CancelToken* token = token_.load();
    if (token != nullptr && token->stopRequested()) stopScope();
}

const nivo::system::config::SystemConfig& Session::systemConfig() {
    if (!config_) config_ = fetchSystemConfig(*driver_).config;
    return *config_;
}

uint64_t Session::openScope() {
    if (scope_ != 0) throw usageError("a motion scope is already open on this base: end it first");
    scope_ = ++lastScope_;
    guard_.reset();
    how_.reset();
    return scope_;
}

void Session::armFor(uint64_t scope, MotionGuard::Stop how) {
    assumeMoving(scope, how);
}

void Session::assumeMoving(uint64_t scope, MotionGuard::Stop how) {
    if (scope != scope_ || scope == 0) {
        throw usageError(scope == endedScope_ ? "this motion scope has ended: its stop was sent"
                                              : "this motion scope has ended");
    }
    if (how_ && *how_ != how) {
        throw usageError(*how_ == MotionGuard::Stop::Wheels
                             ? "this motion scope drives wheel speeds: a velocity needs a scope of its own"
                             : "this motion scope drives a velocity: wheel speeds need a scope of its own");
    }
    if (!guard_) {
        guard_.emplace(*driver_, how, hooks_);
        how_ = how;
    }
    guard_->arm();
    atRest_ = false;
}

void Session::noteAnswered(uint64_t scope, bool stop) {
    if (scope == scope_ && scope != 0) atRest_ = stop;
}

bool Session::atRest(uint64_t scope) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scope == scope_ && scope != 0 && atRest_;
}

StopOutcome Session::finishScope(uint64_t scope) {
    if (scope != scope_ || scope == 0 || !atRest_ || !guard_) return endScope(scope);
    guard_->disarm();
    StopOutcome rest;
    rest.sent = true;
    rest.confirmed = true;
    rest.attempts = 1;
    lastStop_ = rest;
    endedScope_ = scope_;
    scope_ = 0;
    return rest;
}

void Session::setAnswerTimeout(zorn::net::Duration limit) {
    if (limit.count() == 0) limit = zorn::net::REQUEST_TIMEOUT;
    if (limit < std::chrono::milliseconds(1) || limit > zorn::net::REQUEST_TIMEOUT) {
        throw usageError("an answer time-out of " + std::to_string(limit.count()) +
                         " ns: it is from 1 ms to 1000 ms, or 0 for 1000 ms");
    }
    answerTimeoutNs_.store(std::chrono::nanoseconds(limit).count());
}

bool Session::wouldWait(const zorn::net::RequestKind& kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_ == nullptr || link_->wouldWait(kind);
}

bool Session::linkLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_ == nullptr || link_->broken();
}

void Session::stopScope(bool leftEarly) noexcept {
    if (scope_ == 0 || !guard_ || !guard_->armed()) return;
    try {
        lastStop_ = outcomeOf(leftEarly ? guard_->stopLeftEarly() : guard_->stop());
        endedScope_ = scope_;
        scope_ = 0;
    } catch (...) {
        // The guard reports its stop by value and log line; nothing of it
        // throws short of memory running out.
    }
}

StopOutcome Session::endScope(uint64_t scope) {
    if (scope != scope_ || scope == 0) {
        if (scope == endedScope_ && lastStop_) return *lastStop_;
        return StopOutcome();
    }
    if (guard_ && guard_->armed()) {
        stopScope();
    } else {
        // Nothing moving was sent: nothing to stop.
        lastStop_ = guard_ && guard_->stopped() ? outcomeOf(guard_->outcome()) : StopOutcome();
        endedScope_ = scope_;
        scope_ = 0;
    }
    return lastStop_ ? *lastStop_ : StopOutcome();
}

void Session::leaveScope(uint64_t scope) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scope != scope_ || scope == 0) return;
    if (guard_ && guard_->armed()) {
        stopScope(true);
        return;
    }
    try {
        endScope(scope);
    } catch (...) {
    }
}

bool Session::scopeEnded(uint64_t scope) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scope != scope_;
}

std::optional<StopOutcome> Session::scopeOutcome(uint64_t scope) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scope == endedScope_) return lastStop_;
    return std::nullopt;
}

std::optional<StopOutcome> Session::lastStop() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastStop_;
}

zorn::net::LinkStats Session::linkStats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_ ? link_->stats() : zorn::net::LinkStats();
}

void Session::interrupt() noexcept {
    zorn::net::CancelToken* token = token_.load();
    if (token == nullptr) return;
    if (!token->stopRequested()) {
        token->requestStop();
    } else if (token->stopWritten()) {
        token->cutStopWait();
    }
}

void Session::resetInterrupt() noexcept {
    zorn::net::CancelToken* token = token_.load();
    if (token != nullptr) token->clear();
}

bool Session::interrupted() const noexcept {
    zorn::net::CancelToken* token = token_.load();
    return token != nullptr && token->stopRequested();
}

}  // namespace detail
}  // namespace orbitane
