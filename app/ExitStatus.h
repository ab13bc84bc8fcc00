#pragma once

namespace zorn {
namespace orbitane {
namespace test {

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
