#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "net/CancelToken.h"
#include "net/Channel.h"
#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/Message.h"
#include "net/RequestKind.h"
#include "net/Result.h"
#include "net/arch/Event.h"

namespace zorn {
namespace net {

// Time-out value of request that means "wait without limit".
constexpr int32_t ENDPOINT_WAIT_INFINITE = 0x0FFFFFFF;
// The ordinary time-out of a request, in ms.
constexpr int32_t ENDPOINT_REQUEST_TIMEOUT_MS = 1000;

// Request/response layer over a channel: one request at a time.
//
// Answers carry no request id, so which answer belongs to which request is
// decided here, by one rule. A request that ended without its answer (it
// timed out, or was cut short) leaves that answer owed. The base answers in
// order, so the next answer to arrive is taken for the oldest owed one and
// dropped (counted in droppedAnswers), unless its size shows that it cannot
// be that request's answer while it can be the current request's: then the
// owed answer was lost and this one is the current request's. An answer
// that fits both is dropped too, so that a request (a stop above all) is
// never confirmed by an answer that may be another's; the request then
// waits on for its own. A request that dropped such an answer and then got
// none is not itself owed: the dropped one may well have been its own, and
// one lost answer must cost one request, not every request after it. An
// owed answer lapses once a further time-out has passed after its
// request's own.
class Endpoint {
public:
    Endpoint();
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // Listens to the channel's frames (and its loss) from now on.
    void bindChannel(Channel* channel);
    void unbindChannel();
    Channel* getChannel() const { return channel; }
    // A request of unknown answer size that neither moves nor stops the base.
    int32_t request(MessagePtr& out, uint8_t cmd, const uint8_t* data, int32_t len, int32_t timeoutMs);
    // A request whose kind says what its answer looks like and whether it
    // moves or stops the base. A request refused because a stop was
    // requested, or cut short, fails with RESULT_OPERATION_FAIL.
    int32_t request(MessagePtr& out, uint8_t cmd, const uint8_t* data, int32_t len, int32_t timeoutMs,
                    const RequestKind& kind);

    // The stop request a signal handler sets (see CancelToken).
    CancelToken& cancelToken() { return token_; }
    // Answers dropped as owed to earlier requests, or arriving unasked.
    uint64_t droppedAnswers() const { return droppedAnswers_.load(); }
    // Frames the checksum rejected. One that arrives while a request awaits
    // its answer (and no earlier answer is owed) may have been that answer:
    // the request then waits at most BAD_FRAME_GRACE_MS more for a good one
    // (noise may come before it) and otherwise fails with RESULT_INVALID_DATA
    // rather than wait out its time-out; its answer is owed as after a
    // time-out. A bad frame is never taken apart for what it might have meant.
    uint64_t corruptedFrames() const { return corruptedFrames_.load(); }
    static constexpr int32_t BAD_FRAME_GRACE_MS = 200;
    // The channel reported its medium lost (a closed or reset connection, a
    // serial line gone): the request waiting fails at once, and every later
    // one without being written, with RESULT_OPERATION_FAIL.
    bool linkBroken() const { return linkBroken_.load(); }
    // Tests: called inside request() after it has reset its own state and
    // before it checks the stop request, to land a signal in that window.
    void setBeforeWriteHook(std::function<void()> hook) { beforeWrite_ = std::move(hook); }
    // Told of every answer the rule drops, with the request it was owed to
    // (its command byte and first payload byte; both 0 for an answer that
    // came unasked). Runs on the thread that delivered the answer, under the
    // endpoint's answer lock: it must not make requests. Set before use.
    using DroppedAnswerHook = std::function<void(const MessagePtr& answer, uint8_t owedCmd, uint8_t owedCode)>;
    void setDroppedAnswerHook(DroppedAnswerHook hook) { droppedHook_ = std::move(hook); }

private:
    std::vector<MessageRegistration> channelHandlers;
    const int32_t address;  // frames from other sources are not ours
    Channel* channel;
    // A futex event rather than a condition variable: a signal handler sets
    // it through the cancel token, and only this is async-signal-safe.
    Event answerReady;
    int32_t answerResult;
    MessagePtr answer;
    std::mutex requestLock;

    using SteadyTime = std::chrono::steady_clock::time_point;
    struct Owed {
        AnswerShape shape;
        SteadyTime until;
        uint8_t cmd, code;  // the request it answers
    };
    int onChannelEvent(uint32_t event, MessageDispatcher* sender, MessagePtr& message);
    void completeAnswer(int32_t result, MessagePtr& message);
    int32_t sendCommand(uint8_t cmd, const uint8_t* data, int32_t len);
    int32_t awaitAnswer(MessagePtr& out, int32_t timeoutMs, Motion motion, SteadyTime sentAt);
    bool waitCut(Motion motion) const;
    void noteCorruptedFrame();
    // Sorts an arriving answer: true when it is the current request's;
    // otherwise `owedTo` is the request it was dropped for (none: {0, 0}).
    bool belongsToCurrent(bool isError, uint32_t size, Owed& owedTo);

    std::mutex answerMutex_;  // guards answer, answerResult and everything below it
    std::atomic<bool> answered_{false};  // the request in progress has its answer
    std::atomic<int64_t> corruptedAtNs_{0};  // a bad frame came while it waited (steady ns), 0: none
    std::atomic<bool> linkBroken_{false};
    bool awaiting_ = false;              // a written request waits for its answer
    AnswerShape currentShape_;
    uint8_t currentCmd_ = 0, currentCode_ = 0;
    bool droppedInDoubt_ = false;  // the current request dropped an answer that may have been its own
    std::deque<Owed> owed_;        // oldest first
    std::atomic<uint64_t> droppedAnswers_{0};
    std::atomic<uint64_t> corruptedFrames_{0};
    CancelToken token_;
    std::function<void()> beforeWrite_;
    DroppedAnswerHook droppedHook_;
};

}  // namespace net
}  // namespace zorn
