#include "net/Failure.h"

#include <cstdio>

namespace zorn {
namespace net {

namespace {

struct CauseRow {
    Cause cause;
    const char* word;
    int32_t result;
    const char* kind;
    const char* error;
    const char* words;
};

const CauseRow CAUSES[] = {
    {Cause::Timeout, "timeout", RESULT_OPERATION_TIMEOUT, "timeout", "timeout",
     "time-out: the base did not answer within 1000 ms"},
    {Cause::Refused, "refused", RESULT_OPERATION_FAIL, "base_error", "operation failed",
     "operation failed: the base refused the request"},
    {Cause::NotSupported, "not_supported", RESULT_OPERATION_NOT_SUPPORT, "not_supported", "not supported",
     "the base does not support this request"},
    {Cause::Corrupted, "corrupted", RESULT_INVALID_DATA, "invalid_answer", "invalid data",
     "invalid data: the answer failed its checksum (a noisy line?)"},
    {Cause::InvalidAnswer, "invalid_answer", RESULT_INVALID_DATA, "invalid_answer", "invalid data",
     "invalid data: the base's answer was malformed or did not match the request"},
    {Cause::LinkClosed, "link_closed", RESULT_OPERATION_FAIL, "link_closed", "operation failed",
     "operation failed: the base closed the connection"},
    {Cause::LinkFailed, "link_failed", RESULT_OPERATION_FAIL, "link_failed", "operation failed",
     "operation failed: the link to the base broke"},
    {Cause::Interrupted, "interrupted", RESULT_OPERATION_FAIL, "interrupted", "operation failed",
     "operation failed: a signal cut the request short"},
    {Cause::NotWritten, "not_written", RESULT_OPERATION_FAIL, "link_failed", "operation failed",
     "operation failed: the request could not be sent"},
};

const CauseRow& rowOf(Cause cause) {
    for (const CauseRow& row : CAUSES) {
        if (row.cause == cause) return row;
    }
    return CAUSES[4];
}

}  // namespace

int32_t resultOf(Cause cause) { return rowOf(cause).result; }

const char* kindOf(Cause cause) { return rowOf(cause).kind; }

const char* errorTextOf(Cause cause) { return rowOf(cause).error; }

const char* causeWordOf(Cause cause) { return rowOf(cause).word; }

bool causeOfWord(const std::string& word, Cause& cause) {
    for (const CauseRow& row : CAUSES) {
        if (word == row.word) {
            cause = row.cause;
            return true;
        }
    }
    return false;
}

std::string failureWords(const Failure& failure) {
    std::string words = rowOf(failure.cause).words;
    if (failure.cause == Cause::Timeout && !failure.written) {
        words = "time-out: the request could not be written in time (the link is stuck)";
    } else if (failure.cause == Cause::Timeout && failure.waitedMs > 0 && failure.waitedMs != 1000) {
        words = "time-out: the base did not answer within " + std::to_string(failure.waitedMs) + " ms";
    }
    if (failure.cause == Cause::Refused && failure.baseCode != NO_BASE_CODE) {
        words += " (error code " + std::to_string(failure.baseCode) + ")";
    }
    return words;
}

std::string describeFailure(const Failure& failure) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(failure.result()));
    return std::string(code) + ": " + failureWords(failure);
}

int32_t Failure::result() const { return resultOf(cause); }

}  // namespace net
}  // namespace zorn
