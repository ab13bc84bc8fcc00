#pragma once

// What a Base and its motion scopes share: the medium, the link, the
// driver, the base's identity and configuration, and the motion guard of
// the scope that is open. One lock serialises the calls; interrupt() alone
// goes around it, through the link's cancel token.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "config/SystemConfig.h"
#include "drv/MotionGuard.h"
#include "drv/QuindleBaseDrv.h"
#include "lib/Channel.h"
#include "lib/Failures.h"
#include "net/Link.h"
#include "orbitane/Base.h"

namespace orbitane {
namespace detail {

class Session {
public:
    // Opens the channel, synchronises the link and reads the identity;
    // Error saying why not.
    Session(const Endpoint& endpoint, const OpenOptions& options);
    // Over a link opened and synchronised by its owner (the console, which
    // traces and records its medium itself): sends the connect request.
    // `channel` names the link in the identity. The link must outlive the
    // session; closing the session stops a moving scope and leaves the link
    // open. `hooks` name the signal in the motion guard's line.
    Session(zorn::net::Link& link, const Endpoint& endpoint, const std::string& channel,
            const zorn::drv::MotionGuard::Hooks& hooks);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs `body` as one call of the API: one at a time, on an open link;
    // afterwards, an interrupted Base stops its moving scope.
    template <class Body>
    auto call(Body&& body) -> decltype(body()) {
        std::lock_guard<std::mutex> lock(mutex_);
        requireOpen();
        struct After {
            Session& session;
            ~After() { session.afterCall(); }
        } after{*this};
        return body();
    }

    void close() noexcept;
    bool isOpen() const;
    const Endpoint& endpoint() const { return endpoint_; }
    const Identity& identity() const { return identity_; }
    void keepIdentity(const Identity& identity) { identity_ = identity; }

    // Inside call().
    zorn::drv::QuindleBaseDrv& driver() { return *driver_; }
    zorn::net::Link& link() { return *link_; }
    // The configuration, read once per link.
    const nivo::system::config::SystemConfig& systemConfig();
    void keepConfig(const nivo::system::config::SystemConfig& config) { config_ = config; }
    // config() logs the binary configuration as decoded (sensor and
    // bumper, which read it for their labels, never do).
    void showDecodedConfig(bool show) { showDecodedConfig_ = show; }
    bool showsDecodedConfig() const { return showDecodedConfig_; }

    // The motion scopes, inside call(). A new scope; Error (usage) while
    // one is open.
    uint64_t openScope();
    // Error (usage) unless `scope` is the open one; arms the guard for a
    // moving request of the way `how`, which must be the scope's.
    void armFor(uint64_t scope, zorn::drv::MotionGuard::Stop how);
    // Arms the guard without a moving request: the base may be moving.
    void assumeMoving(uint64_t scope, zorn::drv::MotionGuard::Stop how);
    // Sends the scope's stop (when it moved) and ends it; the outcome.
    StopOutcome endScope(uint64_t scope);
    bool scopeEnded(uint64_t scope) const;
    std::optional<StopOutcome> scopeOutcome(uint64_t scope) const;
    std::optional<StopOutcome> lastStop() const;

    // endScope() from a destructor: takes the lock, never throws.
    void leaveScope(uint64_t scope) noexcept;

    // The time limit of the calls' requests (setAnswerTimeout()).
    zorn::net::Duration answerTimeout() const { return zorn::net::Duration(answerTimeoutNs_.load()); }
    void setAnswerTimeout(zorn::net::Duration limit);
    bool wouldWait(const zorn::net::RequestKind& kind) const;
    bool linkLost() const;
    // After a motion request of `scope` the base answered: whether it was
    // a stop request (an answered stop leaves the base at rest).
    void noteAnswered(uint64_t scope, bool stop);
    bool atRest(uint64_t scope) const;
    // Ends `scope` at rest without a request when the base answered its
    // last stop request; otherwise endScope().
    StopOutcome finishScope(uint64_t scope);

    zorn::net::LinkStats linkStats() const;
    void interrupt() noexcept;
    void resetInterrupt() noexcept;
    bool interrupted() const noexcept;

private:
    // The connect request, whose answer is the identity; Error when none.
    void connect();
    void requireOpen() const;
    void afterCall() noexcept;
    // The open scope's stop, under the lock; `leftEarly` when the program
    // left the scope without stopping it (its line is then a warning).
    void stopScope(bool leftEarly = false) noexcept;

    Endpoint endpoint_;
    mutable std::mutex mutex_;
    std::unique_ptr<Channel> channel_;
    std::unique_ptr<zorn::net::Link> ownedLink_;
    zorn::net::Link* link_ = nullptr;  // the owned link, or the one lent
    zorn::drv::MotionGuard::Hooks hooks_;
    std::unique_ptr<zorn::drv::QuindleBaseDrv> driver_;
    // The link's token while the link lives: what interrupt() sets.
    std::atomic<zorn::net::CancelToken*> token_{nullptr};
    Identity identity_;
    std::optional<nivo::system::config::SystemConfig> config_;
    bool showDecodedConfig_ = false;

    // The open scope (0: none) and its guard, made at its first moving
    // request, the way it drives.
    uint64_t scope_ = 0;
    uint64_t lastScope_ = 0;
    std::optional<zorn::drv::MotionGuard> guard_;
    std::optional<zorn::drv::MotionGuard::Stop> how_;
    bool atRest_ = false;  // the open scope's last request was an answered stop
    std::atomic<int64_t> answerTimeoutNs_{std::chrono::nanoseconds(zorn::net::REQUEST_TIMEOUT).count()};
    // The last scope that ended, and its stop.
    uint64_t endedScope_ = 0;
    std::optional<StopOutcome> lastStop_;
};

}  // namespace detail
}  // namespace orbitane
