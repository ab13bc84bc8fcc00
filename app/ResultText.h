#pragma once

#include <cstdint>
#include <string>

#include "app/CommandResult.h"

namespace zorn {
namespace orbitane {
namespace test {

// One line that names a failed command's result in words, for the person
// reading the log: "80008002: time-out: the base did not answer within
// 1000 ms". `command` is the command word, since the self-test's result is a
// count of failed cases rather than a code.
std::string describeResult(int32_t result, const std::string& command);
// The same for a command's result: a request's failure in its own words
// ("80008001: operation failed: the base refused the request (error code 7)").
std::string describeResult(const CommandResult& result, const std::string& command);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
