#include "net/Link.h"

#include <algorithm>

namespace zorn {
namespace net {

namespace {

constexpr size_t READ_CHUNK = 65536;
// Frames up to this size are built on the stack.
constexpr size_t SMALL_FRAME = 512;

uint16_t littleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

Link::Link(Transport& transport, Clock& clock) : transport_(transport), clock_(clock), readBuffer_(READ_CHUNK) {
    transport_.setWakeFd(token_.wakeFd());
}

Link::~Link() { transport_.setWakeFd(-1); }

Failure Link::brokenFailure() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return brokenFailure_;
}

LinkStats Link::stats() const {
    std::lock_guard<std::mutex> guard(mutex_);
    LinkStats stats = stats_;
    stats.bytesIn = framer_.bytesIn();
    stats.skippedBytes = framer_.skippedBytes();
    stats.abandonedStarts = framer_.abandonedStarts();
    return stats;
}

bool Link::cutApplies(Cuts cuts) const {
    switch (cuts) {
        case Cuts::OnStopRequest: return token_.stopRequested();
        case Cuts::OnStopWaitCut: return token_.stopWaitCut();
        case Cuts::Never: return false;
    }
    return false;
}

Failure Link::markBroken(const Io& io) {
    broken_.store(true);
    brokenFailure_ = Failure::of(io.status == IoStatus::Closed ? Cause::LinkClosed : Cause::LinkFailed);
    brokenFailure_.sysError = io.error;
    pending_.clear();  // nothing will answer any more
    return brokenFailure_;
}

Link::Wait Link::readOnce(TimePoint until, Cuts cuts) {
    lastReadSize_ = 0;
    const Io io = transport_.read(readBuffer_.data(), readBuffer_.size(), until);
    const TimePoint now = clock_.now();
    switch (io.status) {
        case IoStatus::Ok:
            lastReadSize_ = io.count;
            if (observer_ != nullptr) observer_->onRead(readBuffer_.data(), io.count, now);
            framer_.push(readBuffer_.data(), io.count, Arrival{now, ++reads_}, *this);
            return Wait::Done;
        case IoStatus::LineError:
            ++stats_.lineErrors;
            return Wait::Done;
        case IoStatus::TimedOut:
            if (now >= framer_.deadline()) framer_.expire(now, *this);
            return Wait::Done;
        case IoStatus::Woken:
            if (cutApplies(cuts)) return Wait::Cut;
            // Not for this wait (a stop request while the stop itself
            // waits): quiet the descriptor and look at the flags again.
            token_.rearm();
            return cutApplies(cuts) ? Wait::Cut : Wait::Done;
        case IoStatus::Closed:
        case IoStatus::Failed:
            markBroken(io);
            return Wait::Broken;
    }
    return Wait::Done;
}

Link::Wait Link::look(Cuts cuts) {
    for (;;) {
        const Wait w = readOnce(clock_.now(), cuts);
        if (w != Wait::Done || lastReadSize_ < readBuffer_.size()) return w;
    }
}

Io Link::writeFully(const uint8_t* bytes, size_t size, TimePoint deadline, Cuts cuts) {
    Io total;
    for (;;) {
        const Io io = transport_.write(bytes + total.count, size - total.count, deadline);
        total.count += io.count;
        total.status = io.status;
        total.error = io.error;
        if (io.status != IoStatus::Woken || cutApplies(cuts)) return total;
        token_.rearm();
        if (cutApplies(cuts)) return total;
    }
}

void Link::forgetLapsed(TimePoint now) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->owed && it->lapseAt <= now) {
            ++stats_.lostAnswers;
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

bool Link::blockedByOwed(const RequestKind& kind) const {
    if (pending_.empty() || kind.motion == Motion::Stops) return false;
    if (kind.answer.anySize) return true;
    for (const Pending& owed : pending_) {
        // Told apart only by a known size that differs.
        if (owed.motion == Motion::Stops || owed.shape.anySize || owed.shape.size == kind.answer.size) return true;
    }
    return false;
}

bool Link::wouldWait(const RequestKind& kind) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const TimePoint now = clock_.now();
    if (kind.motion == Motion::Stops) return false;
    for (const Pending& owed : pending_) {
        if (owed.lapseAt <= now) continue;
        if (kind.answer.anySize || owed.motion == Motion::Stops || owed.shape.anySize ||
            owed.shape.size == kind.answer.size) {
            return true;
        }
    }
    return false;
}

Outcome<void> Link::prepareWrite(const RequestKind& kind) {
    const bool stop = kind.motion == Motion::Stops;
    if (!stop && pending_.empty() && !framer_.midFrame()) return {};  // nothing to sort out first
    // What has arrived came before this request: sort it out now, so none
    // of it is taken for this request's answer. A stop is never held back.
    if (look(stop ? Cuts::Never : Cuts::OnStopRequest) == Wait::Broken) return brokenFailure_;
    forgetLapsed(clock_.now());
    if (stop) return {};
    while (blockedByOwed(kind)) {
        TimePoint until = framer_.deadline();
        for (const Pending& owed : pending_) until = std::min(until, owed.lapseAt);
        const Wait w = readOnce(until, Cuts::OnStopRequest);
        if (w == Wait::Cut) return Failure::of(Cause::Interrupted);
        if (w == Wait::Broken) return brokenFailure_;
        forgetLapsed(clock_.now());
    }
    return {};
}

std::deque<Link::Pending>::iterator Link::currentEntry() {
    return std::find_if(pending_.begin(), pending_.end(), [this](const Pending& p) { return p.id == currentId_; });
}

bool Link::currentIsStop() const {
    for (const Pending& p : pending_) {
        if (p.id == currentId_) return p.motion == Motion::Stops;
    }
    return false;
}

bool Link::onlyStopsFrom(std::deque<Pending>::const_iterator it) const {
    for (; it != pending_.end(); ++it) {
        if (it->motion != Motion::Stops) return false;
    }
    return true;
}

void Link::notify(const FramerEvent& event, Fate fate, const Pending* request) {
    if (observer_ == nullptr) return;
    ReceivedFrame received;
    received.event = &event;
    received.fate = fate;
    if (request != nullptr) {
        received.request.known = true;
        received.request.cmd = request->cmd;
        received.request.code = request->code;
        received.request.sentAt = request->sentAt;
    }
    observer_->onReceived(received);
}

void Link::resolveCurrent(const FramerEvent& event, const Pending& request, Fate fate) {
    resolved_ = true;
    resolvedOk_ = false;
    resolvedFailure_ = Failure::of(Cause::Corrupted, true);
    if (event.kind == FramerEvent::Kind::Frame) {
        answerBytes_.assign(event.payload, event.payload + event.payloadSize);
        answer_.cmd = event.cmd;
        answer_.payload = answerBytes_.data();
        answer_.size = answerBytes_.size();
        answer_.roundTrip = event.last.at - request.sentAt;
        if (event.cmd == ANS_OK) {
            resolvedOk_ = true;
        } else {
            const int32_t code = event.payloadSize >= 2 ? littleEndian16(event.payload) : NO_BASE_CODE;
            resolvedFailure_ =
                Failure::of(code == ANS_ERROR_NOT_SUPPORTED ? Cause::NotSupported : Cause::Refused, true);
            resolvedFailure_.baseCode = code;
        }
        ++stats_.answers;
    }
    notify(event, fate, &request);
}

void Link::attribute(const FramerEvent& event) {
    const bool good = event.kind == FramerEvent::Kind::Frame;
    if (!good) ++stats_.corrupted;
    for (auto it = pending_.begin(); it != pending_.end();) {
        // It began to arrive before this request was written: it answers
        // neither this one nor any written after it.
        if (event.first.read <= it->afterRead) break;
        if (!it->owed) {  // the request being awaited
            const Pending request = *it;
            pending_.erase(it);
            resolveCurrent(event, request, Fate::Answer);
            return;
        }
        if (good && event.cmd == ANS_OK && it->motion == Motion::Stops && currentIsStop() && onlyStopsFrom(it)) {
            // An earlier stop's answer: the base took a stop, and nothing
            // that moves was written since. The awaited stop's own answer
            // is still to come, and is owed from now on.
            const Pending earlier = *it;
            pending_.erase(it);
            auto current = currentEntry();
            if (current != pending_.end()) current->owed = true;
            resolveCurrent(event, earlier, Fate::Confirms);
            return;
        }
        const bool fits = !good || event.cmd == ANS_ERROR || it->shape.fits(static_cast<uint32_t>(event.payloadSize));
        if (!fits) {
            // An ok answer of a size the owed one cannot have: that answer
            // was lost if the next request, not a stop, has exactly this size.
            auto next = std::next(it);
            if (next != pending_.end() && next->motion != Motion::Stops &&
                next->shape.knownAs(static_cast<uint32_t>(event.payloadSize))) {
                ++stats_.lostAnswers;
                it = pending_.erase(it);
                continue;
            }
        }
        const Pending owed = *it;
        pending_.erase(it);
        ++stats_.lateAnswers;
        stats_.latestLate = event.last.at - owed.sentAt;
        stats_.longestLate = std::max(stats_.longestLate, stats_.latestLate);
        notify(event, Fate::Late, &owed);
        return;
    }
    ++stats_.unasked;
    notify(event, Fate::Unasked, nullptr);
}

void Link::onFramerEvent(const FramerEvent& event) {
    if (event.kind == FramerEvent::Kind::Skipped) {
        notify(event, Fate::Noise, nullptr);
        return;
    }
    if (event.kind == FramerEvent::Kind::Frame) ++stats_.goodFrames;
    if (event.kind == FramerEvent::Kind::Frame &&
        (!event.hasCommand || (event.cmd != ANS_OK && event.cmd != ANS_ERROR))) {
        ++stats_.messages;
        notify(event, Fate::Message, nullptr);
        return;
    }
    attribute(event);
}

Outcome<AnswerView> Link::transact(uint8_t cmd, const uint8_t* payload, size_t size, const RequestKind& kind) {
    std::lock_guard<std::mutex> guard(mutex_);
    const bool stop = kind.motion == Motion::Stops;
    if (broken_.load()) return brokenFailure_;
    if (!stop && token_.stopRequested()) return Failure::of(Cause::Interrupted);
    const Outcome<void> ready = prepareWrite(kind);
    if (!ready) return ready.failure();
    if (beforeWrite_) beforeWrite_();
    // A stop asked for while this request waited for the line holds it back.
    if (!stop && token_.stopRequested()) return Failure::of(Cause::Interrupted);

    uint8_t small[SMALL_FRAME];
    std::vector<uint8_t> large;
    uint8_t* frame = small;
    if (frameSize(size) > sizeof small) {
        large.resize(frameSize(size));
        frame = large.data();
    }
    const size_t frameBytes = encodeFrame(cmd, payload, size, frame);
    if (frameBytes == 0) return Failure::of(Cause::NotWritten);

    Pending request;
    request.id = ++nextId_;
    request.cmd = cmd;
    request.code = size > 0 ? payload[0] : 0;
    request.shape = kind.answer;
    request.motion = kind.motion;
    request.afterRead = reads_;
    request.sentAt = clock_.now();
    request.lapseAt = request.sentAt + std::max<Duration>(kind.timeout + SETTLE, LAPSE);
    if (observer_ != nullptr) {
        SentFrame sent;
        sent.bytes = frame;
        sent.size = frameBytes;
        sent.cmd = cmd;
        sent.payload = payload;
        sent.payloadSize = size;
        sent.motion = kind.motion;
        sent.at = request.sentAt;
        observer_->onSent(sent);
    }
    if (kind.motion == Motion::Moves) token_.noteMoveWritten();
    if (stop) token_.noteStopWritten();
    ++stats_.requests;
    const Cuts cuts = cutsFor(kind.motion);
    const Io written = writeFully(frame, frameBytes, request.sentAt + transport_.writeBound(frameBytes), cuts);
    if (written.status != IoStatus::Ok) {
        const bool some = written.count > 0;
        if (written.status == IoStatus::Closed || written.status == IoStatus::Failed) {
            Failure failure = markBroken(written);
            failure.written = some;
            return failure;
        }
        // What went out may still reach the base, which would then answer.
        if (some) {
            request.owed = true;
            pending_.push_back(request);
        }
        if (written.status == IoStatus::Woken) return Failure::of(Cause::Interrupted, some);
        ++stats_.timeouts;
        return Failure::of(Cause::Timeout, some);
    }

    pending_.push_back(request);
    currentId_ = request.id;
    resolved_ = false;
    const TimePoint deadline = request.sentAt + kind.timeout;
    Wait w = Wait::Done;
    while (!resolved_ && w == Wait::Done) {
        if (clock_.now() >= deadline) break;
        w = readOnce(std::min(deadline, framer_.deadline()), cuts);
    }
    currentId_ = 0;
    if (resolved_) {
        if (!resolvedOk_) return resolvedFailure_;
        if (stop) token_.noteStopConfirmed();
        return answer_;
    }
    if (w == Wait::Broken) {
        Failure failure = brokenFailure_;
        failure.written = true;
        return failure;
    }
    // Ended without its answer: the answer is owed from now on.
    auto entry = std::find_if(pending_.begin(), pending_.end(), [&request](const Pending& p) { return p.id == request.id; });
    if (entry != pending_.end()) entry->owed = true;
    if (w == Wait::Cut) return Failure::of(Cause::Interrupted, true);
    ++stats_.timeouts;
    Failure timedOut = Failure::of(Cause::Timeout, true);
    timedOut.waitedMs = std::chrono::duration_cast<std::chrono::milliseconds>(kind.timeout).count();
    return timedOut;
}

void Link::sync() {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::vector<uint8_t>& frame = syncFrame();
    for (int i = 0; i < 2 && !broken_.load(); ++i) {
        const TimePoint at = clock_.now();
        if (observer_ != nullptr) {
            SentFrame sent;
            sent.bytes = frame.data();
            sent.size = frame.size();
            sent.cmd = 0;
            sent.payload = frame.data() + 3;
            sent.payloadSize = frame.size() - 4;
            sent.sync = true;
            sent.at = at;
            observer_->onSent(sent);
        }
        const Io written = writeFully(frame.data(), frame.size(), at + transport_.writeBound(frame.size()), Cuts::Never);
        if (written.status == IoStatus::Closed || written.status == IoStatus::Failed) {
            markBroken(written);
            return;
        }
        // What the base says meanwhile is read and sorted, not left waiting.
        const TimePoint until = clock_.now() + syncPauses_[i];
        while (clock_.now() < until) {
            const Wait w = readOnce(until, Cuts::OnStopRequest);
            if (w != Wait::Done) return;
        }
    }
}

}  // namespace net
}  // namespace zorn
