#pragma once

// This process's threads as /proc shows them: their signal masks (signals
// are the main thread's, so every thread the program starts must block them
// all) and whether they sleep, for a test that acts while threads wait.

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>

namespace tests {
namespace support {

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

// Waits, up to `limit`, until at least `count` threads not in `before` run
// and all of them sleep in the kernel (state S: a wait, a poll, a read).
inline bool waitUntilNewThreadsSleep(const std::set<pid_t>& before, size_t count,
                                     std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t sleeping = 0, started = 0;
        for (pid_t tid : otherThreads()) {
            if (before.count(tid)) continue;
            ++started;
            std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
            std::string line;
            std::getline(stat, line);
            sleeping += line.find(") S ") != std::string::npos;  // the state follows the name
        }
        if (started >= count && sleeping == started) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

}  // namespace support
}  // namespace tests
