#pragma once

// The request/answer exchange with the base, on the caller's thread.
//
// Answers carry no request number; the base answers in order. Which answer
// belongs to which request is therefore decided by a discipline on the wire
// and by the order of arrival, never by a timer that guesses:
//
// - Truth. A request's answer is the next answer to arrive after the
//   request was written, unless an earlier request still owes one. A
//   request that ends without its answer (a time-out, a cut) leaves it owed
//   until LAPSE after it was written; an answer that arrives meanwhile is
//   taken for the oldest owed request and dropped. Bytes that arrived before
//   a request was written are never its answer.
// - One request on the wire. While an answer is owed, nothing but a stop is
//   written until that answer has come (and been dropped) or has lapsed: so
//   one lost answer costs its own request and the settle, never the ones
//   after it. The one exception: a request whose answer has a known size
//   that no owed answer has may be written at once, and an answer of that
//   size whose owed predecessor cannot have it is its own (the predecessor's
//   answer was lost).
// - Corruption. A frame that fails its checksum where an answer is awaited
//   is that answer: the request fails as corrupted, and nothing is owed.
// - Stop. A stop is written at once, always (it does not wait for owed
//   answers). What arrived before it was written is read and sorted first.
//   It is confirmed only by an answer that cannot be an earlier request's:
//   an answer owed to a reading or a moving request never confirms it, and
//   neither does its size. An answer owed to an earlier stop does, since
//   nothing that moves is written while a stop's answer is owed.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "net/CancelToken.h"
#include "net/Clock.h"
#include "net/Failure.h"
#include "net/Framer.h"
#include "net/LinkObserver.h"
#include "net/RequestKind.h"
#include "net/arch/Transport.h"

namespace zorn {
namespace net {

// An answer as the link hands it over; the payload stays valid until the
// next request on the same link.
struct AnswerView {
    uint8_t cmd = 0;
    const uint8_t* payload = nullptr;
    size_t size = 0;
    Duration roundTrip{0};
};

struct LinkStats {
    uint64_t bytesIn = 0;       // every byte read
    uint64_t goodFrames = 0;    // frames whose checksum matched (answers or not)
    uint64_t requests = 0;      // written
    uint64_t answers = 0;       // taken as their request's answer
    uint64_t timeouts = 0;      // requests that ended without an answer in time
    uint64_t lateAnswers = 0;   // dropped as owed to a request that had ended
    uint64_t unasked = 0;       // dropped: nothing awaited or owed them
    uint64_t lostAnswers = 0;   // owed answers that never came (lapsed, or ruled out by size)
    uint64_t corrupted = 0;     // frames the checksum rejected
    uint64_t messages = 0;      // frames that were not answers
    uint64_t skippedBytes = 0;  // bytes outside any frame
    uint64_t abandonedStarts = 0;  // frame starts given up when the line fell quiet
    uint64_t lineErrors = 0;    // reads a line error spoiled
    Duration latestLate{0};     // how long after its request the latest late answer came
    Duration longestLate{0};    // ... and the longest
};

class Link : private FramerSink {
public:
    // An owed answer is forgiven this long after its request's own time-out,
    // and never earlier than LAPSE after the request was written.
    static constexpr std::chrono::seconds SETTLE{2};
    static constexpr std::chrono::seconds LAPSE{3};
    // Pauses after the first and the second synchronisation frame.
    static constexpr std::chrono::milliseconds SYNC_PAUSE_FIRST{200};
    static constexpr std::chrono::milliseconds SYNC_PAUSE_SECOND{500};

    // The transport must outlive the link.
    explicit Link(Transport& transport, Clock& clock = steadyClock());
    ~Link() override;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Writes one request (command byte and payload) and waits for its
    // answer under the rules above. Failures: Interrupted (a stop was
    // requested: nothing but a stop is written; or the wait was cut),
    // LinkClosed/LinkFailed (the medium went away: this request and every
    // later one fail at once), NotWritten, Timeout, Corrupted, Refused and
    // NotSupported (the base's error answer).
    Outcome<AnswerView> transact(uint8_t cmd, const uint8_t* payload, size_t size, const RequestKind& kind);
    // Sends the synchronisation frame twice, with the pauses between.
    void sync();
    // The pauses after the first and the second synchronisation frame (a
    // base on a simulator needs none; tests shorten them).
    void setSyncPauses(Duration first, Duration second) {
        syncPauses_[0] = first;
        syncPauses_[1] = second;
    }

