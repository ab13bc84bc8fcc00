#pragma once

// What monitor repeats: one command with its arguments, or a list of
// readings taken in turn, one round per interval ("status,motor,bumper").
// The reading commands are also what --csv writes.

#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

// A command that reads one thing from the base and sends nothing else:
// status, motor, sensor, bumper, beacon, identity, config.
bool isReadingCommand(const std::string& name);
// Their names: "status, motor, sensor, bumper, beacon, identity, config".
std::string readingCommandNames();

struct MonitorPlan {
    // The command lines of one round, in order; none when the words are wrong.
    std::vector<std::vector<std::string>> round;
    // Why the words cannot be repeated (a usage error); empty when they can.
    std::string error;
};

// The round of `args` ("monitor" first, then the command and its arguments,
// or a comma-separated list of readings without arguments). The checks of
// a single command (monitor, session, drive) are the monitor command's own.
MonitorPlan planMonitor(const std::vector<std::string>& args);

// Why --csv cannot write what the command line `args` makes (only readings
// have rows: a reading command, or monitor of readings), or "" when it can.
std::string csvRefusalFor(const std::vector<std::string>& args);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
