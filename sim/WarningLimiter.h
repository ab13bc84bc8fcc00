#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace sim {

// Keeps repeated warnings of one kind (a host sending broken frames, a host
// that does not read) to a few a second, so that a misbehaving host cannot
// flood the log, --quiet or not. Past `perWindow` lines of a kind within a
// window, lines of that kind are counted instead of logged, and a report
// line tells how many were left out.
class WarningLimiter {
public:
    static constexpr int kDefaultPerWindow = 5;
    static constexpr int64_t kDefaultWindowNs = 1000000000;

    explicit WarningLimiter(int perWindow = kDefaultPerWindow, int64_t windowNs = kDefaultWindowNs);

    // True when a warning of `kind` may be logged at nowNs; false when it
    // is counted instead.
    bool admit(const std::string& kind, int64_t nowNs);
    // A line for each kind whose left-out warnings are due to be told (the
    // window in which they were left out has ended by nowNs).
    std::vector<std::string> takeReports(int64_t nowNs);
    // Every count not told yet, such as when the simulator stops.
    std::vector<std::string> takeAllReports();
    // When the next report is due; -1 when nothing was left out.
    int64_t nextReportNs() const;

private:
    struct Kind {
        int64_t windowStartNs = 0;
        int logged = 0;
        uint64_t leftOut = 0;
    };
    std::string report(const std::string& kind, Kind& k);

    int perWindow_;
    int64_t windowNs_;
    std::map<std::string, Kind> kinds_;
};

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
