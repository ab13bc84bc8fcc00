#pragma once

namespace zorn {
namespace orbitane {
namespace test {

// The statuses the console gives of its own (besides a command's result code).
enum ExitStatus : int {
    STATUS_OK = 0,
    STATUS_COMPONENT_USAGE = -1,  // no component named: its usage was printed (exits 255)
    STATUS_COMMAND_USAGE = 2,     // a command's arguments are missing or unparsable
    STATUS_NO_CONNECTION = 4,     // the channel could not be opened, or the base did not answer
    STATUS_USAGE = 5,             // the application's usage: option error, help, unknown command
    STATUS_INTERNAL_ERROR = 70,   // a command ended by an unexpected exception (a fault of the console)
};

// The operating system keeps only the low 8 bits of an exit status, so a
// failure code such as 0x80008000 would read as success. A non-zero result
// whose low 8 bits are 0 therefore exits with 1.
inline int toProcessStatus(int result) {
    int low = result & 0xFF;
    return (result != 0 && low == 0) ? 1 : low;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
