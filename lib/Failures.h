#pragma once

// Turning the core's failures into orbitane::Error: the kind through the
// core's one table (net::kindOf), the result code, the base's error code.

#include <string>

#include "net/Failure.h"
#include "orbitane/Error.h"

namespace orbitane {
namespace detail {

// "status: 80008002: time-out: the base did not answer within 1000 ms".
Error errorOf(const zorn::net::Failure& failure, const std::string& what);
// A usage error (result 2): a bad argument, or a call the state refuses.
Error usageError(const std::string& message);

}  // namespace detail
}  // namespace orbitane
