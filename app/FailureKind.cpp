#include "app/FailureKind.h"

#include <mutex>

#include "app/ExitStatus.h"
#include "net/Events.h"
#include "net/Message.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

std::mutex g_noteMutex;
bool g_noted = false;
FailureCause g_notedCause;

FailureCause cause(const char* kind, int32_t baseError = NO_BASE_ERROR) {
    FailureCause c;
    c.kind = kind;
    c.baseError = baseError;
    return c;
}

const char* lostLinkKind(const LinkFacts& link) { return link.tcp ? failure::LINK_CLOSED : failure::LINK_FAILED; }

}  // namespace

FailureCause classifyFailure(int32_t result, const LinkFacts& link) {
    switch (result) {
        case net::RESULT_OPERATION_TIMEOUT:
            return cause(failure::TIMEOUT);
        case net::RESULT_INVALID_DATA:
        case net::RESULT_BUFFER_TOO_SMALL:
            return cause(failure::INVALID_ANSWER);
        case net::RESULT_OPERATION_NOT_SUPPORT:
            // The base's "not supported" answer, or a channel that can no
            // longer write because its medium went away.
            if (link.errorAnswer) return cause(failure::NOT_SUPPORTED, link.errorCode);
            if (link.broken) return cause(lostLinkKind(link));
            return cause(failure::NOT_SUPPORTED);
        case net::RESULT_OPERATION_FAIL:
            if (link.broken) return cause(lostLinkKind(link));
            if (link.errorAnswer) return cause(failure::BASE_ERROR, link.errorCode);
            if (link.sendFailed) return cause(failure::LINK_FAILED);
            // Nothing went wrong on the link: the console could not use what
            // the base sent (a configuration it cannot read, say).
            return cause(failure::INVALID_ANSWER);
        case STATUS_COMMAND_USAGE:
            return cause(failure::USAGE);
        case STATUS_NO_CONNECTION:
            return cause(failure::CONNECT_FAILED);
        case STATUS_USAGE:
            return cause(failure::UNKNOWN_COMMAND);
        case STATUS_INTERNAL_ERROR:
            return cause(failure::INTERNAL);
        default:
            return cause(failure::INVALID_ANSWER);
    }
}

void noteFailureCause(const FailureCause& noted) {
    std::lock_guard<std::mutex> lock(g_noteMutex);
    g_noted = true;
    g_notedCause = noted;
}

bool notedFailureCause(FailureCause& out) {
    std::lock_guard<std::mutex> lock(g_noteMutex);
    if (g_noted) out = g_notedCause;
    return g_noted;
}

void clearFailureCause() {
    std::lock_guard<std::mutex> lock(g_noteMutex);
    g_noted = false;
}

void LinkWatch::watch(zorn::net::Channel* channel, bool tcp) {
    stop();
    tcp_ = tcp;
    broken_ = false;
    startCommand();
    if (channel == nullptr) return;
    for (uint32_t event : {net::EVT_MESSAGE, net::EVT_SEND_FAILED, net::EVT_CHANNEL_BROKEN}) {
        registrations_.push_back(channel->subscribe(event, this, &LinkWatch::onEvent));
    }
}

void LinkWatch::stop() { registrations_.clear(); }

void LinkWatch::startCommand() {
    sendFailed_ = false;
    errorAnswer_ = false;
    errorCode_ = NO_BASE_ERROR;
}

LinkFacts LinkWatch::facts() const {
    LinkFacts facts;
    facts.broken = broken_.load();
    facts.tcp = tcp_;
    facts.sendFailed = sendFailed_.load();
    // The flag first: the code was stored before it.
    facts.errorAnswer = errorAnswer_.load();
    facts.errorCode = errorCode_.load();
    return facts;
}

int LinkWatch::onEvent(uint32_t event, zorn::net::MessageDispatcher*, zorn::net::MessagePtr& message) {
    if (event == net::EVT_CHANNEL_BROKEN) {
        broken_ = true;
    } else if (event == net::EVT_SEND_FAILED) {
        sendFailed_ = true;
    } else if (event == net::EVT_MESSAGE && message && message->cmd == net::ANS_ERROR) {
        // The code is 16 bits, little-endian; an error answer may lack it.
        const std::vector<uint8_t>& payload = message->payload;
        errorCode_ = payload.size() >= 2 && message->payloadLength() >= 2 ? (payload[0] | (payload[1] << 8))
                                                                          : NO_BASE_ERROR;
        errorAnswer_ = true;
    }
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
