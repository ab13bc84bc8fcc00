#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/Scenario.h"

namespace zorn {
namespace orbitane {
namespace sim {

// Decides, request by request, which injected fault applies. Each rule
// counts the requests it matches, so "after" and "times" are counted per
// rule; the first rule whose window covers the request wins. One plan
// lives per host session, so counts start again with every connection.
class FaultPlan {
public:
    // The fault for the next request with `code`, or nullptr for none. The
    // pointer refers into `rules`.
    const FaultRule* next(const std::vector<FaultRule>& rules, int code);
    void reset() { seen_.clear(); }

private:
    std::vector<int64_t> seen_;  // matching requests seen, per rule index
};

// What happens to the answer of a faulted request.
struct FaultEffect {
    bool execute = true;     // the request takes effect on the base
    bool answer = true;      // an answer is sent
    bool corruptChecksum = false;
    bool closeLink = false;  // the link is closed instead of answering
    bool stall = false;      // the line is no longer read from this request on
    int64_t delayNs = 0;
    size_t noiseBytes = 0;   // line noise sent ahead of the answer
    bool noiseEndsMidFrame = false;  // the noise leaves the receiver inside a frame
};

FaultEffect effectOf(const FaultRule* rule);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
