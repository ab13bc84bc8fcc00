#pragma once

// doctor's judgement of the link once it is open, one function per step:
// the evidence goes in, the step's verdict comes out (passed, passed with
// warnings, or failed with its exit status and advice). No I/O, so every
// verdict can be tried on made-up evidence.

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "console/DoctorEvidence.h"
#include "orbitane/Values.h"
#include "net/Failure.h"

namespace zorn {
namespace orbitane {
namespace test {

// Statuses of the steps past opening the link (those before, and the link
// steps here, give STATUS_NO_CONNECTION).
constexpr int STATUS_BAD_CHECKSUMS = 3;
constexpr int STATUS_STATUS_LOSS = 7;

// Shares of corrupted answers and of lost status requests a healthy link
// stays under.
constexpr double CORRUPTED_LIMIT = 0.01;
constexpr double LOSS_LIMIT = 0.01;
// A median round trip from this on is slow enough to be worth a word.
constexpr double SLOW_ROUND_TRIP_MS = 10.0;

// A passing step's word of caution.
struct DoctorWarning {
    std::string check;   // what it is about: "latency", "late_answers", "blank_identity", "echo"
    std::string detail;
    std::string advice;
};

struct StepVerdict {
    bool ok = true;
    int status = 0;      // a failing step's exit status
    std::string detail;
    std::string advice;  // a failing step's
    std::vector<DoctorWarning> warnings;
    Json::Value extra{Json::objectValue};  // further members of the step's JSON object
};

// How many corrupted (or lost) answers of `planned` requests a healthy
// link may have.
uint64_t corruptedAllowance(uint64_t planned);
// The requests so far show a noisy line, whatever the rest of the
// `planned` ones bring: answers came corrupted, and more answers were
// corrupted or lost than a healthy link may lose. A noisy line damages
// requests too, and the base drops those: so where answers come corrupted,
// the lost ones are counted with them.
bool noisyLine(const RequestTally& all, uint64_t planned);

// bytes: anything came back to the connect requests.
StepVerdict bytesVerdict(const LineEvidence& line, int attempts);
// peer: what came is the base's: not the console's own frames read back,
// not text.
StepVerdict peerVerdict(const LineEvidence& line);
// checksums: the corrupted (and, on a line that corrupts answers, the
// lost) answers of every request made, against what a healthy link has of
// `planned` requests.
StepVerdict checksumVerdict(const LineEvidence& line, const RequestTally& all, uint64_t planned);
// identity: the base answered the connect request (`identity` null when it
// did not, `failure` then says why, and `connects` how the tries ended),
// and its identity is not blank.
StepVerdict identityVerdict(const ::orbitane::Identity* identity, const zorn::net::Failure& failure,
                            const RequestTally& connects);
// status: the loss of the status run, its round trips, late answers.
StepVerdict statusVerdict(const LineEvidence& line, const RequestTally& run, bool cutShort);

// "12 of 200 answers corrupted (6 %)".
std::string rateText(uint64_t count, uint64_t of, const char* what);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
