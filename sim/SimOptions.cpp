#include "sim/SimOptions.h"

#include <cstdlib>

#include "sim/LoopbackListener.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

// The optional value of an option: the next word unless it is an option.
bool optionalValue(int argc, const char* const* argv, int& i, std::string& value) {
    if (i + 1 < argc && argv[i + 1][0] != '-') {
        value = argv[++i];
        return true;
    }
    return false;
}

}  // namespace

bool parseSimOptions(int argc, const char* const* argv, SimOptions& out, std::string& error) {
    SimOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string value;
        if (word == "--tcp") {
            o.tcp = true;
            if (optionalValue(argc, argv, i, value)) {
                if (!parseHostPort(value, o.tcpHost, o.tcpPort)) {
                    error = "--tcp expects [HOST:]PORT with a port from 0 to 65535, not \"" + value + "\"";
                    return false;
                }
                if (!isLoopbackHost(o.tcpHost)) {
                    error = "--tcp only serves loopback addresses (127.x.x.x or localhost), not " + o.tcpHost;
                    return false;
                }
            }
        } else if (word == "--pty") {
            o.pty = true;
            if (optionalValue(argc, argv, i, value)) o.ptyLink = value;
        } else if (word == "--scenario" || word == "-s") {
            if (i + 1 >= argc) {
                error = word + " expects a scenario file";
                return false;
            }
            o.scenarioFile = argv[++i];
        } else if (word == "--legacy") {
            o.legacy = true;
        } else if (word == "--quiet" || word == "-q") {
            o.quiet = true;
        } else if (word == "--print-scenario") {
            o.printScenario = true;
        } else if (word == "--max-clients") {
            long clients = 0;
            char* end = nullptr;
            if (i + 1 < argc) clients = std::strtol(argv[i + 1], &end, 10);
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || clients < 1 || clients > 1000) {
                error = "--max-clients expects a number of connections from 1 to 1000";
                return false;
            }
            o.maxClients = static_cast<int>(clients);
            ++i;
        } else if (word == "--state-every") {
            double seconds = 0;
            char* end = nullptr;
            if (i + 1 < argc) seconds = std::strtod(argv[i + 1], &end);
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || !(seconds >= 0.001 && seconds <= 86400.0)) {
                error = "--state-every expects a number of seconds from 0.001 to 86400";
                return false;
            }
            o.stateEverySeconds = seconds;
            ++i;
        } else if (word == "--help" || word == "-h") {
            o.help = true;
        } else {
            error = "unknown argument " + word;
            return false;
        }
    }
    if (!o.tcp && !o.pty) o.tcp = true;
    out = o;
    return true;
}

std::string simUsage(const std::string& program) {
    return "Usage: " + program +
           " [--tcp [HOST:]PORT] [--pty [LINK]] [--scenario FILE] [--legacy] [--quiet]\n"
           "\n"
           "Simulates the robot's motion base (the Control Bus Device) for the console.\n"
           "\n"
           "  --tcp [HOST:]PORT   serve TCP connections, several at once (default\n"
           "                      127.0.0.1:11331); only loopback hosts; port 0 picks a\n"
           "                      free port\n"
           "  --pty [LINK]        create a pseudo-terminal to use as the serial port\n"
           "                      (-c serial -p <device>), optionally linked from LINK\n"
           "  -s, --scenario FILE robot, readings and injected faults as JSON (see\n"
           "                      --print-scenario for the built-in default)\n"
           "  --legacy            behave like an older base without binary configuration\n"
           "  -q, --quiet         do not log every request\n"
           "  --print-scenario    print the built-in default scenario and exit\n"
           "  -h, --help          show this text\n"
           "  --max-clients N     TCP connections served at once, all driving the one\n"
           "                      robot (default 4); one more is closed at once\n"
           "  --state-every SECONDS\n"
           "                      log the robot's state (wheel speeds, odometers, pose,\n"
           "                      readings) at this interval\n"
           "\n"
           "Without --tcp and --pty it serves TCP on 127.0.0.1:11331. Once listening it\n"
           "prints \"listening on tcp HOST:PORT\" and/or \"pty DEVICE\". SIGINT or SIGTERM\n"
           "stop it cleanly.\n"
           "SIGHUP and SIGQUIT stop it the same way. Every log line starts with the\n"
           "seconds since the start.\n";
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
