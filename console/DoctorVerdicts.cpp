#include "console/DoctorVerdicts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/ExitStatus.h"
#include "console/LineSample.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

// Bytes of the sample shown in a verdict.
constexpr size_t SHOWN_SAMPLE_BYTES = 32;
// A status exchange is a 5-byte request and a 6-byte answer, 10 bits a
// byte with 8N1 framing.
constexpr double STATUS_EXCHANGE_BITS = (5 + 6) * 10;
constexpr double SERIAL_BAUD = 115200;
// Line errors on at least this share of the bytes read point to a base at
// another speed rather than to noise, which spoils few bytes.
constexpr double WRONG_SPEED_ERROR_SHARE = 0.1;

const char* const SPEED_ADVICE =
    "wrong speed? The base must talk at 115,200 baud 8N1, the console's speed: check its setting (and that of a "
    "converter between); at another speed every byte arrives garbled";

std::string percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100.0);
    return text;
}

std::string millis(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

std::string seconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", ms / 1000.0);
    return text;
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

std::string count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

StepVerdict failed(int status, const std::string& detail, const std::string& advice) {
    StepVerdict v;
    v.ok = false;
    v.status = status;
    v.detail = detail;
    v.advice = advice;
    return v;
}

// The port counted line errors on enough of the bytes to point to a speed
// other than the console's.
bool speedSuspect(const LineEvidence& line) {
    if (!line.lineErrorsKnown || line.lineErrors == 0) return false;
    return static_cast<double>(line.lineErrors) >=
           WRONG_SPEED_ERROR_SHARE * static_cast<double>(std::max<uint64_t>(line.bytesIn, 1));
}

std::string lineErrorText(const LineEvidence& line) {
    return "the port counted " + count(line.lineErrors, "line error", "line errors") + " (framing, overrun, parity)";
}

void addLineErrors(const LineEvidence& line, Json::Value& extra) {
    if (line.lineErrorsKnown) extra["line_errors"] = static_cast<Json::UInt64>(line.lineErrors);
}

std::string noFramesAdvice(const LineEvidence& line) {
    if (!line.serial) {
        return "the bytes are garbled on the way: a serial-to-network bridge between may run at the wrong speed";
    }
    if (line.lineErrors > 0) return SPEED_ADVICE;
    return "what came is neither the base's frames nor text: another device on " + line.port +
           ", or a base at another speed" +
           (line.lineErrorsKnown ? std::string() : " (this port keeps no line-error counts that would tell)");
}

std::string noiseAdvice(const LineEvidence& line) {
    if (!line.serial) {
        return "the bytes are damaged on the way: the serial side of a serial-to-network bridge between is noisy; "
               "check its cable's shielding and ground, and its baud rate";
    }
    return "check the cable's shielding and ground, and the baud rate; a shorter cable, away from the motor wires, "
           "helps (a noisy line damages requests as well, and the base drops those: their answers are lost)";
}

}  // namespace

std::string rateText(uint64_t n, uint64_t of, const char* what) {
    const double share = of > 0 ? 100.0 * static_cast<double>(n) / static_cast<double>(of) : 0;
    char number[32];
    std::snprintf(number, sizeof number, "%.1f", share);
    std::string text = number;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
    return std::to_string(n) + " of " + std::to_string(of) + " " + what + " (" + text + " %)";
}

uint64_t corruptedAllowance(uint64_t planned) {
    return static_cast<uint64_t>(std::floor(CORRUPTED_LIMIT * static_cast<double>(planned)));
}

bool noisyLine(const RequestTally& all, uint64_t planned) {
    return all.corrupted > 0 && all.corrupted + all.lost > corruptedAllowance(planned);
}

StepVerdict bytesVerdict(const LineEvidence& line, int attempts) {
    const std::string requests = count(static_cast<uint64_t>(attempts), "connect request", "connect requests");
    if (line.bytesIn == 0 && line.lineErrors > 0) {
        return failed(STATUS_NO_CONNECTION,
                      "nothing readable came back to " + requests + ", but " + lineErrorText(line), SPEED_ADVICE);
    }
    if (line.bytesIn == 0) {
        return failed(STATUS_NO_CONNECTION, "nothing came back to " + requests,
                      line.serial ? "check that the base is powered, that " + line.port +
                                        " is the base's port and not another device's, and the wiring (TX to RX, "
                                        "RX to TX, ground to ground)"
                                  : "the connection is made but nothing answers: is port " + line.port +
                                        " the base's (it serves 11331), and is the base up?");
    }
    StepVerdict v;
    v.detail = std::to_string(line.bytesIn) + " bytes came back";
    v.extra["bytes"] = static_cast<Json::UInt64>(line.bytesIn);
    return v;
}

