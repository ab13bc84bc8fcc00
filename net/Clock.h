#pragma once

#include <chrono>

#include "net/RequestKind.h"
#include "net/arch/Transport.h"

namespace zorn {
namespace net {

// Where the link, the motion guard and the drive controller read the time.
// Waits are the transport's (they take deadlines of this clock), so a test
// that gives a fake transport and a fake clock drives time instead of
// sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

// The steady clock of the process.
Clock& steadyClock();

// Nanoseconds of a duration, for arithmetic in plain integers.
inline int64_t nanos(Duration d) { return static_cast<int64_t>(d.count()); }

}  // namespace net
}  // namespace zorn
