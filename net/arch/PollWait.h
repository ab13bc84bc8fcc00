#pragma once

#include "net/arch/Transport.h"

namespace zorn {
namespace arch {
namespace net {

enum class PollResult { Ready, TimedOut, Woken, Failed };

// Waits until `fd` has one of `events`, the wake-up descriptor `wakeFd`
// (-1: none) is readable, or `deadline` passes; `revents` gets the events
// of `fd`. A signal that interrupts the wait is looked at again (its
// handler makes the wake-up descriptor readable when it must end the wait).
// TimedOut only once the deadline has really passed: the wait is rounded up
// to whole milliseconds. `error` is the errno of a failed wait.
PollResult pollUntil(int fd, short events, int wakeFd, TimePoint deadline, short& revents, int& error);

}  // namespace net
}  // namespace arch
}  // namespace zorn