StepVerdict peerVerdict(const LineEvidence& line) {
    if (line.echoes > 0 && line.answerFrames == 0) {
        StepVerdict v = failed(
            STATUS_NO_CONNECTION,
            "every frame that came back (" + std::to_string(line.echoes) +
                ") is one the console had sent: TX is looped back to RX",
            line.serial ? "the console reads its own frames: a loopback plug or a jumper is on the port, or the "
                          "cable's TX is wired to its own RX; connect TX to the base's RX, RX to the base's TX and "
                          "ground to ground"
                        : "what listens at port " + line.port +
                              " sends back what it receives (an echo service, or a serial-to-network bridge whose "
                              "TX is looped to RX); give the base's port (11331) and check the bridge's wiring");
        v.extra["echoes"] = static_cast<Json::UInt64>(line.echoes);
        return v;
    }
    const TextReading text = readAsText(line.sample);
    if (text.text && line.answerFrames == 0) {
        const std::string sample = hexAndText(line.sample, SHOWN_SAMPLE_BYTES);
        StepVerdict v = failed(
            STATUS_NO_CONNECTION,
            "text came back, not frames" + (text.looksLike.empty() ? std::string() : ": it looks like " + text.looksLike) +
                "; it began: " + sample,
            line.serial ? "another device talks on " + line.port +
                              ", not the base: find the base's port (ls -l /dev/serial/by-id/) and give that one"
                        : "something other than the base serves port " + line.port +
                              ": give the base's port (it serves 11331) and address");
        v.extra["sample_hex"] = sample.substr(0, sample.find('|') - 1);
        v.extra["sample_text"] = printableText(line.sample, SHOWN_SAMPLE_BYTES);
        v.extra["looks_like"] = text.looksLike;
        return v;
    }
    StepVerdict v;
    v.detail = line.answerFrames > 0 ? "answers came, and none of the console's own frames was read back"
                                     : "neither the console's own frames read back nor text came";
    v.extra["echoes"] = static_cast<Json::UInt64>(line.echoes);
    if (line.echoes > 0) {
        v.warnings.push_back(DoctorWarning{
            "echo",
            "besides the base's answers, " + count(line.echoes, "frame", "frames") +
                " the console wrote came back as they were: the line echoes (TX also wired to RX, or a bus that "
                "hears its own sender)",
            "the console passes echoes over, but they take time on the line: wire TX to the base's RX only"});
    }
    return v;
}

StepVerdict checksumVerdict(const LineEvidence& line, const RequestTally& all, uint64_t planned) {
    Json::Value extra;
    extra["frames"] = static_cast<Json::UInt64>(line.goodFrames + line.badFrames);
    extra["bad_frames"] = static_cast<Json::UInt64>(line.badFrames);
    extra["requests"] = static_cast<Json::UInt64>(all.sent);
    extra["corrupted"] = static_cast<Json::UInt64>(all.corrupted);
    extra["lost"] = static_cast<Json::UInt64>(all.lost);
    extra["corrupted_rate"] =
        all.sent > 0 ? static_cast<double>(all.corrupted) / static_cast<double>(all.sent) : 0.0;
    addLineErrors(line, extra);
    const std::string errors = line.lineErrors > 0 ? "; " + lineErrorText(line) : std::string();

    StepVerdict v;
    if (line.goodFrames == 0 && line.badFrames == 0 && all.corrupted == 0) {
        v = failed(STATUS_BAD_CHECKSUMS, std::to_string(line.bytesIn) + " bytes came back but none formed a frame" + errors,
                   noFramesAdvice(line));
    } else if (line.goodFrames == 0 && line.badFrames > 0) {
        v = failed(STATUS_BAD_CHECKSUMS,
                   "every frame that came back (" + std::to_string(line.badFrames) + ") failed its checksum" + errors,
                   speedSuspect(line) ? SPEED_ADVICE : noiseAdvice(line));
    } else if (noisyLine(all, planned)) {
        const std::string lost = all.lost > 0 ? ", " + std::to_string(all.lost) + " lost" : std::string();
        v = failed(STATUS_BAD_CHECKSUMS,
                   rateText(all.corrupted, all.sent, "answers corrupted") + lost +
                       (speedSuspect(line) ? errors + ": wrong speed?" : ": the line is noisy" + errors),
                   speedSuspect(line) ? SPEED_ADVICE : noiseAdvice(line));
    } else {
        v.detail = rateText(all.corrupted, all.sent, "answers corrupted") +
                   (line.lineErrorsKnown ? "; " + lineErrorText(line) : std::string());
    }
    v.extra = extra;
    return v;
}

