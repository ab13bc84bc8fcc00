#include "sim/WarningLimiter.h"

namespace zorn {
namespace orbitane {
namespace sim {

WarningLimiter::WarningLimiter(int perWindow, int64_t windowNs)
    : perWindow_(perWindow > 0 ? perWindow : 1), windowNs_(windowNs > 0 ? windowNs : 1) {}

bool WarningLimiter::admit(const std::string& kind, int64_t nowNs) {
    auto found = kinds_.find(kind);
    if (found == kinds_.end()) found = kinds_.emplace(kind, Kind{nowNs, 0, 0}).first;
    Kind& k = found->second;
    // A new window; what was left out in the last one stays to be told.
    if (nowNs >= k.windowStartNs + windowNs_) {
        k.windowStartNs = nowNs;
        k.logged = 0;
    }
    if (k.logged < perWindow_) {
        ++k.logged;
        return true;
    }
    ++k.leftOut;
    return false;
}

std::string WarningLimiter::report(const std::string& kind, Kind& k) {
    std::string line = std::to_string(k.leftOut) + " more \"" + kind + "\" warning" + (k.leftOut == 1 ? "" : "s") +
                       " not logged (at most " + std::to_string(perWindow_) + " a second)";
    k.leftOut = 0;
    return line;
}

std::vector<std::string> WarningLimiter::takeReports(int64_t nowNs) {
    std::vector<std::string> lines;
    for (auto& entry : kinds_) {
        Kind& k = entry.second;
        if (k.leftOut > 0 && nowNs >= k.windowStartNs + windowNs_) lines.push_back(report(entry.first, k));
    }
    return lines;
}

std::vector<std::string> WarningLimiter::takeAllReports() {
    std::vector<std::string> lines;
    for (auto& entry : kinds_) {
        if (entry.second.leftOut > 0) lines.push_back(report(entry.first, entry.second));
    }
    return lines;
}

int64_t WarningLimiter::nextReportNs() const {
    int64_t next = -1;
    for (const auto& entry : kinds_) {
        const Kind& k = entry.second;
        const int64_t due = k.windowStartNs + windowNs_;
        if (k.leftOut > 0 && (next < 0 || due < next)) next = due;
    }
    return next;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
