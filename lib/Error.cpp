#include <cstdio>

#include "lib/Failures.h"
#include "orbitane/Error.h"

namespace orbitane {

Error::Error(const std::string& kind, int32_t result, const std::string& message, std::optional<int> baseError)
    : std::runtime_error(message), kind_(kind), result_(result), baseError_(baseError) {}

Error::Error(const std::string& kind, int32_t result, const std::string& message, std::optional<int> baseError,
             const RequestFailure& request)
    : std::runtime_error(message), kind_(kind), result_(result), baseError_(baseError), request_(request) {}

std::string Error::resultHex() const {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(result_));
    return text;
}

namespace detail {

Error errorOf(const zorn::net::Failure& failure, const std::string& what) {
    std::optional<int> baseError;
    const bool refused = failure.cause == zorn::net::Cause::Refused || failure.cause == zorn::net::Cause::NotSupported;
    if (refused && failure.baseCode != zorn::net::NO_BASE_CODE) baseError = failure.baseCode;
    RequestFailure request;
    request.cause = zorn::net::causeWordOf(failure.cause);
    request.written = failure.written;
    request.systemError = failure.sysError;
    request.waitedMs = failure.waitedMs;
    return Error(zorn::net::kindOf(failure.cause), failure.result(), what + ": " + zorn::net::describeFailure(failure),
                 baseError, request);
}

Error usageError(const std::string& message) { return Error(kind::USAGE, result::USAGE, message); }

}  // namespace detail
}  // namespace orbitane
