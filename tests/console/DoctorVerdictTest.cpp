// doctor's verdicts on made-up evidence: one table of link faults, each
// with the step's verdict (passed, passed with a warning, failed with its
// status) and the words that must be in it. The faults a simulator cannot
// make (a base at another speed, whose port counts line errors) are here.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "console/DoctorVerdicts.h"

namespace {

using namespace zorn::orbitane::test;

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

LineEvidence serialLine() {
    LineEvidence line;
    line.serial = true;
    line.port = "/dev/ttyUSB0";
    line.device = "ttyUSB0";
    line.bytesIn = 6400;
    line.goodFrames = 200;
    line.answerFrames = 200;
    return line;
}

LineEvidence tcpLine() {
    LineEvidence line = serialLine();
    line.serial = false;
    line.port = "80";
    line.device.clear();
    return line;
}

// A line that brought `bytes` and nothing framed.
LineEvidence unframed(LineEvidence line, const std::vector<uint8_t>& bytes) {
    line.bytesIn = bytes.size();
    line.sample = bytes;
    line.goodFrames = line.answerFrames = 0;
    return line;
}

RequestTally tally(uint64_t sent, uint64_t corrupted, uint64_t lost = 0, double rttMs = 0.5) {
    RequestTally t;
    t.sent = sent;
    t.corrupted = corrupted;
    t.lost = lost;
    t.answered = sent - corrupted - lost;
    t.rttMs.assign(t.answered, rttMs);
    return t;
}

orbitane::Identity identity(const char* model, const char* firmware, const char* serial) {
    orbitane::Identity id;
    id.model = model;
    id.firmware_version = firmware;
    id.hardware_version = "3.0";
    id.serial_number = serial;
    return id;
}

struct VerdictCase {
    const char* name;
    std::function<StepVerdict()> judge;
    int status;            // 0: the step passes
    const char* says;      // in the detail (and the advice of a failed step)
    const char* warning;   // the check of its one warning, nullptr for none
    const char* notSaid;   // must not be said, nullptr for nothing
};

const VerdictCase kCases[] = {
    {"NothingCame", [] { return bytesVerdict(unframed(serialLine(), {}), 3); }, 4,
     "nothing came back to 3 connect requests", nullptr, "speed"},
    {"WrongSpeedDropsEveryRead",
     [] {
         LineEvidence line = unframed(serialLine(), {});
         line.lineErrorsKnown = true;
         line.lineErrors = 40;
         return bytesVerdict(line, 3);
     },
     4, "40 line errors (framing, overrun, parity) / wrong speed?", nullptr, nullptr},
    {"TxLoopedBackToRx",
     [] {
         LineEvidence line = unframed(serialLine(), std::vector<uint8_t>(64, 0x10));
         line.goodFrames = line.echoes = 3;
         return peerVerdict(line);
     },
     4, "(3) is one the console had sent: TX is looped back to RX / loopback plug", nullptr, "restart"},
    {"EchoServiceOverTcp",
     [] {
         LineEvidence line = unframed(tcpLine(), std::vector<uint8_t>(64, 0x10));
         line.goodFrames = line.echoes = 3;
         return peerVerdict(line);
     },
     4, "TX is looped back to RX / an echo service", nullptr, nullptr},
    {"WebServer", [] { return peerVerdict(unframed(tcpLine(), bytesOf("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"))); },
     4, "it looks like an HTTP server / it began: 48 54 54 50 2f 31 2e 31 20 34 30 30 / |HTTP/1.1 400 Bad Request..Conten|",
     nullptr, nullptr},
    {"GpsReceiver",
     [] { return peerVerdict(unframed(serialLine(), bytesOf("47,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n$GPGSA,A,3,04,05"))); },
     4, "NMEA sentences / another device talks on /dev/ttyUSB0", nullptr, nullptr},
    {"LoginShell", [] { return peerVerdict(unframed(serialLine(), bytesOf("\r\nWelcome to robot7 (ttyS0)\r\n\r\nrobot7 login: "))); },
     4, "a login prompt", nullptr, nullptr},
    {"EchoingLineBesideAnswers",
     [] {
         LineEvidence line = serialLine();
         line.echoes = 201;
         return peerVerdict(line);
     },
     0, "answers came", "echo", nullptr},
    {"BinaryGarbageIsLeftToTheChecksums", [] { return peerVerdict(unframed(serialLine(), {0x8f, 0x01, 0xe3, 0x00, 0x9c, 0x77, 0xfe, 0x12})); },
     0, "neither", nullptr, nullptr},
    {"WrongSpeedGarblesEveryByte",
     [] {
         LineEvidence line = unframed(serialLine(), {0x8f, 0x01, 0xe3, 0x00});
         line.bytesIn = 600;
         line.lineErrorsKnown = true;
         line.lineErrors = 500;
         return checksumVerdict(line, tally(3, 0, 3), 3);
     },
     3, "600 bytes came back but none formed a frame; the port counted 500 line errors / wrong speed?", nullptr, nullptr},
    {"GarbageWithoutLineErrorCounts",
     [] { return checksumVerdict(unframed(serialLine(), {0x8f, 0x01, 0xe3, 0x00}), tally(3, 0, 3), 3); },
     3, "4 bytes came back but none formed a frame / another device on /dev/ttyUSB0, or a base at another speed",
     nullptr, "wrong speed?"},
    {"NoisyLine",
     [] {
         LineEvidence line = serialLine();
         line.badFrames = 10;
         return checksumVerdict(line, tally(200, 12, 9), 200);
     },
     3, "12 of 200 answers corrupted (6 %), 9 lost: the line is noisy / shielding and ground, and the baud rate",
     nullptr, "wrong speed?"},
    {"NoisyLineWhosePortCountsFewErrors",
     [] {
         LineEvidence line = serialLine();
         line.lineErrorsKnown = true;
         line.lineErrors = 12;
         return checksumVerdict(line, tally(200, 12), 200);
     },
     3, "the line is noisy; the port counted 12 line errors", nullptr, "wrong speed?"},
    {"BaseAtAnotherSpeedWithSomeFrames",
     [] {
         LineEvidence line = serialLine();
         line.lineErrorsKnown = true;
         line.lineErrors = 3000;
         return checksumVerdict(line, tally(200, 80), 200);
     },
     3, "80 of 200 answers corrupted (40 %) / wrong speed?", nullptr, nullptr},
    {"LossBesideCorruptionIsTheLinesToo", [] { return checksumVerdict(serialLine(), tally(120, 1, 2), 201); }, 3,
     "1 of 120 answers corrupted (0.8 %), 2 lost: the line is noisy / the base drops those", nullptr, nullptr},
    {"LossWithoutCorruptionIsLeftToTheStatusRun", [] { return checksumVerdict(serialLine(), tally(201, 0, 5), 201); },
     0, "0 of 201 answers corrupted (0 %)", nullptr, nullptr},
    {"TwoCorruptedOfTwoHundredPass", [] { return checksumVerdict(serialLine(), tally(201, 2), 201); }, 0,
     "2 of 201 answers corrupted (1 %)", nullptr, nullptr},
    {"FewFramesMostlyBad",
     [] {
         LineEvidence line = serialLine();
         line.badFrames = 2;
         return checksumVerdict(line, tally(3, 2), 3);
     },
     3, "2 of 3 answers corrupted (66.7 %)", nullptr, nullptr},
    {"BlankIdentity",
     [] {
         const orbitane::Identity id = identity("", "0.0", "000000000000000000000000");
         return identityVerdict(&id, zorn::net::Failure(), tally(1, 0));
     },
     0, "(no model), firmware 0.0, hardware 3.0, serial 000000000000000000000000", "blank_identity", nullptr},
    {"ConnectRefused",
     [] {
         zorn::net::Failure refused = zorn::net::Failure::of(zorn::net::Cause::Refused, true);
         refused.baseCode = 7;
         return identityVerdict(nullptr, refused, tally(1, 0, 1));
     },
     4, "refused the connect request (error code 7)", nullptr, nullptr},
    {"ConnectAnsweredTooLate",
     [] {
         RequestTally connects = tally(3, 0, 3);
         connects.late = 2;
         connects.latestLateMs = connects.longestLateMs = 1250;
         return identityVerdict(nullptr, zorn::net::Failure::of(zorn::net::Cause::Timeout, true), connects);
     },
     4, "2 answers came after the 1 s time-out, the latest 1.25 s after its request / too slowly", nullptr, "Restart"},
    {"SlowAdapter", [] { return statusVerdict(serialLine(), tally(200, 0, 0, 16.2), false); }, 0,
     "round trip p50 16.20 ms", "latency", nullptr},
    {"EveryAnswerLate",
     [] {
         RequestTally run = tally(3, 0, 3);
         run.late = 2;
         run.latestLateMs = 1500;
         run.longestLateMs = 1520;
         return statusVerdict(tcpLine(), run, true);
     },
     7, "2 answers came after the 1 s time-out, the latest 1.50 s after its request (the longest 1.52 s) / too slowly",
     nullptr, nullptr},
    {"OneLateAnswer",
     [] {
         RequestTally run = tally(200, 0, 1);
         run.late = 1;
         run.latestLateMs = run.longestLateMs = 1200;
         return statusVerdict(tcpLine(), run, false);
     },
     0, "200 requests, 199 answered", "late_answers", nullptr},
    {"HealthyStatusRun", [] { return statusVerdict(tcpLine(), tally(200, 0), false); }, 0,
     "200 requests, 200 answered, loss 0.0%", nullptr, nullptr},
};

void PrintTo(const VerdictCase& c, std::ostream* out) { *out << c.name; }

class DoctorVerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(DoctorVerdictTest, SaysWhatTheEvidenceShows) {
    const VerdictCase& c = GetParam();
    const StepVerdict v = c.judge();
    EXPECT_EQ(v.ok, c.status == 0) << v.detail;
    EXPECT_EQ(v.status, c.status) << v.detail;
    const std::string said = v.detail + " / " + v.advice;
    const std::string says = c.says;
    for (size_t from = 0; from < says.size();) {
        const size_t to = std::min(says.find(" / ", from), says.size());
        EXPECT_NE(said.find(says.substr(from, to - from)), std::string::npos) << said;
        from = to + 3;
    }
    if (c.notSaid != nullptr) {
        EXPECT_EQ(said.find(c.notSaid), std::string::npos) << said;
    }
    if (c.warning == nullptr) {
        EXPECT_TRUE(v.warnings.empty()) << v.warnings.front().detail;
    } else {
        ASSERT_EQ(v.warnings.size(), 1u) << said;
        EXPECT_EQ(v.warnings[0].check, c.warning);
        EXPECT_FALSE(v.warnings[0].advice.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DoctorVerdictTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

TEST(DoctorVerdict, LatencyAdviceNamesTheAdaptersTimer) {
    const StepVerdict v = statusVerdict(serialLine(), tally(200, 0, 0, 16.2), false);
    ASSERT_EQ(v.warnings.size(), 1u);
    EXPECT_NE(v.warnings[0].advice.find("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"), std::string::npos)
        << v.warnings[0].advice;
}

}  // namespace
