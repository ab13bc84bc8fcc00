#pragma once

#include <string>

namespace zorn {
namespace orbitane {
namespace sim {

// A pseudo-terminal pair standing in for the base's serial port. The host
// opens the slave device (or the optional symlink to it) as its serial
// port; the simulator reads and writes the master. The simulator keeps a
// slave descriptor of its own open, so that the line stays up between two
// host programs and the master never reports a hang-up while nobody has
// the device open.
class PtyPort {
public:
    PtyPort() {}
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // link: path of a symlink to create to the slave device, or empty. An
    // existing symlink there is replaced; any other file is left alone and
    // the call fails.
    bool open(const std::string& link, std::string& error);
    // Closes both sides (the host sees the line drop) and removes the link
    // when it still points to this device.
    void close();

    int masterFd() const { return master_; }
    const std::string& path() const { return path_; }
    const std::string& link() const { return link_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string link_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
