#include "sim/PtyPort.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zorn {
namespace orbitane {
namespace sim {

PtyPort::~PtyPort() { close(); }

bool PtyPort::open(const std::string& link, std::string& error) {
    close();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) ::close(master);
        return false;
    }
    char name[128] = {0};
    if (::ptsname_r(master, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        ::close(master);
        return false;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        ::close(master);
        return false;
    }
    // A serial line carries bytes unchanged: no echo, no line editing, no
    // translation, whatever the host program sets up later.
    termios tio;
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);

    if (!link.empty()) {
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            error = "cannot create the link " + link + ": a file that is not a symlink is in the way";
            ::close(slave);
            ::close(master);
            return false;
        }
        // Replace an old link in one step.
        std::string temp = link + ".tmp" + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(name, temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
            error = "cannot create the link " + link + ": " + std::strerror(errno);
            ::unlink(temp.c_str());
            ::close(slave);
            ::close(master);
            return false;
        }
    }
    master_ = master;
    slave_ = slave;
    path_ = name;
    link_ = link;
    return true;
}

void PtyPort::close() {
    if (!link_.empty()) {
        char target[256] = {0};
        ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
        if (n > 0 && path_ == std::string(target, static_cast<size_t>(n))) ::unlink(link_.c_str());
    }
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = -1;
    master_ = -1;
    path_.clear();
    link_.clear();
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
