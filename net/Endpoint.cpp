#include "net/Endpoint.h"

#include <algorithm>
#include <chrono>

namespace zorn {
namespace net {

Endpoint::Endpoint() : address(0), channel(nullptr), answerResult(0) { token_.attach(&answerReady); }

Endpoint::~Endpoint() {
    token_.attach(nullptr);
    channelHandlers.clear();
    std::lock_guard<std::mutex> g(answerMutex_);
    answer.reset();
}

void Endpoint::bindChannel(Channel* c) {
    channelHandlers.clear();
    channel = c;
    linkBroken_.store(false);
    if (!channel) return;
    for (uint32_t code : {EVT_MESSAGE, EVT_BAD_FRAME, EVT_CHANNEL_BROKEN}) {
        channelHandlers.push_back(channel->subscribe(code, this, &Endpoint::onChannelEvent));
    }
}

void Endpoint::unbindChannel() {
    channelHandlers.clear();
    channel = nullptr;
}

int32_t Endpoint::sendCommand(uint8_t cmd, const uint8_t* data, int32_t len) {
    // request() has checked the channel.
    MessagePtr message = std::make_shared<Message>(cmd, data, len);
    message->address = static_cast<uint32_t>(address);
    return channel->send(message);
}

bool Endpoint::waitCut(Motion motion) const {
    return motion == Motion::Stops ? token_.stopWaitCut() : token_.stopRequested();
}

int32_t Endpoint::awaitAnswer(MessagePtr& out, int32_t timeoutMs, Motion motion, SteadyTime sentAt) {
    if (!channel) return RESULT_OPERATION_FAIL;
    const bool infinite = timeoutMs == ENDPOINT_WAIT_INFINITE;
    const auto limit = std::chrono::milliseconds(infinite ? 0 : (timeoutMs < 0 ? 0 : timeoutMs));
    const SteadyTime deadline = sentAt + limit;
    auto ended = [this, motion] { return answered_.load() || linkBroken_.load() || waitCut(motion); };
    // A bad frame shortens the wait to a grace after it (see corruptedFrames).
    auto left = [this, deadline] {
        SteadyTime end = deadline;
        const int64_t badNs = corruptedAtNs_.load();
        if (badNs != 0) {
            end = std::min(end, SteadyTime(std::chrono::nanoseconds(badNs)) +
                                    std::chrono::milliseconds(BAD_FRAME_GRACE_MS));
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        return ms > 0 ? static_cast<uint32_t>(ms) : 0u;
    };
    // Read the answer on this thread when the channel lets it: no wake-up
    // between threads. What remains of the wait, if anything, is the event's.
    if (!infinite) {
        const uint32_t ms = left();
        if (ms > 0) channel->receiveUntil([&] { return ended() || (corruptedAtNs_.load() != 0 && left() == 0); }, ms);
    }
    // The event also wakes for answers and stop requests that do not end
    // this wait (a stop request does not cut a stop's wait): look again.
    bool timedOut = false;
    while (!ended() && !timedOut) {
        const uint32_t ms = infinite && corruptedAtNs_.load() == 0 ? WAIT_INFINITE : left();
        timedOut = ms == 0 || (answerReady.wait(ms) == WAIT_TIMEOUT && left() == 0);
    }
    std::lock_guard<std::mutex> g(answerMutex_);
    awaiting_ = false;
    if (answered_.load()) {
        out = answer;
        return answerResult;
    }
    if (linkBroken_.load()) return RESULT_OPERATION_FAIL;  // no answer will come: nothing owed
    // No answer: it is owed, unless this request dropped one that may have
    // been its own.
    if (!droppedInDoubt_) {
        const auto timeout = std::chrono::milliseconds(infinite ? ENDPOINT_REQUEST_TIMEOUT_MS : limit.count());
        owed_.push_back(Owed{currentShape_, sentAt + 2 * timeout, currentCmd_, currentCode_});
    }
    if (waitCut(motion)) return RESULT_OPERATION_FAIL;
    return corruptedAtNs_.load() != 0 ? RESULT_INVALID_DATA : RESULT_OPERATION_TIMEOUT;
}

int32_t Endpoint::request(MessagePtr& out, uint8_t cmd, const uint8_t* data, int32_t len, int32_t timeoutMs) {
    return request(out, cmd, data, len, timeoutMs, RequestKind());
}

int32_t Endpoint::request(MessagePtr& out, uint8_t cmd, const uint8_t* data, int32_t len, int32_t timeoutMs,
                          const RequestKind& kind) {
    std::lock_guard<std::mutex> guard(requestLock);
    {
        std::lock_guard<std::mutex> g(answerMutex_);
        answered_.store(false);
        corruptedAtNs_.store(0);
        awaiting_ = false;
        currentShape_ = kind.answer;
        currentCmd_ = cmd;
        currentCode_ = len > 0 && data != nullptr ? data[0] : 0;
        droppedInDoubt_ = false;
    }
    answerReady.reset();
    if (beforeWrite_) beforeWrite_();
    // Checked after the reset above, so a stop asked for at any moment
    // before the write holds back every request that is not the stop.
    if (kind.motion != Motion::Stops && token_.stopRequested()) return RESULT_OPERATION_FAIL;
    if (!channel || linkBroken_.load()) return RESULT_OPERATION_FAIL;
    {
        std::lock_guard<std::mutex> g(answerMutex_);
        awaiting_ = true;  // set before the write: the answer may come at once
    }
    if (kind.motion == Motion::Moves) token_.noteMoveWritten();
    if (kind.motion == Motion::Stops) token_.noteStopWritten();
    const SteadyTime sentAt = std::chrono::steady_clock::now();
    int32_t r = sendCommand(cmd, data, len);
    if (r != RESULT_OK) {
        std::lock_guard<std::mutex> g(answerMutex_);
        awaiting_ = false;
        return r;
    }
    r = awaitAnswer(out, timeoutMs, kind.motion, sentAt);
    if (kind.motion == Motion::Stops && r == RESULT_OK) token_.noteStopConfirmed();
    return r;
}

int Endpoint::onChannelEvent(uint32_t event, MessageDispatcher*, MessagePtr& message) {
    if (event == EVT_CHANNEL_BROKEN) {
        linkBroken_.store(true);
        answerReady.set();  // the request waiting learns at once
        return 0;
    }
    if (!message || message->source != address) return 0;
    if (event == EVT_BAD_FRAME) {
        noteCorruptedFrame();
    } else if (event == EVT_MESSAGE) {
        if (message->cmd == ANS_OK) {
            completeAnswer(RESULT_OK, message);
        } else if (message->cmd == ANS_ERROR) {
            bool notSupported = message->payloadLength() >= 2 && message->payload.size() >= 2 &&
                                (message->payload[0] | (message->payload[1] << 8)) == ANS_ERROR_NOT_SUPPORTED;
            completeAnswer(notSupported ? RESULT_OPERATION_NOT_SUPPORT : RESULT_OPERATION_FAIL, message);
        }
    }
    return 0;
}

bool Endpoint::belongsToCurrent(bool isError, uint32_t size, Owed& owedTo) {
    const SteadyTime now = std::chrono::steady_clock::now();
    owedTo = Owed{AnswerShape(), now, 0, 0};
    while (!owed_.empty() && owed_.front().until <= now) owed_.pop_front();
    if (!awaiting_ || answered_.load()) {
        // Nothing waits for an answer: a late one whose owing lapsed, or
        // one the base sent unasked.
        if (!owed_.empty()) {
            owedTo = owed_.front();
            owed_.pop_front();
        }
        return false;
    }
    const bool fitsCurrent = isError || currentShape_.fits(size);
    while (!owed_.empty()) {
        const bool fitsOwed = isError || owed_.front().shape.fits(size);
        if (!fitsOwed && fitsCurrent) {
            owed_.pop_front();  // that answer was lost: look at the one before
            continue;
        }
        owedTo = owed_.front();
        owed_.pop_front();
        if (fitsOwed && fitsCurrent) droppedInDoubt_ = true;
        return false;
    }
    return true;
}

void Endpoint::noteCorruptedFrame() {
    corruptedFrames_.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(answerMutex_);
        const SteadyTime now = std::chrono::steady_clock::now();
        while (!owed_.empty() && owed_.front().until <= now) owed_.pop_front();
        if (!owed_.empty()) {
            owed_.pop_front();  // the answers come in order: the oldest owed one
            return;
        }
        if (!awaiting_ || answered_.load() || corruptedAtNs_.load() != 0) return;
        corruptedAtNs_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count());
    }
    answerReady.set();  // the waiter takes up its shorter wait
}

void Endpoint::completeAnswer(int32_t result, MessagePtr& message) {
    {
        std::lock_guard<std::mutex> g(answerMutex_);
        const uint32_t size = message ? message->payloadLength() : 0;
        Owed owedTo;
        if (!belongsToCurrent(result != RESULT_OK, size, owedTo)) {
            droppedAnswers_.fetch_add(1);
            if (droppedHook_) droppedHook_(message, owedTo.cmd, owedTo.code);
            return;
        }
        answer = message;
        answerResult = result;
        answered_.store(true);
    }
    answerReady.set();
}

}  // namespace net
}  // namespace zorn
