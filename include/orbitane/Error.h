#pragma once

// Every failure of the library is an orbitane::Error. It carries the same
// three things a failure object of the console's JSON carries: the kind (a
// word from a fixed list), the result code, and the code of the base's
// error answer where the base refused the request.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "orbitane/Export.h"

namespace orbitane {

// The kinds, as the console's JSON "kind" names them (docs/scripting.md).
// The library raises the first ten; the last three are the console's own
// and are listed so that a program can map every kind.
namespace kind {
constexpr const char* TIMEOUT = "timeout";                  // no answer within 1000 ms, or a write that did not go out in time
constexpr const char* BASE_ERROR = "base_error";            // the base refused the request with an error answer
constexpr const char* NOT_SUPPORTED = "not_supported";      // the base does not support the request
constexpr const char* INVALID_ANSWER = "invalid_answer";    // an answer was malformed, corrupted or unusable
constexpr const char* LINK_CLOSED = "link_closed";          // the base closed the TCP connection
constexpr const char* LINK_FAILED = "link_failed";          // the serial line went away, or a request could not be written
constexpr const char* CONNECT_FAILED = "connect_failed";    // the channel could not be opened, or no answer to the connect request
constexpr const char* HOST_NOT_FOUND = "host_not_found";    // the host name does not resolve
constexpr const char* USAGE = "usage";                      // a bad URI or argument, or a call the state refuses; nothing was sent
constexpr const char* INTERRUPTED = "interrupted";          // Base::interrupt() (a signal) cut the call short
constexpr const char* UNKNOWN_COMMAND = "unknown_command";  // the console's: no such command (the Python monitor of an unknown reading)
constexpr const char* OUTPUT_LOST = "output_lost";          // the console's: standard output could not be written
constexpr const char* INTERNAL = "internal";                // the console's: a fault of the program itself
}  // namespace kind

// The result codes of the request core, and the ones the console uses for
// a failed connection and a usage error.
namespace result {
constexpr int32_t OK = 0;
constexpr int32_t INVALID_DATA = static_cast<int32_t>(0x80008000u);
constexpr int32_t OPERATION_FAIL = static_cast<int32_t>(0x80008001u);
constexpr int32_t TIMEOUT = static_cast<int32_t>(0x80008002u);
constexpr int32_t NOT_SUPPORTED = static_cast<int32_t>(0x80008004u);
constexpr int32_t USAGE = 2;
constexpr int32_t NO_CONNECTION = 4;
}  // namespace result

// Where a request's failure came from, finer than its kind: the kinds
// invalid_answer and link_failed each stand for two causes.
struct RequestFailure {
    // "timeout", "refused", "not_supported", "corrupted" (a bad checksum),
    // "invalid_answer" (malformed, or not what the request asked for),
    // "link_closed", "link_failed", "interrupted", "not_written" (the
    // request could not be sent).
    std::string cause;
    // The request reached the line, so the base may have acted on it.
    bool written = false;
    // errno of the medium (link_failed, not_written), 0 when none.
    int systemError = 0;
    // How long a timeout waited for the answer, ms (the call's answer
    // time-out); 0 for other causes.
    int64_t waitedMs = 0;
};

class ORBITANE_API Error : public std::runtime_error {
public:
    Error(const std::string& kind, int32_t result, const std::string& message,
          std::optional<int> baseError = std::nullopt);
    // The failure of a request.
    Error(const std::string& kind, int32_t result, const std::string& message, std::optional<int> baseError,
          const RequestFailure& request);

    // One of the words of orbitane::kind.
    const std::string& kind() const noexcept { return kind_; }
    // The result code: negative for a failed request (80008002 for a
    // time-out), 2 for a usage error, 4 for a failed connection.
    int32_t result() const noexcept { return result_; }
    // "80008002": the result in 8 hex digits, as the console's log shows it.
    std::string resultHex() const;
    // The 16-bit code of the base's error answer (base_error,
    // not_supported), when it carried one.
    std::optional<int> baseError() const noexcept { return baseError_; }
    // Set when a request failed (every kind but usage, host_not_found and
    // the console's own; connect_failed when the connect request failed,
    // not the channel); empty for a failure of the library's own
    // judgement, an unusable configuration for one.
    const std::optional<RequestFailure>& request() const noexcept { return request_; }

private:
    std::string kind_;
    int32_t result_;
    std::optional<int> baseError_;
    std::optional<RequestFailure> request_;
};

}  // namespace orbitane
