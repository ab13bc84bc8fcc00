#include "sim/SimOptions.h"

#include <cerrno>
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

// The whole of argv[i + 1] as a decimal integer from lo to hi; moves i on.
bool integerValue(int argc, const char* const* argv, int& i, unsigned long long lo, unsigned long long hi,
                  unsigned long long& out) {
    if (i + 1 >= argc) return false;
    const char* text = argv[i + 1];
    // strtoull would take "-1" as the largest number.
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || value < lo || value > hi) return false;
    out = value;
    ++i;
    return true;
}

// The whole of argv[i + 1] as a number from lo to hi; moves i on.
bool realValue(int argc, const char* const* argv, int& i, double lo, double hi, double& out) {
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    const double value = std::strtod(argv[i + 1], &end);
    if (end == argv[i + 1] || *end != '\0' || !(value >= lo && value <= hi)) return false;
    out = value;
    ++i;
    return true;
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
        } else if (word == "--replay") {
            if (i + 1 >= argc) {
                error = "--replay expects a capture file";
                return false;
            }
            o.replayFile = argv[++i];
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
        } else if (word == "--baud") {
            unsigned long long baud = 0;
            if (!integerValue(argc, argv, i, 1, 100000000, baud)) {
                error = "--baud expects a line speed from 1 to 100000000 baud";
                return false;
            }
            o.wire.baud = static_cast<int64_t>(baud);
        } else if (word == "--latency") {
            unsigned long long ms = 0;
            if (!integerValue(argc, argv, i, 0, 10000, ms)) {
                error = "--latency expects a whole number of milliseconds from 0 to 10000";
                return false;
            }
            o.wire.latencyMs = static_cast<int>(ms);
        } else if (word == "--bit-errors") {
            if (!realValue(argc, argv, i, 0.0, 1.0, o.wire.bitErrorRate)) {
                error = "--bit-errors expects a probability from 0 to 1";
                return false;
            }
        } else if (word == "--seed") {
            unsigned long long seed = 0;
            if (!integerValue(argc, argv, i, 0, ~0ULL, seed)) {
                error = "--seed expects a whole number from 0 to 18446744073709551615";
                return false;
            }
            o.wire.seed = seed;
        } else if (word == "--idle-timeout") {
            if (!realValue(argc, argv, i, 0.0, 86400.0, o.idleTimeoutSeconds)) {
                error = "--idle-timeout expects a number of seconds from 0 (never) to 86400";
                return false;
            }
        } else if (word == "--request-times") {
            o.requestTimes = true;
        } else if (word == "--help" || word == "-h") {
            o.help = true;
        } else if (word == "--version") {
            o.version = true;
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
           "       [--baud N] [--latency MS] [--bit-errors RATE] [--seed N] [--replay FILE]\n"
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
           "  --baud N            run the line at N baud (8N1, N/10 bytes a second) both\n"
           "                      ways, over TCP and the pty alike (default: unlimited)\n"
           "  --latency MS        hold the bytes sent to the host like a USB-serial\n"
           "                      adapter, until MS milliseconds passed or 64 gathered\n"
           "  --bit-errors RATE   flip each data bit on the line, both ways, with this\n"
           "                      probability (0 to 1); the state line counts them\n"
           "  --seed N            seed of the bit errors, to repeat a run (default 1)\n"
           "  --replay FILE       answer each request with what the capture FILE\n"
           "                      (orbitane_console --capture) recorded for the same\n"
           "                      request, in order and with its timing\n"
           "  --version           print the version and exit\n"
           "\n"
           "Without --tcp and --pty it serves TCP on 127.0.0.1:11331. Once listening it\n"
           "prints \"listening on tcp HOST:PORT\" and/or \"pty DEVICE\". SIGINT or SIGTERM\n"
           "stop it cleanly.\n"
           "SIGHUP and SIGQUIT stop it the same way. Every log line starts with the\n"
           "seconds since the start.\n"
           "\n"
           "  --idle-timeout SECONDS\n"
           "                      close a TCP connection on which the host sent nothing\n"
           "                      for this long, so that forgotten clients free their\n"
           "                      slot (default 600; 0: never)\n"
           "  --request-times     log a timing line per request, also with --quiet:\n"
           "                      \"timing: request 0xCC, N bytes, in at T ns; answer M\n"
           "                      bytes\", T on the monotonic clock when its last byte\n"
           "                      reached the base, for comparing with other programs\n";
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
