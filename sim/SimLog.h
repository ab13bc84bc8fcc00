#pragma once

#include <functional>
#include <string>

namespace zorn {
namespace orbitane {
namespace sim {

// Where the simulator's lines go: level (LOG_DEBUG .. LOG_FATAL of the
// project's log levels) and text. The library prints nothing by itself, so
// that an in-process simulator stays quiet unless its owner asks.
typedef std::function<void(int level, const std::string& line)> LogSink;

// Log source of the simulator's lines when they go through the log manager.
extern const std::string LOG_SOURCE_SIM;

// A sink that hands lines to the process-wide log manager.
LogSink logManagerSink();

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