StepVerdict identityVerdict(const ::orbitane::Identity* identity, const zorn::net::Failure& failure,
                            const RequestTally& connects) {
    using zorn::net::Cause;
    const int attempts = static_cast<int>(connects.sent);
    if (identity == nullptr) {
        if (failure.cause == Cause::Refused || failure.cause == Cause::NotSupported) {
            return failed(STATUS_NO_CONNECTION,
                          "the base refused the connect request (error code " + std::to_string(failure.baseCode) + ")",
                          "the base answers but will not connect: restart the base, and check its firmware");
        }
        const std::string detail =
            "the base did not accept the connect request: " + std::string(zorn::net::errorTextOf(failure.cause));
        if (connects.late > 0) {
            return failed(STATUS_NO_CONNECTION,
                          detail + "; " + count(connects.late, "answer", "answers") +
                              " came after the 1 s time-out, the latest " + seconds(connects.latestLateMs) +
                              " after its request",
                          "the base answers, but too slowly: a busy base, or something on the way that holds the "
                          "bytes back (a bridge, an adapter's buffer)");
        }
        return failed(STATUS_NO_CONNECTION, detail,
                      "the device answers but not as the base does: is it the base? Restart the base");
    }
    StepVerdict v;
    const std::string serialNumber = identity->serial_number;
    const std::string model = identity->model;
    v.extra["model"] = model;
    v.extra["firmware_version"] = identity->firmware_version;
    v.extra["hardware_version"] = identity->hardware_version;
    v.extra["serial_number"] = serialNumber;
    v.extra["connect_attempts"] = attempts;
    v.detail = (model.empty() ? std::string("(no model)") : model) + ", firmware " + identity->firmware_version +
               ", hardware " + identity->hardware_version +
               ", serial " + serialNumber +
               (attempts > 1 ? " (connect answered at attempt " + std::to_string(attempts) + ")" : "");
    std::vector<std::string> blank;
    if (model.empty()) blank.push_back("an empty model");
    if (identity->firmware_version == "0.0") blank.push_back("firmware 0.0");
    if (serialNumber.find_first_not_of('0') == std::string::npos) blank.push_back("serial number 0");
    if (!blank.empty()) {
        std::string list;
        for (size_t i = 0; i < blank.size(); ++i) {
            list += (i == 0 ? "" : i + 1 == blank.size() ? " and " : ", ") + blank[i];
        }
        v.warnings.push_back(DoctorWarning{
            "blank_identity", "the base gave a blank identity: " + list,
            "the base's firmware may be unprogrammed or its identity erased; have it programmed before the base is "
            "used, and tell bases apart by something else meanwhile"});
    }
    return v;
}

