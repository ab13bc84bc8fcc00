#pragma once

// What the doctor command finds out about a serial device from the operating
// system, before the console opens it: candidates for a missing device, the
// group that may open it, and the processes that hold it.

#include <sys/types.h>

#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

// Serial devices present now: /dev/serial/by-id/* (with the device each
// names), /dev/ttyUSB* and /dev/ttyACM*.
std::vector<std::string> serialDeviceCandidates();

// What kind of device `path` is when it is known to be no serial device
// (the subsystem or driver that owns it: "mem" for /dev/null), or "" when it
// is a terminal device or cannot be told. Read from /sys/dev/char and
// /proc/devices, without opening the device.
std::string nonSerialDriver(const std::string& path);

// Why the current user may not open `path` for reading and writing, and
// what to do; both empty when the user may.
struct AccessProblem {
    std::string group;   // the device's group, empty when unknown
    std::string detail;  // what is wrong
    std::string advice;  // what to do
    bool denied() const { return !detail.empty(); }
};
AccessProblem checkDeviceAccess(const std::string& path);

// A process that has the device open.
struct DeviceHolder {
    pid_t pid = 0;
    std::string name;  // from /proc/PID/comm
};
// Other processes that hold `path` open, found through /proc/*/fd. The
// owner of a pseudo-terminal's master side is the far end of that line, not
// a competitor, and is left out; so is this process.
std::vector<DeviceHolder> deviceHolders(const std::string& path);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
