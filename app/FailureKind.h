#pragma once

// Why a command failed, in words a script can test for: the "kind" of a
// JSON failure object. The result code alone does not tell them apart
// (80008001 is an error answer of the base, a link that went away and a
// request that could not be written alike), so the frame watches the link
// for what the code does not say.

#include <atomic>
#include <cstdint>
#include <vector>

#include "net/Channel.h"

namespace zorn {
namespace orbitane {
namespace test {

// The fixed vocabulary of "kind".
namespace failure {
constexpr const char* TIMEOUT = "timeout";                  // the base did not answer in time
constexpr const char* BASE_ERROR = "base_error";            // the base refused the request (error answer)
constexpr const char* LINK_CLOSED = "link_closed";          // the base closed the connection (TCP)
constexpr const char* LINK_FAILED = "link_failed";          // the serial line went away, or a write failed
constexpr const char* INVALID_ANSWER = "invalid_answer";    // an answer was malformed, corrupted or unusable
constexpr const char* NOT_SUPPORTED = "not_supported";      // the base does not support the request
constexpr const char* USAGE = "usage";                      // arguments or options wrong; nothing was sent for them
constexpr const char* UNKNOWN_COMMAND = "unknown_command";  // no such command
constexpr const char* CONNECT_FAILED = "connect_failed";    // the channel could not be opened, or no connect answer
constexpr const char* INTERRUPTED = "interrupted";          // a signal ended the command
constexpr const char* OUTPUT_LOST = "output_lost";          // standard output could not be written
constexpr const char* INTERNAL = "internal";                // the console itself failed (status 70)
}  // namespace failure

// No error answer came, or it carried no code.
constexpr int32_t NO_BASE_ERROR = -1;

struct FailureCause {
    const char* kind = failure::INVALID_ANSWER;
    // The code of the base's error answer (16 bits), or NO_BASE_ERROR.
    int32_t baseError = NO_BASE_ERROR;
};

// What the link showed while the current command ran.
struct LinkFacts {
    bool broken = false;        // the medium went away (connection closed or reset, serial line hung up)
    bool tcp = true;            // the channel is a TCP connection (else a serial line)
    bool sendFailed = false;    // a frame could not be written
    bool errorAnswer = false;   // the base sent an error answer
    int32_t errorCode = NO_BASE_ERROR;  // its code
};

// The kind of a failed command's result, from the result code and what the
// link showed. Codes of the console's own: 2 usage, 4 connect_failed, 5
// unknown_command, 70 internal; other codes a command returns for an answer
// it could not use are invalid_answer.
FailureCause classifyFailure(int32_t result, const LinkFacts& link);

// A command that knows better than its result code (the self-test, whose
// result is a count; doctor, whose statuses are its own) notes the cause
// here; the note holds until the next command starts.
void noteFailureCause(const FailureCause& cause);
bool notedFailureCause(FailureCause& cause);
void clearFailureCause();

// Watches one channel for error answers, failed writes and a lost medium.
// Events arrive on the channel's threads; the rest runs on the main thread.
class LinkWatch {
public:
    LinkWatch() = default;
    LinkWatch(const LinkWatch&) = delete;
    LinkWatch& operator=(const LinkWatch&) = delete;

    // Starts watching `channel` (registered before the endpoint, so an error
    // answer is seen before the request it ends returns).
    void watch(zorn::net::Channel* channel, bool tcp);
    // Stops watching; must run before the channel goes.
    void stop();
    // A command starts: forgets the error answers and failed writes of the
    // one before (a lost medium stays lost).
    void startCommand();
    LinkFacts facts() const;

private:
    int onEvent(uint32_t event, zorn::net::MessageDispatcher* sender, zorn::net::MessagePtr& message);

    std::vector<zorn::net::MessageRegistration> registrations_;
    bool tcp_ = true;
    std::atomic<bool> broken_{false};
    std::atomic<bool> sendFailed_{false};
    std::atomic<bool> errorAnswer_{false};
    std::atomic<int32_t> errorCode_{NO_BASE_ERROR};
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
