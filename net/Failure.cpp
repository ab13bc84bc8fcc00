#include "net/Failure.h"

namespace zorn {
namespace net {

int32_t resultOf(Cause cause) {
    switch (cause) {
        case Cause::Timeout: return RESULT_OPERATION_TIMEOUT;
        case Cause::NotSupported: return RESULT_OPERATION_NOT_SUPPORT;
        case Cause::Corrupted:
        case Cause::InvalidAnswer: return RESULT_INVALID_DATA;
        case Cause::Refused:
        case Cause::LinkClosed:
        case Cause::LinkFailed:
        case Cause::Interrupted:
        case Cause::NotWritten: return RESULT_OPERATION_FAIL;
    }
    return RESULT_OPERATION_FAIL;
}

int32_t Failure::result() const { return resultOf(cause); }

}  // namespace net
}  // namespace zorn
