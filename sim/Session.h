#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/BaseDevice.h"
#include "sim/FaultPlan.h"
#include "sim/FrameCodec.h"
#include "sim/Replay.h"
#include "sim/SimLog.h"
#include "sim/WarningLimiter.h"

namespace zorn {
namespace orbitane {
namespace sim {

// One host talking to the base over one link (a TCP connection, or the
// serial line of the pseudo-terminal). Decodes the host's frames, runs the
// control-bus requests on the device with the scenario's faults, and queues
// the answer frames with the time they are due.
class Session {
public:
    struct Options {
        // A serial line has no connection boundaries: the start of a new
        // console run (its synchronisation message after earlier requests)
        // begins a new session, and a frame left half-way for longer than
        // `partialFrameTimeoutNs` is dropped.
        bool serialLine = false;
        int64_t partialFrameTimeoutNs = 500000000;
        // Most answer bytes the host may leave unread, those queued here
        // and those waiting on the link together (0: no limit). An answer
        // that would go past it drops everything unsent, itself included,
        // so that a host that sends but never reads cannot make the
        // simulator grow by more than one answer over the limit.
        size_t maxUnsentBytes = 0;
        // Keeps warnings about what the host sends to a few a second (not
        // owned; null: every one is logged).
        WarningLimiter* warnings = nullptr;
        // Answers every request with what a capture recorded for it instead
        // of running it (not owned; null: the device answers). The
        // scenario's faults do not apply then: the capture has its own.
        std::shared_ptr<const ReplayScript> replay;
        // Logs a timing line per request: its code, frame size, when its
        // last byte arrived (steady clock, ns) and the answer bytes queued.
        bool requestTimes = false;
    };

    Session(BaseDevice& device, const std::string& name, const Options& options, const LogSink& log);

    // Bytes from the host, received at nowNs.
    void receive(const uint8_t* data, size_t size, int64_t nowNs);

    // Answer bytes already handed out but not yet read by the host; they
    // count against maxUnsentBytes. Set before each receive().
    void setBytesAwaitingHost(size_t bytes) { awaitingHost_ = bytes; }
    // Bytes dropped for the unsent limit since the last call (those that
    // were awaiting the host included, which the link must now discard).
    size_t takeDroppedBytes();

    // Answer bytes whose time has come, in order.
    std::vector<uint8_t> takeDue(int64_t nowNs);
    // The same, one entry per answer (with the noise sent before it).
    std::vector<std::vector<uint8_t>> takeDueAnswers(int64_t nowNs);
    // Time of the next queued answer, or -1 when nothing is queued.
    int64_t nextDueNs() const;
    // True when the link must be closed once the bytes taken so far are
    // written (the scenario's close-after count was reached and every
    // answer before it has been handed out).
    bool closeWanted() const { return closeScheduled_ && queue_.empty(); }

    // When the partial-frame timer of a serial line expires; -1 when idle.
    int64_t partialFrameDeadlineNs() const;
    // Drops a frame left half-way past its timeout.
    void checkPartialFrame(int64_t nowNs);

    // True once a stall fault struck: the link must no longer be read (the
    // host's writes then block once the buffers between them fill), but
    // stays open. Bytes handed to receive() after that are ignored.
    bool stalled() const { return stalled_; }

    const std::string& name() const { return name_; }
    int requestsHandled() const { return handled_; }

private:
    struct Pending {
        int64_t dueNs;
        std::vector<uint8_t> bytes;
    };

    void onFrame(const Frame& frame, int64_t nowNs);
    void onRequest(const Frame& frame, int64_t nowNs);
    void handleRequest(const Frame& frame, int64_t nowNs);
    // Queues what the capture recorded after the next request of this code.
    void answerFromCapture(int code, const std::string& what, int64_t nowNs);
    void restart(int64_t nowNs);
    void log(int level, const std::string& line) const;
    void warn(const std::string& kind, int64_t nowNs, const std::string& line);

    BaseDevice& device_;
    std::string name_;
    Options options_;
    LogSink log_;
    FrameCodec codec_;
    FaultPlan plan_;
    ReplayCursor replay_;
    std::deque<Pending> queue_;
    size_t queuedBytes_ = 0;
    size_t awaitingHost_ = 0;
    size_t droppedBytes_ = 0;
    int64_t lastDueNs_ = 0;
    int64_t lastByteNs_ = 0;
    int handled_ = 0;
    uint32_t floods_ = 0;
    bool closeScheduled_ = false;
    bool stalled_ = false;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