StepVerdict statusVerdict(const LineEvidence& line, const RequestTally& run, bool cutShort) {
    std::vector<double> rtts = run.rttMs;
    std::sort(rtts.begin(), rtts.end());
    const uint64_t sent = std::max<uint64_t>(run.sent, 1);
    const double loss = static_cast<double>(run.unanswered()) / static_cast<double>(sent);
    const uint64_t answerFrames = run.answered + run.refused + run.invalid + run.corrupted;
    const double badShare =
        answerFrames > 0 ? static_cast<double>(run.corrupted) / static_cast<double>(answerFrames) : 0;
    Json::Value extra;
    extra["requests"] = static_cast<Json::UInt64>(run.sent);
    extra["answered"] = static_cast<Json::UInt64>(run.answered);
    extra["lost"] = static_cast<Json::UInt64>(run.lost);
    extra["refused"] = static_cast<Json::UInt64>(run.refused);
    extra["invalid"] = static_cast<Json::UInt64>(run.invalid);
    extra["corrupted"] = static_cast<Json::UInt64>(run.corrupted);
    extra["loss"] = loss;
    extra["bad_frames"] = static_cast<Json::UInt64>(run.corrupted);
    extra["checksum_failure_rate"] = badShare;
    extra["late"] = static_cast<Json::UInt64>(run.late);
    if (run.late > 0) {
        extra["latest_late_ms"] = run.latestLateMs;
        extra["longest_late_ms"] = run.longestLateMs;
    }
    std::string detail = std::to_string(run.sent) + " requests, " + std::to_string(run.answered) + " answered, loss " +
                         percent(loss) + ", checksum failures " + percent(badShare);
    StepVerdict v;
    double p50 = 0;
    if (!rtts.empty()) {
        p50 = percentile(rtts, 0.50);
        const double p95 = percentile(rtts, 0.95), max = rtts.back();
        extra["p50_ms"] = p50;
        extra["p95_ms"] = p95;
        extra["max_ms"] = max;
        detail += "; round trip p50 " + millis(p50) + ", p95 " + millis(p95) + ", max " + millis(max);
        if (line.serial) {
            const double wireMs = STATUS_EXCHANGE_BITS / SERIAL_BAUD * 1000.0;
            extra["wire_ms"] = wireMs;
            extra["wire_share"] = wireMs / p50;
            detail += "; the 110 bits of an exchange take " + millis(wireMs) + " at 115,200 baud, " +
                      percent(wireMs / p50) + " of the median round trip";
            if (wireMs > p50) detail += " (shorter than the wire time: not a 115,200-baud line, a pseudo-terminal?)";
        }
    }
    const std::string lateText =
        run.late > 0 ? count(run.late, "answer", "answers") + " came after the 1 s time-out, the latest " +
                           seconds(run.latestLateMs) + " after its request (the longest " +
                           seconds(run.longestLateMs) + "), and counted as lost"
                     : std::string();
    if (loss > LOSS_LIMIT) {
        const bool mostlyLate = run.late > 0 && 2 * run.late >= run.unanswered();
        v = failed(STATUS_STATUS_LOSS, detail + (lateText.empty() ? "" : "; " + lateText),
                   mostlyLate ? "the base answers, but too slowly: its answers come " + seconds(run.latestLateMs) +
                                    " after the request, past the console's 1 s time-out; a busy base, or something "
                                    "on the way that holds the bytes back (a bridge, an adapter's buffer)"
                   : rtts.empty() ? "the base answers the connect request but no status request: it may be busy or its "
                                    "firmware stuck; restart the base"
                   : cutShort ? "the base stopped answering after " + std::to_string(run.answered) +
                                    " answers: check the cable or the network and the base's power, then run doctor "
                                    "again"
                              : "answers are lost: a loaded base or a flaky link; run doctor again, and check the cable "
                                "or the network");
        v.extra = extra;
        return v;
    }
    v.detail = detail;
    v.extra = extra;
    if (!lateText.empty()) {
        v.warnings.push_back(DoctorWarning{
            "late_answers", lateText,
            "the base is slow to answer at times: a busy base, or something on the way that holds the bytes back"});
    }
    if (!rtts.empty() && p50 >= SLOW_ROUND_TRIP_MS) {
        const std::string slow = "round trip p50 " + millis(p50) + ", 10 ms or more";
        if (line.serial) {
            const std::string device = line.device.empty() ? "<device>" : line.device;
            v.warnings.push_back(DoctorWarning{
                "latency",
                slow + ": a USB serial adapter's latency timer holds back what it received (16 ms on many adapters)",
                "set the adapter's latency timer to 1 ms: echo 1 | sudo tee /sys/bus/usb-serial/devices/" + device +
                    "/latency_timer (a udev rule with ATTR{latency_timer}=\"1\" keeps it so after a re-plug)"});
        } else {
            v.warnings.push_back(DoctorWarning{
                "latency", slow + ": the network, or a serial-to-network bridge, holds the bytes back",
                "check the bridge's packing time (how long it gathers bytes before it sends them) and the network"});
        }
    }
    return v;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
