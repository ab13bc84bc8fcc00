#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/BaseDevice.h"
#include "sim/LoopbackListener.h"
#include "sim/PtyPort.h"
#include "sim/Replay.h"
#include "sim/Scenario.h"
#include "sim/Session.h"
#include "sim/SimClock.h"
#include "sim/SimLog.h"
#include "sim/WireLine.h"

namespace zorn {
namespace orbitane {
namespace sim {

// The simulated base on its links: a loopback TCP port that serves several
// connections at once (each console run is one connection; all of them
// talk to the one simulated robot, each with its own framing state and
// fault counts) and/or a pseudo-terminal standing in for the serial port.
// One thread runs every link with poll(), in turns: each turn reads at most
// one chunk from each link and handles a bounded share of its requests, so
// that no host holds up the others, and stop() (or destruction) ends it
// promptly.
//
//     SimServer sim(scenario);
//     sim.startTcp("127.0.0.1", 0);   // port 0: any free port
//     ... run the console against 127.0.0.1:sim.port() ...
//     sim.device().motorCommands();   // what the base was told
class SimServer {
public:
    explicit SimServer(const Scenario& scenario = defaultScenario(),
                       std::shared_ptr<const SimClock> clock = std::make_shared<SteadyClock>());
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Lines describing what the base receives and does; none by default.
    void setLogSink(const LogSink& sink);

    // Starts serving TCP on a loopback address; false with `error` set when
    // the address is not loopback or cannot be bound.
    bool startTcp(const std::string& host, uint16_t port, std::string* error = nullptr);
    // Creates the pseudo-terminal (and the link when given); false with
    // `error` set on failure.
    bool startPty(const std::string& link = "", std::string* error = nullptr);
    void stop();

    uint16_t port() const;
    std::string host() const;
    // Current slave device of the pseudo-terminal (it changes when the
    // scenario closes the line and a new one is made), empty without one.
    std::string ptyPath() const;

    BaseDevice& device() { return device_; }

    // TCP connections served at once; one more is closed as soon as it is
    // accepted, with a log line, so that its host fails fast. At least 1.
    static constexpr int kDefaultMaxClients = 4;
    void setMaxClients(int clients);
    // Logs the robot's state (wheels, odometers, pose, readings) every
    // `intervalNs`; 0 turns it off.
    void setStateInterval(int64_t intervalNs);

    // The line every link made from now on runs over: its speed, an
    // adapter's latency and bit errors (see WireSettings). Perfect by
    // default.
    void setWire(const WireSettings& settings);
    // Every link made from now on answers from this capture instead of the
    // device (see Session::Options::replay); null: the device answers.
    void setReplay(std::shared_ptr<const ReplayScript> script);
    // Closes a TCP connection on which the host sent nothing for
    // `timeoutNs`, with a log line, so that a forgotten client does not hold
    // its slot for ever; 0 (the default) never does.
    void setIdleTimeout(int64_t timeoutNs);
    // Every link made from now on logs a timing line per request (see
    // Session::Options::requestTimes).
    void setRequestTimes(bool on);
    // Bits and frames the line damaged so far.
    WireCounts wireCounts() const;

    // TCP connections accepted so far (not counting refused ones), refused
    // for being one too many, and open now.
    int connectionsAccepted() const;
    int connectionsRefused() const;
    int connectionsOpen() const;
    bool connectionOpen() const { return connectionsOpen() > 0; }

    // Waits until `condition` holds, re-checking whenever the base handled
    // something; false when `limit` passed first.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);

private:
    struct Link {
        int fd = -1;
        bool serial = false;
        std::unique_ptr<Session> session;
        std::vector<uint8_t> output;
        // Serial line only: when the base hangs up after its last answer.
        // Closing a pseudo-terminal master discards what the host has not
        // read yet, so the hang-up waits a moment after the last write.
        int64_t hangUpAtNs = -1;
        // The line between base and host when it is not perfect; bytes read
        // from the host wait in it until the base has taken them in.
        std::unique_ptr<WireLine> wire;
        // The host's end closed or failed while read bytes still waited in
        // the line; the link ends once they are taken in.
        bool inputEnded = false;
        // TCP only: when the host last sent anything (or connected).
        int64_t lastInputNs = 0;
        // TCP only: the host closed its side while the base still had its
        // frames to handle; they are handled, their answers dropped, and
        // the rest of what it sent read up to the end.
        bool hostGone = false;
    };

    void ensureRunning();
    void wake();
    void loop();
    // Nanoseconds until the next timed event, -1 when none is due.
    int64_t pollTimeoutNs(int64_t now) const;
    void closeIdleClients(int64_t now);
    void acceptPending();
    // After accept() failed with `error`: turns the waiting connection away
    // when it failed for want of a file descriptor, or rests the listening
    // socket for a while when the connection can be neither taken nor
    // turned away; either way with a warning. True when accepting may go on.
    bool acceptFailed(int error);
    // Answer bytes handed to the link that the host has not taken yet.
    static size_t unsentOnLink(const Link& link);
    // Whether the link is read this turn: its frames are all handled and
    // its paced line has room.
    static bool mayRead(const Link& link);
    // Reads what the host sent, or handles what woke a link that is not
    // being read (`revents` of its poll).
    void readLink(Link& link, short revents);
    // The link's share of the turn: its waiting frames handled, as many as
    // one turn allows.
    void work(Link& link, int64_t now);
    void flushLink(Link& link, int64_t now);
    std::unique_ptr<Session> makeSession(const std::string& name, bool serial);
    void attachWire(Link& link);
    void receiveFromHost(Link& link, const uint8_t* data, size_t size, int64_t now);
    void takeInFromWire(Link& link, int64_t now);
    void endOfInput(Link& link);
    void dropUnsentIfOverflowed(Link& link);
    void hostClosedItsSide(Link& link);
    // The host of a TCP link went away: what it sent that was still
    // waiting is carried out, then the link is closed.
    void hostLeft(Link& link);
    void closeTcp(Link& link);
    void logStateWhenDue(int64_t now);
    void reportLeftOutWarnings(int64_t now);
    void reopenPty();
    void notifyChanged();
    void log(int level, const std::string& line) const;

    std::shared_ptr<const SimClock> clock_;
    BaseDevice device_;
    LogSink log_;

    mutable std::mutex mutex_;  // links, listener and pty
    std::mutex replayMutex_;
    std::shared_ptr<const ReplayScript> replay_;
    LoopbackListener listener_;
    PtyPort pty_;
    std::string ptyLink_;
    std::vector<std::unique_ptr<Link>> clients_;
    Link serial_;
    int accepted_ = 0;
    int refused_ = 0;
    int maxClients_ = kDefaultMaxClients;
    // The listening socket is not polled before this time (steady clock).
    int64_t listenerRestsUntilNs_ = 0;
    int64_t stateIntervalNs_ = 0;
    int64_t nextStateNs_ = -1;
    WarningLimiter warnings_;
    WireSettings wireSettings_;
    WireCounts wireCounts_;
    uint64_t linksMade_ = 0;
    int64_t idleTimeoutNs_ = 0;
    bool requestTimes_ = false;

    int wakePipe_[2] = {-1, -1};
    bool stopping_ = false;
    std::thread thread_;

    std::mutex changedMutex_;
    std::condition_variable changed_;
    uint64_t generation_ = 0;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
