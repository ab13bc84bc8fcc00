#pragma once

// The signal masks of this process's threads, from /proc: signals are the
// main thread's, so every thread the program starts must block them all.

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace orbitane {
namespace testsupport {

// Ids of this process's threads other than the main one.
inline std::set<pid_t> otherThreads() {
    std::set<pid_t> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (tid > 0 && tid != getpid()) tids.insert(tid);
        }
        closedir(dir);
    }
    return tids;
}

// The thread blocks every signal a thread can block (all but SIGKILL and
// SIGSTOP among the standard ones).
inline bool blocksEverySignal(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) != 0) continue;
        const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
        for (int sig = 1; sig < 32; ++sig) {
            if (sig != SIGKILL && sig != SIGSTOP && !(mask & (1ull << (sig - 1)))) return false;
        }
        return true;
    }
    return false;
}

}  // namespace testsupport
}  // namespace orbitane
