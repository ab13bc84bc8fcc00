#include "console/DoctorReport.h"

#include "app/FailureKind.h"
#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "log/Log.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

namespace {

// The statuses are doctor's own: its failure object says what they mean.
const char* kindOfStatus(int status) {
    return status == STATUS_STATUS_LOSS     ? failure::TIMEOUT
           : status == STATUS_BAD_CHECKSUMS ? failure::INVALID_ANSWER
                                            : failure::CONNECT_FAILED;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

CommandResult DoctorReport::pass(const char* step, const std::string& detail, const Json::Value& extra) {
    StepVerdict verdict;
    verdict.detail = detail;
    verdict.extra = extra;
    return judge(step, verdict);
}

CommandResult DoctorReport::fail(const char* step, int status, const std::string& detail, const std::string& advice,
                                 const Json::Value& extra) {
    logError(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: FAILED: %s", step, detail.c_str());
    if (!advice.empty()) logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: what to do: %s", step, advice.c_str());
    emit(step, false, detail, advice, status, {}, extra);
    logError(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: stopped at the %s check (exit status %d)", step, status);
    summarise(step, status, detail);
    return CommandResult(status, kindOfStatus(status));
}

CommandResult DoctorReport::judge(const char* step, const StepVerdict& verdict) {
    if (!verdict.ok) return fail(step, verdict.status, verdict.detail, verdict.advice, verdict.extra);
    logInfo(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: ok: %s", step, verdict.detail.c_str());
    for (const DoctorWarning& warning : verdict.warnings) {
        logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: warning: %s", step, warning.detail.c_str());
        logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: what to do: %s", step, warning.advice.c_str());
    }
    emit(step, true, verdict.detail, "", 0, verdict.warnings, verdict.extra);
    ++passed_;
    if (!verdict.warnings.empty()) warned_.push_back(step);
    warnings_ += verdict.warnings.size();
    return 0;
}

CommandResult DoctorReport::passedAll() {
    logInfo(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: every check passed");
    summarise(std::string(), 0, std::string());
    return 0;
}

void DoctorReport::emit(const char* step, bool ok, const std::string& detail, const std::string& advice, int status,
                        const std::vector<DoctorWarning>& warnings, const Json::Value& extra) {
    // The step's log lines are written above in either mode, so its
    // reading has only the JSON object.
    Reading reading("doctor");
    reading["step"] = step;
    reading["ok"] = ok;
    reading["detail"] = detail;
    if (!ok) {
        reading["advice"] = advice;
        reading["status"] = status;
        // A failing step is doctor's failure object: it carries what every
        // failure object does.
        reading["error"] = std::string("stopped at the ") + step + " check";
        if (jsonOutput()) addResult(reading.object(), status, causeNamed(kindOfStatus(status)));
    }
    if (!warnings.empty() && jsonOutput()) {
        Json::Value list(Json::arrayValue);
        for (const DoctorWarning& warning : warnings) {
            Json::Value entry;
            entry["check"] = warning.check;
            entry["detail"] = warning.detail;
            entry["advice"] = warning.advice;
            list.append(entry);
        }
        reading.object()["warnings"] = list;
    }
    for (const std::string& name : extra.getMemberNames()) reading[name.c_str()] = extra[name];
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
}

void DoctorReport::summarise(const std::string& failedStep, int status, const std::string& detail) {
    std::string line = std::to_string(passed_) + (passed_ == 1 ? " step passed" : " steps passed");
    if (warnings_ > 0) {
        line += ", " + std::to_string(warnings_) + (warnings_ == 1 ? " warning (" : " warnings (") + joined(warned_) + ")";
    }
    if (!failedStep.empty()) line += "; the " + failedStep + " check failed: " + detail;
    if (failedStep.empty()) {
        logInfo(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: summary: %s", line.c_str());
    } else {
        logError(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: summary: %s", line.c_str());
    }
    if (!jsonOutput()) return;
    Reading reading("doctor");
    reading["summary"] = true;
    reading["passed"] = passed_;
    reading["warning_count"] = static_cast<Json::UInt64>(warnings_);
    Json::Value steps(Json::arrayValue);
    for (const std::string& step : warned_) steps.append(step);
    reading["warned_steps"] = steps;
    if (!failedStep.empty()) {
        reading["failed_step"] = failedStep;
        reading["status"] = status;
    }
    reading["text"] = line;
    emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
