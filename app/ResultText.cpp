#include "app/ResultText.h"

#include <cstdio>

#include "app/ExitStatus.h"
#include "net/Failure.h"
#include "net/RequestKind.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

// Results of the control-bus path share this prefix; the low bits say which.
constexpr uint32_t CONTROL_BUS_FAILURE_MASK = 0xFFFF0000u;
constexpr uint32_t CONTROL_BUS_FAILURE_BASE = 0x80000000u;

std::string words(int32_t result, const std::string& command) {
    switch (result) {
        case net::RESULT_INVALID_DATA:
            return "invalid data: the base's answer was malformed or did not match the request";
        case net::RESULT_OPERATION_FAIL:
            return "operation failed: the request could not be sent, the link to the base broke, "
                   "or the base reported an error";
        case net::RESULT_OPERATION_TIMEOUT:
            return "time-out: the base did not answer within " +
                   std::to_string(net::REQUEST_TIMEOUT.count()) + " ms";
        case net::RESULT_OPERATION_NOT_SUPPORT:
            return "the base does not support this request";
        case net::RESULT_BUFFER_TOO_SMALL:
            return "buffer too small: the answer is larger than the space reserved for it";
        default:
            break;
    }
    if (command == "test" && result > 0) {
        return std::to_string(result) + (result == 1 ? " self-test case failed" : " self-test cases failed");
    }
    if (result == STATUS_COMMAND_USAGE) {
        return "usage error: the command's arguments are missing or cannot be read";
    }
    if (result == STATUS_USAGE) {
        return "unknown command: -h lists the commands";
    }
    if (result == STATUS_INTERNAL_ERROR) {
        return "internal error: the command ended by an unexpected exception (the line above names it)";
    }
    const uint32_t bits = static_cast<uint32_t>(result);
    if ((bits & CONTROL_BUS_FAILURE_MASK) == CONTROL_BUS_FAILURE_BASE) {
        return "unknown failure code of the control bus";
    }
    return "unknown result code: the lines above say what failed";
}

}  // namespace

std::string describeResult(int32_t result, const std::string& command) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(result));
    return std::string(code) + ": " + words(result, command);
}

std::string describeResult(const CommandResult& result, const std::string& command) {
    if (result.hasFailure() && result.status() == result.failure().result()) {
        return net::describeFailure(result.failure());
    }
    return describeResult(result.status(), command);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
