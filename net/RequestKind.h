#pragma once

#include <chrono>
#include <cstdint>


namespace zorn {
namespace net {

using Duration = std::chrono::nanoseconds;

// The payload size a request's answer has. Error answers fit every request.
struct AnswerShape {
    bool anySize = true;
    uint32_t size = 0;
    static AnswerShape any() { return AnswerShape(); }
    static AnswerShape of(uint32_t bytes) { return AnswerShape{false, bytes}; }
    bool fits(uint32_t bytes) const { return anySize || bytes == size; }
    // A known size, and `bytes` is it.
    bool knownAs(uint32_t bytes) const { return !anySize && bytes == size; }
};

// What a request does to the base's motion.
enum class Motion {
    None,   // reads or sets something else
    Moves,  // may set the base moving: never written once a stop is requested
    Stops,  // the stop request: always written, its answer confirms the stop
};

// The ordinary time-out of a request.
constexpr std::chrono::milliseconds REQUEST_TIMEOUT{1000};

struct RequestKind {
    AnswerShape answer;
    Motion motion = Motion::None;
    // How long the request waits for its answer.
    Duration timeout = REQUEST_TIMEOUT;
};

}  // namespace net
}  // namespace zorn
