// orbitane_base_sim: a simulated motion base for the console.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "log/Log.h"
#include "sim/Replay.h"
#include "sim/Scenario.h"
#include "sim/SimLog.h"
#include "sim/SimOptions.h"
#include "sim/SimServer.h"
#include "sim/TimestampedLogAppender.h"

#ifndef ORBITANE_VERSION
#error "ORBITANE_VERSION is set by the build (CMakeLists.txt at the top)"
#endif

namespace sim = zorn::orbitane::sim;
namespace util = nivo::system::util;

namespace {

const char* signalName(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "SIGQUIT";
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Zero of the log's timestamps and of the scenario's timeline.
    const int64_t startNs = sim::SteadyClock().nowNs();
    const std::string program = "orbitane_base_sim";
    sim::SimOptions options;
    std::string error;
    if (!sim::parseSimOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), error.c_str(), sim::simUsage(program).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::simUsage(program).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", ORBITANE_VERSION);
        return 0;
    }
    if (options.printScenario) {
        std::fputs(sim::defaultScenarioText(), stdout);
        return 0;
    }

    sim::Scenario scenario = sim::defaultScenario();
    if (!options.scenarioFile.empty() && !sim::loadScenarioFile(options.scenarioFile, scenario, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 2;
    }
    if (options.legacy) scenario.legacyBase = true;
    std::shared_ptr<sim::ReplayScript> replay;
    if (!options.replayFile.empty()) {
        replay = std::make_shared<sim::ReplayScript>();
        if (!sim::ReplayScript::load(options.replayFile, *replay, error)) {
            std::fprintf(stderr, "%s: cannot replay %s\n", program.c_str(), error.c_str());
            return 2;
        }
    }

    // The stop signals are taken by sigwait below; block them before any
    // thread exists so that no other thread receives them. Every one of
    // them ends the simulator the same way, which also removes the link to
    // the pseudo-terminal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stopSignals, sig);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    auto manager = util::LogManager::defaultManager();
    // From here on everything the program prints goes through the appender,
    // which never blocks: a standard output that nobody reads must hold up
    // neither serving nor stopping.
    auto console = std::make_shared<sim::TimestampedLogAppender>(startNs);
    manager->addAppender(console);

    sim::SimServer server(scenario);
    // --quiet drops the line per request but keeps warnings and the state
    // and timing lines that were asked for.
    sim::LogSink toManager = sim::logManagerSink();
    const bool quiet = options.quiet;
    server.setLogSink([toManager, quiet](int level, const std::string& line) {
        if (quiet && level < util::LOG_WARN && line.rfind("state: ", 0) != 0 &&
            line.find(": timing: ") == std::string::npos)
            return;
        toManager(level, line);
    });
    server.setMaxClients(options.maxClients);
    server.setWire(options.wire);
    server.setIdleTimeout(static_cast<int64_t>(options.idleTimeoutSeconds * 1e9));
    server.setRequestTimes(options.requestTimes);
    if (replay) {
        server.setReplay(replay);
        toManager(util::LOG_INFO, "replaying " + std::to_string(replay->requestCount()) + " requests from " +
                                      options.replayFile);
    }
    // Left running for days, the program keeps a short history only.
    server.device().setHistoryLimit(sim::BaseDevice::kProgramHistory);
    if (options.stateEverySeconds > 0) {
        server.setStateInterval(static_cast<int64_t>(options.stateEverySeconds * 1e9));
    }
    if (options.tcp && !server.startTcp(options.tcpHost, options.tcpPort, &error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    if (options.pty && !server.startPty(options.ptyLink, &error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    // The ready lines, for scripts and tests waiting on the simulator.
    if (options.tcp) console->printBare("listening on tcp " + server.host() + ":" + std::to_string(server.port()));
    if (options.pty) {
        console->printBare("pty " + server.ptyPath());
        if (!options.ptyLink.empty()) console->printBare("link " + options.ptyLink + " -> " + server.ptyPath());
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    console->printBare(std::string("stopped on ") + signalName(received));
    console->finish();
    return 0;
}
