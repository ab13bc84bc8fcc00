#include "console/MonitorPlan.h"

#include <algorithm>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

const char* const READINGS[] = {"status", "motor", "sensor", "bumper", "beacon", "identity", "config"};

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        names.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return names;
        start = comma + 1;
    }
}

}  // namespace

bool isReadingCommand(const std::string& name) {
    return std::find(std::begin(READINGS), std::end(READINGS), name) != std::end(READINGS);
}

std::string readingCommandNames() {
    std::string names;
    for (const char* name : READINGS) names += (names.empty() ? "" : ", ") + std::string(name);
    return names;
}

MonitorPlan planMonitor(const std::vector<std::string>& args) {
    MonitorPlan plan;
    if (args.size() < 2) {
        plan.error = "monitor needs a command to repeat";
        return plan;
    }
    if (args[1].find(',') == std::string::npos) {
        plan.round.emplace_back(args.begin() + 1, args.end());
        return plan;
    }
    if (args.size() > 2) {
        plan.error = "monitor of several readings takes no arguments: monitor " + args[1];
        return plan;
    }
    for (const std::string& name : splitList(args[1])) {
        if (name.empty()) {
            plan.error = "monitor: the list " + args[1] + " has an empty name";
        } else if (!isReadingCommand(name)) {
            plan.error = "monitor repeats several commands only when each is a reading (" + readingCommandNames() +
                         "): " + name + " is not";
        }
        if (!plan.error.empty()) {
            plan.round.clear();
            return plan;
        }
        plan.round.push_back({name});
    }
    return plan;
}

std::string csvRefusalFor(const std::vector<std::string>& args) {
    if (args.empty() || isReadingCommand(args[0])) return std::string();
    const std::string why = "--csv writes the rows of readings: " + readingCommandNames() + ", and monitor of them";
    if (args[0] != "monitor") return why + "; not " + args[0];
    if (args.size() < 2) return std::string();  // monitor's own usage error says what is missing
    for (const std::string& name : splitList(args[1])) {
        if (!isReadingCommand(name)) return why + "; not monitor " + args[1];
    }
    return std::string();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
