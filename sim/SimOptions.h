#pragma once

#include <cstdint>
#include <string>

#include "sim/WireLine.h"

namespace zorn {
namespace orbitane {
namespace sim {

// Command line of orbitane_base_sim.
struct SimOptions {
    bool tcp = false;
    std::string tcpHost = "127.0.0.1";
    uint16_t tcpPort = 11331;
    bool pty = false;
    std::string ptyLink;  // empty: no symlink
    std::string scenarioFile;
    std::string replayFile;  // empty: the device answers
    bool legacy = false;
    bool quiet = false;
    bool help = false;
    bool printScenario = false;
    bool version = false;  // --version: print the build's version and exit
    int maxClients = 4;            // TCP connections served at once
    double stateEverySeconds = 0;  // 0: no state lines
    WireSettings wire;             // --baud, --latency, --bit-errors, --seed
    // A TCP client that sent nothing for this long is closed; 0: never.
    double idleTimeoutSeconds = 600;
    // One machine-readable timing line per request (--request-times).
    bool requestTimes = false;
};

// Parses argv[1..argc-1]. Without --tcp and --pty the simulator serves TCP
// on 127.0.0.1:11331. False with `error` set on a bad command line.
bool parseSimOptions(int argc, const char* const* argv, SimOptions& out, std::string& error);

// The --help text.
std::string simUsage(const std::string& program);

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
