#include "console/DoctorChecks.h"

#include <dirent.h>
#include <glob.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

std::vector<std::string> globPaths(const char* pattern) {
    std::vector<std::string> paths;
    glob_t found;
    if (::glob(pattern, 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
    }
    ::globfree(&found);
    return paths;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string readLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool isNumber(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// The user is listed in the group file as a member of `gid`.
bool listedMember(gid_t gid) {
    const passwd* user = ::getpwuid(::getuid());
    const group* entry = ::getgrgid(gid);
    if (user == nullptr || entry == nullptr) return false;
    if (user->pw_gid == gid) return true;
    for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0) return true;
    }
    return false;
}

// The process runs with `gid` among its groups.
bool inProcessGroups(gid_t gid) {
    if (::getegid() == gid) return true;
    int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = ::getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

// The index of the pseudo-terminal whose master side /proc/PID/fdinfo/FD
// describes, or -1.
int masterIndex(const std::string& fdinfo) {
    std::ifstream in(fdinfo);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "tty-index:") == 0) return std::atoi(line.c_str() + 10);
    }
    return -1;
}

// A driver or subsystem name of a terminal device: tty, ttyS, ttyUSB, ttyACM,
// pts, the pseudo-terminal masters, ...
bool terminalDriver(const std::string& name) {
    return name.find("tty") != std::string::npos || name.find("pts") != std::string::npos ||
           name.find("ptm") != std::string::npos || name.find("serial") != std::string::npos ||
           name.find("console") != std::string::npos || name.compare(0, 7, "/dev/vc") == 0;
}

// The names /proc/devices gives the character devices of `major` (one
// major may serve several drivers), none when it lists none.
std::vector<std::string> characterDrivers(unsigned major) {
    std::vector<std::string> names;
    std::ifstream in("/proc/devices");
    std::string line;
    bool characters = false;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line.back() == ':') {
            characters = line == "Character devices:";
            continue;
        }
        if (!characters) continue;
        char name[64];
        unsigned number = 0;
        if (std::sscanf(line.c_str(), "%u %63s", &number, name) == 2 && number == major) names.emplace_back(name);
    }
    return names;
}

}  // namespace

std::string nonSerialDriver(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return "";
    const unsigned major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
    const std::string subsystem =
        readLink("/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/subsystem");
    if (!subsystem.empty()) {
        const std::string name = subsystem.substr(subsystem.rfind('/') + 1);
        return terminalDriver(name) ? std::string() : name;
    }
    const std::vector<std::string> names = characterDrivers(major);
    if (names.empty() || std::any_of(names.begin(), names.end(), terminalDriver)) return "";
    return names.front();
}

std::vector<std::string> serialDeviceCandidates() {
    std::vector<std::string> found;
    for (const std::string& link : globPaths("/dev/serial/by-id/*")) {
        found.push_back(link + " (" + realPath(link) + ")");
    }
    for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*"}) {
        for (const std::string& path : globPaths(pattern)) found.push_back(path);
    }
    return found;
}

AccessProblem checkDeviceAccess(const std::string& path) {
    AccessProblem problem;
    if (::access(path.c_str(), R_OK | W_OK) == 0) return problem;
    const int error = errno;
    if (error != EACCES && error != EPERM) return problem;  // the open itself will say
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        problem.detail = "you may not open " + path + " for reading and writing";
        problem.advice = "ask the administrator to give you access to the device";
        return problem;
    }
    const group* entry = ::getgrgid(st.st_gid);
    problem.group = entry != nullptr ? entry->gr_name : std::to_string(st.st_gid);
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 0777));
    problem.detail = "you may not open " + path + " for reading and writing (group " + problem.group + ", mode " +
                     mode + ")";
    if ((st.st_mode & 060) != 060) {
        problem.advice = "the device's group may not read and write it either: the device's mode must allow it "
                         "(a udev rule with MODE=\"0660\"), then add yourself to its group";
    } else if (listedMember(st.st_gid) && !inProcessGroups(st.st_gid)) {
        problem.advice = "you are in group " + problem.group +
                         " already, but this login began before you were added: log out and in again";
    } else {
        problem.advice = "add yourself to the device's group: sudo usermod -aG " + problem.group +
                         " $USER, then log out and in again";
    }
    return problem;
}

std::vector<DeviceHolder> deviceHolders(const std::string& path) {
    std::vector<DeviceHolder> holders;
    const std::string device = realPath(path);
    // The pseudo-terminal number when the device is one (/dev/pts/N).
    int ptyIndex = -1;
    if (device.compare(0, 9, "/dev/pts/") == 0 && isNumber(device.c_str() + 9)) {
        ptyIndex = std::atoi(device.c_str() + 9);
    }
    const pid_t self = ::getpid();
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return holders;
    while (const dirent* entry = ::readdir(proc)) {
        if (!isNumber(entry->d_name)) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid == self) continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (fds == nullptr) continue;  // gone, or another user's
        bool holds = false;
        bool farEnd = false;
        while (const dirent* fd = ::readdir(fds)) {
            if (!isNumber(fd->d_name)) continue;
            const std::string target = readLink(base + "/fd/" + fd->d_name);
            if (target == device) {
                holds = true;
            } else if (ptyIndex >= 0 && (target == "/dev/ptmx" || target == "/dev/pts/ptmx") &&
                       masterIndex(base + "/fdinfo/" + fd->d_name) == ptyIndex) {
                farEnd = true;
            }
        }
        ::closedir(fds);
        if (!holds || farEnd) continue;
        DeviceHolder holder;
        holder.pid = pid;
        std::ifstream comm(base + "/comm");
        std::getline(comm, holder.name);
        // comm keeps 15 characters: the program's own name is longer.
        std::ifstream cmdline(base + "/cmdline");
        std::string program;
        std::getline(cmdline, program, '\0');
        program = program.substr(program.rfind('/') == std::string::npos ? 0 : program.rfind('/') + 1);
        if (!holder.name.empty() && program.compare(0, holder.name.size(), holder.name) == 0) holder.name = program;
        holders.push_back(holder);
    }
    ::closedir(proc);
    std::sort(holders.begin(), holders.end(),
              [](const DeviceHolder& a, const DeviceHolder& b) { return a.pid < b.pid; });
    return holders;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
