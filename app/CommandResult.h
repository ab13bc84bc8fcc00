#pragma once

// What a command came to, carried up to main: its status, the Failure that
// says why a request failed (so the result code, the exit status, the JSON
// "kind" and the words all come from the one place it happened), and for a
// command that moved the base, what came of its stop.

#include <cstdint>
#include <string>

#include "net/Failure.h"

namespace zorn {
namespace orbitane {
namespace test {

// The stop of a command that moved the base.
struct StopReport {
    bool sent = false;
    bool confirmed = false;
    int32_t result = 0;  // the stop's result code (RESULT_OK when confirmed)
};

class CommandResult {
public:
    // 0, a command's own status or result code, or one of the console's
    // statuses (ExitStatus.h).
    CommandResult(int status = 0) : status_(status) {}
    // A request failed, and the command with it.
    CommandResult(const zorn::net::Failure& failure) : status_(failure.result()), failure_(failure), hasFailure_(true) {}
    // A status of the command's own (the self-test's count) whose cause is
    // a request's failure.
    CommandResult(int status, const zorn::net::Failure& failure)
        : status_(status), failure_(failure), hasFailure_(true) {}

    // A status of the command's own whose cause has a kind of its own
    // (FailureKind.h): the doctor's steps, a self-test case that threw.
    CommandResult(int status, const char* kind) : status_(status), kind_(kind) {}

    int status() const { return status_; }
    // The kind the command named, null when it named none.
    const char* kind() const { return kind_; }
    bool ok() const { return status_ == 0; }
    bool hasFailure() const { return hasFailure_; }
    const zorn::net::Failure& failure() const { return failure_; }

    // The command a failure belongs to when it is not the one the line
    // ran: the reading that failed inside monitor. Empty: the line's own.
    CommandResult& withCommand(const std::string& command) {
        command_ = command;
        return *this;
    }
    const std::string& command() const { return command_; }

    CommandResult& withStop(const StopReport& stop) {
        stop_ = stop;
        return *this;
    }
    const StopReport& stop() const { return stop_; }

private:
    int status_;
    zorn::net::Failure failure_;
    bool hasFailure_ = false;
    const char* kind_ = nullptr;
    std::string command_;
    StopReport stop_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
