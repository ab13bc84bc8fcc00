#include "app/FailureKind.h"

#include "app/ExitStatus.h"

namespace zorn {
namespace orbitane {
namespace test {

FailureCause causeNamed(const char* kind) {
    FailureCause cause;
    cause.kind = kind;
    return cause;
}

FailureCause causeOf(const zorn::net::Failure& failure) {
    FailureCause cause = causeNamed(zorn::net::kindOf(failure.cause));
    if (failure.cause == zorn::net::Cause::Refused || failure.cause == zorn::net::Cause::NotSupported) {
        cause.baseError = failure.baseCode;
    }
    return cause;
}

FailureCause causeOf(const CommandResult& result) {
    if (result.hasFailure()) return causeOf(result.failure());
    if (result.kind() != nullptr) return causeNamed(result.kind());
    switch (result.status()) {
        case STATUS_COMMAND_USAGE: return causeNamed(failure::USAGE);
        case STATUS_NO_CONNECTION: return causeNamed(failure::CONNECT_FAILED);
        case STATUS_USAGE: return causeNamed(failure::UNKNOWN_COMMAND);
        case STATUS_INTERNAL_ERROR: return causeNamed(failure::INTERNAL);
        default: return causeNamed(failure::INVALID_ANSWER);
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
