#pragma once

// What doctor saw of the link once it was open, in the form its verdicts
// (DoctorVerdicts.h) judge: what came over the line, and how each request
// it made ended. Kept apart from the link so that a verdict can be tried on
// any evidence, a wrong-speed line's included.

#include <cstdint>
#include <string>
#include <vector>

#include "net/Failure.h"
#include "net/Link.h"

namespace zorn {
namespace orbitane {
namespace test {

struct LineEvidence {
    bool serial = false;
    std::string port;              // the device (serial) or the TCP port
    std::string device;            // serial: the device's own name (ttyUSB0), "" when unknown
    uint64_t bytesIn = 0;          // every byte read
    uint64_t goodFrames = 0;       // frames whose checksum matched
    uint64_t badFrames = 0;        // frames whose checksum did not
    uint64_t answerFrames = 0;     // good frames with the ok or the error command
    uint64_t echoes = 0;           // frames read back as the console had written them
    std::vector<uint8_t> sample;   // the first bytes that came
    bool lineErrorsKnown = false;  // the serial driver keeps line-error counters
    uint64_t lineErrors = 0;       // framing, overrun, parity and break errors since the port opened
};

// How doctor's requests ended, one count per request.
struct RequestTally {
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t corrupted = 0;  // its answer failed the checksum, or it timed out while damaged bytes came
    uint64_t lost = 0;       // it timed out and nothing damaged came (or the link went)
    uint64_t refused = 0;    // an error answer
    uint64_t invalid = 0;    // an answer of a size the request cannot use
    uint64_t late = 0;       // answers dropped because they came after their request's time-out
    double latestLateMs = 0;   // how long after its request the latest of them came
    double longestLateMs = 0;  // ... and the longest
    std::vector<double> rttMs;  // of the answered requests, in order

    // One request: `failure` is null when it was answered (after `ms`);
    // `before` and `after` are the link's counts around it.
    void note(const zorn::net::Failure* failure, const zorn::net::LinkStats& before,
              const zorn::net::LinkStats& after, double ms);
    uint64_t unanswered() const { return sent - answered; }
    // The counts of both (the round trips are not merged).
    RequestTally& operator+=(const RequestTally& other);
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
