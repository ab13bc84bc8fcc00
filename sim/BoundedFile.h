#pragma once

#include <cstddef>
#include <string>

namespace zorn {
namespace orbitane {
namespace sim {

// Reads the whole of the file at `path` into `out` when it holds at most
// `limit` bytes. Never reads more than limit + 1 bytes, whatever the file
// is: a device that never ends (/dev/zero) or a pipe is refused as soon as
// it passes the limit, and a regular file larger than the limit before a
// byte is read. False with `error` set otherwise ("PATH: refused, larger
// than 4 MiB", "PATH: No such file or directory").
bool readBoundedFile(const std::string& path, size_t limit, std::string& out, std::string& error);

// "4 MiB", "512 KiB" or "100 bytes": a limit as the error messages say it.
std::string describeSize(size_t bytes);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
