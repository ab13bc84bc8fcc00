#pragma once

#include <cstddef>
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
//
// Like the base's micro-controller, it handles one request at a time, in
// order: decoded frames wait until the ones before them are done, and a
// delayed answer keeps the base busy, so every later request is carried
// out, and answered, only once that answer has gone out.
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
        // Decoded requests wait, not carried out, while the answers the host
        // has not read yet (queued here and waiting on the link) reach this
        // many bytes (0: never), so that a host that sends but does not read
        // is held back by its link (see wantsInput) rather than making the
        // simulator work for answers nobody takes.
        size_t holdAboveUnsentBytes = 0;
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

    // Bytes from the host, received at nowNs: decoded, and every frame
    // completed by them kept in order for process().
    void take(const uint8_t* data, size_t size, int64_t nowNs);
    // Handles at most `maxFrames` of the frames taken in, oldest first, as
    // far as the base is free to at nowNs (not busy with a delayed answer,
    // not held back by unread answers); returns how many it handled.
    size_t process(int64_t nowNs, size_t maxFrames = SIZE_MAX);
    // take() and process() in one: bytes handed to a base with nothing else
    // to do.
    void receive(const uint8_t* data, size_t size, int64_t nowNs);
    // True while nothing taken in waits: the link may be read again. A link
    // not read holds the host back once the buffers between them fill.
    bool wantsInput() const { return held_.empty() && !stalled_; }
    // When process() can handle the next waiting frame: 0 for now, -1 when
    // nothing waits or only the host reading its answers (`bytesAwaitingHost`
    // of them wait on the link) frees the base.
    int64_t nextWorkNs(size_t bytesAwaitingHost) const;
    // The host will read no more: from now on nothing holds the frames
    // taken in back (neither a delayed answer nor unread ones), and every
    // answer is dropped. What it sent is still carried out, so that a stop
    // sent just before it left stops the wheels.
    void release();
    // The host is gone for good: release(), and every frame taken in is
    // handled now.
    void carryOutHeld(int64_t nowNs);

    // Answer bytes already handed out but not yet read by the host; they
    // count against maxUnsentBytes and holdAboveUnsentBytes. Set before
    // each process().
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
    // Replaying: the requests of this host the capture did not hold.
    int requestsOffCapture() const { return offCapture_; }

private:
    struct Pending {
        int64_t dueNs;
        std::vector<uint8_t> bytes;
    };

    // A decoded frame waiting for the base, with the time its last byte came.
    struct Held {
        Frame frame;
        int64_t atNs;
    };

    bool heldBackByUnsent(size_t bytesAwaitingHost) const;
    // Frames are handled at nowNs; a request is recorded as received at atNs.
    void onFrame(const Frame& frame, int64_t atNs, int64_t nowNs);
    void onRequest(const Frame& frame, int64_t atNs, int64_t nowNs);
    void handleRequest(const Frame& frame, int64_t atNs, int64_t nowNs);
    // Queues what the capture recorded after the request's match (see
    // ReplayCursor); a request the capture does not hold is answered "not
    // supported" and counted.
    void answerFromCapture(int code, const std::vector<uint8_t>& args, const std::string& what, int64_t nowNs);
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
    std::deque<Held> held_;
    std::deque<Pending> queue_;
    // Until when a delayed answer keeps the base busy (-1: free).
    int64_t busyUntilNs_ = -1;
    size_t queuedBytes_ = 0;
    size_t awaitingHost_ = 0;
    size_t droppedBytes_ = 0;
    int64_t lastDueNs_ = 0;
    int64_t lastByteNs_ = 0;
    int handled_ = 0;
    int offCapture_ = 0;
    uint32_t floods_ = 0;
    bool closeScheduled_ = false;
    bool stalled_ = false;
    bool released_ = false;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
