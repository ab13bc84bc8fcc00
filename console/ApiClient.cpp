#include "console/ApiClient.h"

#include <cstring>

#include "app/ExitStatus.h"
#include "app/FailureKind.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

zorn::net::Failure failureOfWord(const std::string& cause, bool written, int32_t baseCode, int sysError,
                                 int64_t waitedMs = 0) {
    zorn::net::Failure failure;
    failure.waitedMs = waitedMs;
    if (!zorn::net::causeOfWord(cause, failure.cause)) failure.cause = zorn::net::Cause::InvalidAnswer;
    failure.written = written;
    failure.baseCode = baseCode;
    failure.sysError = sysError;
    return failure;
}

// The console's own word for a kind, as a constant CommandResult keeps.
const char* kindConstant(const std::string& kind) {
    static const char* const KINDS[] = {
        failure::TIMEOUT,        failure::BASE_ERROR,     failure::LINK_CLOSED, failure::LINK_FAILED,
        failure::INVALID_ANSWER, failure::NOT_SUPPORTED,  failure::USAGE,       failure::UNKNOWN_COMMAND,
        failure::CONNECT_FAILED, failure::HOST_NOT_FOUND, failure::INTERRUPTED, failure::OUTPUT_LOST,
        failure::INTERNAL};
    for (const char* known : KINDS) {
        if (kind == known) return known;
    }
    return failure::INTERNAL;
}

}  // namespace

CommandResult resultOf(const api::Error& error) {
    if (error.request()) return failureOf(error);
    if (error.kind() == api::kind::USAGE) return STATUS_COMMAND_USAGE;
    return CommandResult(error.result(), kindConstant(error.kind()));
}

zorn::net::Failure failureOf(const api::Error& error) {
    const auto& request = error.request();
    if (!request) return zorn::net::Failure::of(zorn::net::Cause::NotWritten);
    return failureOfWord(request->cause, request->written,
                         error.baseError() ? *error.baseError() : zorn::net::NO_BASE_CODE, request->systemError,
                         request->waitedMs);
}

zorn::net::Failure failureOf(const api::StopOutcome& stop) {
    return failureOfWord(stop.cause, stop.written, stop.base_error < 0 ? zorn::net::NO_BASE_CODE : stop.base_error, 0);
}

StopReport stopReportOf(const api::StopOutcome& stop) {
    StopReport report;
    report.sent = stop.sent;
    report.confirmed = stop.confirmed;
    report.result = stop.result;
    return report;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
