#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "net/Channel.h"
#include "net/EventDispatcher.h"
#include "net/Events.h"
#include "net/Message.h"
#include "net/Result.h"
#include "net/arch/Event.h"
#include "net/arch/Mutex.h"

namespace zorn {
namespace net {

// Time-out value of waitAnswer and request that means "wait without limit".
constexpr int32_t ENDPOINT_WAIT_INFINITE = 0x0FFFFFFF;
// The ordinary time-out of a request, in ms.
constexpr int32_t ENDPOINT_REQUEST_TIMEOUT_MS = 1000;

// Request/response layer over a channel: one request at a time, the next
// ANS_OK or ANS_ERROR message that arrives is its answer. Every channel
// event is relayed to the endpoint's own listeners.
class Endpoint : public MessageDispatcher {
public:
    Endpoint();
    ~Endpoint() override;

    virtual void bindChannel(Channel* channel);
    virtual void unbindChannel();
    virtual Channel* getChannel();
    virtual int32_t sendMessage(const MessagePtr& message);
    virtual int32_t waitAnswer(MessagePtr& out, int32_t timeoutMs);
    virtual int32_t postMessage(const MessagePtr& message);
    virtual int32_t sendCommand(uint8_t cmd, const uint8_t* data, int32_t len);
    virtual int32_t postCommand(uint8_t cmd, const uint8_t* data, int32_t len);
    virtual int32_t request(MessagePtr& out, uint8_t cmd, const uint8_t* data, int32_t len, int32_t timeoutMs);
    virtual int onChannelEvent(uint32_t event, MessageDispatcher* sender, MessagePtr& message);
    virtual int completeAnswer(int32_t result, MessageDispatcher* sender, MessagePtr& message);
    virtual void registerHandlers();
    virtual void unregisterHandlers();

    int32_t getAddress() const { return address; }
    // Cuts the wait of the request in progress short: it fails with
    // RESULT_OPERATION_FAIL unless its answer is already in. Safe to call
    // from a signal handler (an atomic store and a futex wake). The base
    // still answers the request it was sent; that answer, when it comes
    // before the request's own time-out would have ended, is dropped, so the
    // next request (the stop, after an interrupt) never takes it for its own.
    void cancelWait() {
        cancelled_.store(true);
        answerReady.set();
    }

protected:
    std::vector<MessageRegistration> channelHandlers;
    int32_t address;
    Channel* channel;
    Event answerReady;
    int32_t answerResult;
    MessagePtr answer;
    Mutex requestLock;

private:
    using SteadyTime = std::chrono::steady_clock::time_point;
    std::mutex answerMutex_;  // guards answer, answerResult, answered_ and the owed answer
    bool answered_ = false;   // the request in progress has its answer
    // A request cut short leaves its answer owed until this time; none
    // is owed when it lies in the past.
    SteadyTime owedUntil_{};
    std::atomic<bool> cancelled_{false};
};

}  // namespace net
}  // namespace zorn
