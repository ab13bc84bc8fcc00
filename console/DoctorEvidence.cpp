#include "console/DoctorEvidence.h"

#include <algorithm>
#include <chrono>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

double millisOf(zorn::net::Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

void RequestTally::note(const zorn::net::Failure* failure, const zorn::net::LinkStats& before,
                        const zorn::net::LinkStats& after, double ms) {
    using zorn::net::Cause;
    ++sent;
    if (after.lateAnswers > before.lateAnswers) {
        late += after.lateAnswers - before.lateAnswers;
        latestLateMs = millisOf(after.latestLate);
        longestLateMs = std::max(longestLateMs, latestLateMs);
    }
    if (failure == nullptr) {
        ++answered;
        rttMs.push_back(ms);
        return;
    }
    // Damage seen while the request waited: a frame the checksum rejected,
    // a frame start given up, bytes outside any frame.
    const bool damage = after.corrupted > before.corrupted || after.abandonedStarts > before.abandonedStarts ||
                        after.skippedBytes > before.skippedBytes;
    switch (failure->cause) {
        case Cause::Corrupted: ++corrupted; break;
        case Cause::Timeout: ++(damage ? corrupted : lost); break;
        case Cause::Refused:
        case Cause::NotSupported: ++refused; break;
        case Cause::InvalidAnswer: ++invalid; break;
        default: ++lost; break;
    }
}

RequestTally& RequestTally::operator+=(const RequestTally& other) {
    sent += other.sent;
    answered += other.answered;
    corrupted += other.corrupted;
    lost += other.lost;
    refused += other.refused;
    invalid += other.invalid;
    late += other.late;
    if (other.late > 0) latestLateMs = other.latestLateMs;
    longestLateMs = std::max(longestLateMs, other.longestLateMs);
    return *this;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