    // True when a request of this kind would first wait for owed answers.
    bool wouldWait(const RequestKind& kind) const;
    bool broken() const { return broken_.load(); }
    // The failure every request gets once broken() (LinkClosed or LinkFailed).
    Failure brokenFailure() const;

    CancelToken& cancelToken() { return token_; }
    // Set before the first request; null: nobody watches.
    void setObserver(LinkObserver* observer) { observer_ = observer; }
    LinkStats stats() const;
    Clock& clock() const { return clock_; }
    // Tests: runs inside transact() right before it looks at the stop
    // request for the last time and writes, to land a signal in that window.
    void setBeforeWriteHook(std::function<void()> hook) { beforeWrite_ = std::move(hook); }
    Transport& transport() const { return transport_; }

private:
    struct Pending {
        uint64_t id = 0;
        uint8_t cmd = 0, code = 0;
        AnswerShape shape;
        Motion motion = Motion::None;
        TimePoint sentAt{};
        TimePoint lapseAt{};
        uint64_t afterRead = 0;  // reads made before it was written
        bool owed = false;       // ended without its answer
    };
    enum class Wait { Done, Cut, Broken };
    // Which wake-ups end a wait: a stop request (every request but a stop),
    // a cut of the stop's wait (a stop), or none (what a stop must do
    // before it is written, and the synchronisation).
    enum class Cuts { OnStopRequest, OnStopWaitCut, Never };
    static Cuts cutsFor(Motion motion) { return motion == Motion::Stops ? Cuts::OnStopWaitCut : Cuts::OnStopRequest; }

    void onFramerEvent(const FramerEvent& event) override;
    // Sorts a whole frame (good or rejected) by the answer rule.
    void attribute(const FramerEvent& event);
    void resolveCurrent(const FramerEvent& event, const Pending& request, Fate fate);
    void notify(const FramerEvent& event, Fate fate, const Pending* request);
    // Reads once, waiting until `until`, and frames what came (or gives up
    // an unfinished frame whose time is up). Cut when a wake-up applies.
    Wait readOnce(TimePoint until, Cuts cuts);
    // Reads what already waits, without waiting.
    Wait look(Cuts cuts);
    // Writes every byte before `deadline`; a wake-up that does not apply
    // lets it go on.
    Io writeFully(const uint8_t* bytes, size_t size, TimePoint deadline, Cuts cuts);
    // Before a request is written: reads what arrived, and (not for a stop)
    // waits until no owed answer stands in its way.
    Outcome<void> prepareWrite(const RequestKind& kind);
    bool blockedByOwed(const RequestKind& kind) const;
    void forgetLapsed(TimePoint now);
    bool cutApplies(Cuts cuts) const;
    Failure markBroken(const Io& io);
    bool currentIsStop() const;
    bool onlyStopsFrom(std::deque<Pending>::const_iterator it) const;
    std::deque<Pending>::iterator currentEntry();

    Transport& transport_;
    Clock& clock_;
    CancelToken token_;
    Framer framer_;
    LinkObserver* observer_ = nullptr;
    std::function<void()> beforeWrite_;
    Duration syncPauses_[2] = {SYNC_PAUSE_FIRST, SYNC_PAUSE_SECOND};
    mutable std::mutex mutex_;  // one request at a time; guards what follows

    std::deque<Pending> pending_;  // written and not answered: owed ones, then the current one
    uint64_t nextId_ = 0;
    uint64_t currentId_ = 0;  // 0: none awaited
    uint64_t reads_ = 0;
    size_t lastReadSize_ = 0;
    // The current request's end, when an event settled it.
    bool resolved_ = false;
    Failure resolvedFailure_;
    bool resolvedOk_ = false;
    AnswerView answer_;
    std::vector<uint8_t> answerBytes_;
    std::vector<uint8_t> readBuffer_;

    std::atomic<bool> broken_{false};
    Failure brokenFailure_;
    LinkStats stats_;
};

}  // namespace net
}  // namespace zorn
