#pragma once

// Why a command failed, in words a script can test for: the "kind" of a
// JSON failure object. A request's failure names its own (net/Failure.h);
// the console's own statuses name theirs here.

#include <cstdint>

#include "app/CommandResult.h"

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
constexpr const char* HOST_NOT_FOUND = "host_not_found";    // the host name given with --host does not resolve
constexpr const char* INTERRUPTED = "interrupted";          // a signal ended the command
constexpr const char* OUTPUT_LOST = "output_lost";          // standard output could not be written
constexpr const char* INTERNAL = "internal";                // the console itself failed (status 70)
}  // namespace failure

// No error answer came, or it carried no code.
constexpr int32_t NO_BASE_ERROR = zorn::net::NO_BASE_CODE;

struct FailureCause {
    const char* kind = failure::INVALID_ANSWER;
    // The code of the base's error answer (16 bits), or NO_BASE_ERROR.
    int32_t baseError = NO_BASE_ERROR;
};

// The kind of a failed command: its request's failure when it has one;
// otherwise the console's statuses (2 usage, 4 connect_failed, 5
// unknown_command, 70 internal), and invalid_answer for a code of the
// command's own (an answer it could not use).
FailureCause causeOf(const CommandResult& result);
// The kind of a request's failure.
FailureCause causeOf(const zorn::net::Failure& failure);
// A cause of the console's own.
FailureCause causeNamed(const char* kind);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
