#include "net/Endpoint.h"

#include <chrono>

namespace zorn {
namespace net {

Endpoint::Endpoint() : address(0), channel(nullptr), answerResult(0) {}

Endpoint::~Endpoint() {
    unregisterHandlers();
    std::lock_guard<std::mutex> g(answerMutex_);
    answer.reset();
}

void Endpoint::bindChannel(Channel* c) {
    unregisterHandlers();
    channel = c;
    registerHandlers();
}

void Endpoint::unbindChannel() {
    unregisterHandlers();
    channel = nullptr;
}

Channel* Endpoint::getChannel() { return channel; }

int32_t Endpoint::sendMessage(const MessagePtr& message) {
    if (!channel || !message) return RESULT_OPERATION_FAIL;
    message->address = static_cast<uint32_t>(address);
    return channel->send(message);
}

int32_t Endpoint::postMessage(const MessagePtr& message) {
    if (!channel || !message) return RESULT_OPERATION_FAIL;
    message->address = static_cast<uint32_t>(address);
    channel->post(message);
    return RESULT_OK;
}

int32_t Endpoint::sendCommand(uint8_t cmd, const uint8_t* data, int32_t len) {
    if (!channel) return RESULT_OPERATION_FAIL;
    return sendMessage(std::make_shared<Message>(cmd, data, len));
}

int32_t Endpoint::postCommand(uint8_t cmd, const uint8_t* data, int32_t len) {
    if (!channel) return RESULT_OPERATION_FAIL;
    return postMessage(std::make_shared<Message>(cmd, data, len));
}

int32_t Endpoint::waitAnswer(MessagePtr& out, int32_t timeoutMs) {
    if (!channel) return RESULT_OPERATION_FAIL;
    uint32_t ms = timeoutMs == ENDPOINT_WAIT_INFINITE ? WAIT_INFINITE
                  : timeoutMs < 0                     ? 0u
                                                      : static_cast<uint32_t>(timeoutMs);
    // Read the answer on this thread when the channel lets it: no wake-up
    // between threads. What remains of the wait, if anything, is the event's.
    bool signalled = false;
    const auto started = std::chrono::steady_clock::now();
    if (ms != WAIT_INFINITE && ms > 0) {
        channel->receiveUntil(
            [this, &signalled] {
                if (!signalled && answerReady.wait(0) == WAIT_SIGNALED) signalled = true;
                return signalled;
            },
            ms);
    }
    WaitResult w = WAIT_SIGNALED;
    if (!signalled) {
        uint32_t left = ms;
        if (ms != WAIT_INFINITE) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
            left = spent >= static_cast<int64_t>(ms) ? 0u : ms - static_cast<uint32_t>(spent);
        }
        w = answerReady.wait(left);
    }
    if (w == WAIT_TIMEOUT) return RESULT_OPERATION_TIMEOUT;
    if (w != WAIT_SIGNALED) return RESULT_OPERATION_FAIL;
    std::lock_guard<std::mutex> g(answerMutex_);
    if (cancelled_.exchange(false) && !answered_) {
        // Owed until the wait would have ended; an infinite one for the
        // ordinary request time-out.
        owedUntil_ = started + std::chrono::milliseconds(ms == WAIT_INFINITE ? ENDPOINT_REQUEST_TIMEOUT_MS : ms);
        return RESULT_OPERATION_FAIL;
    }
    out = answer;
    return answerResult;
}

int32_t Endpoint::request(MessagePtr& out, uint8_t cmd, const uint8_t* data, int32_t len, int32_t timeoutMs) {
    MutexGuard guard(requestLock);
    {
        std::lock_guard<std::mutex> g(answerMutex_);
        answered_ = false;
    }
    cancelled_.store(false);
    answerReady.reset();
    int32_t r = sendCommand(cmd, data, len);
    if (r == RESULT_OK) r = waitAnswer(out, timeoutMs);
    return r;
}

int Endpoint::onChannelEvent(uint32_t event, MessageDispatcher* sender, MessagePtr& message) {
    if (!message || message->source != address) {
        if (event == EVT_CHANNEL_BROKEN) dispatch(EVT_CHANNEL_BROKEN, message);
        return 0;
    }
    if (event == EVT_MESSAGE) {
        if (message->cmd == ANS_OK) {
            completeAnswer(RESULT_OK, sender, message);
        } else if (message->cmd == ANS_ERROR) {
            bool notSupported = message->payloadLength() >= 2 && message->payload.size() >= 2 &&
                                (message->payload[0] | (message->payload[1] << 8)) == ANS_ERROR_NOT_SUPPORTED;
            completeAnswer(notSupported ? RESULT_OPERATION_NOT_SUPPORT : RESULT_OPERATION_FAIL, sender, message);
        }
    }
    dispatch(event, message);
    return 0;
}

int Endpoint::completeAnswer(int32_t result, MessageDispatcher*, MessagePtr& message) {
    {
        std::lock_guard<std::mutex> g(answerMutex_);
        if (owedUntil_ != SteadyTime{}) {
            const bool late = std::chrono::steady_clock::now() < owedUntil_;
            owedUntil_ = SteadyTime{};
            if (late) return 0;  // the answer to a request cut short
        }
        answer = message;
        answerResult = result;
        answered_ = true;
    }
    answerReady.set();
    return 0;
}

void Endpoint::registerHandlers() {
    if (!channel) return;
    for (uint32_t code = EVT_MESSAGE; code <= EVT_CHANNEL_BROKEN; ++code) {
        channelHandlers.push_back(channel->subscribe(code, this, &Endpoint::onChannelEvent));
    }
}

void Endpoint::unregisterHandlers() {
    channelHandlers.clear();
}

}  // namespace net
}  // namespace zorn
