// The doctor command: checks the link to the base step by step, stops at the
// first step that fails and says what to do about it.
//
// Serial: the device exists and is a serial device, the user may open it,
// no other process holds it, it opens at 115,200 8N1. TCP: the host is a
// numeric IPv4 address or a name that resolves, the connection is made.
// Then, for both: bytes come back, they are the base's (not the console's
// own frames read back, not text), few answers are corrupted, the base
// answers the connect request with its identity, and a run of status
// requests shows the round trip, the loss and late answers. The verdicts
// past the link's opening are in DoctorVerdicts.*, the report in
// DoctorReport.*.
#include <limits.h>
#include <stdlib.h>
#include <json/json.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "console/ChannelFactory.h"
#include "console/DoctorChecks.h"
#include "console/DoctorReport.h"
#include "console/DoctorVerdicts.h"
#include "console/DoctorWatch.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "log/Log.h"
#include "net/Link.h"
#include "net/Result.h"
#include "net/Socket.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

namespace {

constexpr uint64_t DEFAULT_STATUS_REQUESTS = 200;
// Connect requests tried before doctor judges a line that brings nothing
// back, and at most on a line whose answers come damaged.
constexpr int CONNECT_ATTEMPTS = 3;
constexpr int NOISY_CONNECT_ATTEMPTS = 10;
// Status requests that time out in a row before the run is given up: a
// base that stopped answering (or a decoder lost in a frame whose length a
// noisy line garbled) would otherwise cost a second a request.
constexpr uint64_t SILENT_IN_A_ROW = 3;

// The line-error counters of the port when the link was made, before its
// first frame.
struct LineErrorBaseline {
    bool known = false;
    uint64_t count = 0;
};

// The device's own name when it is a USB serial adapter's (ttyUSB0), whose
// latency timer the advice names; "" otherwise.
std::string adapterName(const std::string& port) {
    char resolved[PATH_MAX];
    const std::string path = ::realpath(port.c_str(), resolved) != nullptr ? resolved : port;
    const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    return name.compare(0, 6, "ttyUSB") == 0 ? name : std::string();
}

bool retryable(const zorn::net::Failure& failure) {
    return failure.cause == zorn::net::Cause::Timeout || failure.cause == zorn::net::Cause::Corrupted;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string openAdvice(int error, const std::string& port) {
    switch (error) {
        case EBUSY:
        case EWOULDBLOCK:
            return "another program holds the port, one you may not see: sudo fuser -v " + port + " names it";
        case ENOTTY:
            return port + " is not a serial port: give the base's serial device";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "the device went away: plug the base's cable in again and run doctor again";
        case EACCES:
        case EPERM:
            return "you may not open the port: ask the administrator for access to it";
        case EIO:
            return "the device does not respond: unplug it, plug it in again and run doctor again";
        default:
            return "check the device and run doctor again";
    }
}

std::string tcpAdvice(int error, const std::string& host, const std::string& port) {
    switch (error) {
        case ECONNREFUSED:
            return "nothing listens on port " + port + " at " + host +
                   ": is the base (or the simulator) running, and is the port right (the base serves 11331)?";
        case ETIMEDOUT:
            return "no answer within 10 s: the host is off, or a firewall drops the connection; check the "
                   "address and the network (ping " + host + ")";
        case ENETUNREACH:
        case EHOSTUNREACH:
            return "no route to " + host + ": is this computer on the robot's network (ip addr, ip route)?";
        default:
            return "check the address, the port and the network";
    }
}

std::string tcpFailure(int error) {
    switch (error) {
        case ECONNREFUSED: return "connection refused";
        case ETIMEDOUT: return "no answer in time";
        case ENETUNREACH:
        case EHOSTUNREACH: return "host unreachable";
        case 0: return "the connection could not be made";
        default: return std::strerror(error);
    }
}

}  // namespace

bool OrbitaneBaseConsoleApplication::handlesConnection(const std::string& command) const {
    return command == "doctor";
}

CommandResult OrbitaneBaseConsoleApplication::doctorCommand(const std::vector<std::string>& args) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (args.size() > 1) {
        logError(source, "doctor takes no arguments");
        return STATUS_COMMAND_USAGE;
    }
    if (link() != nullptr) {
        logError(source, "doctor opens the link itself: run it on its own command line, not in monitor or session");
        return STATUS_COMMAND_USAGE;
    }
    markOutcomeReported();
    DoctorReport report;
    const bool serial = channelType() == "serial";
    const std::string port = portName();

    if (serial) {
        struct stat st;
        if (::stat(port.c_str(), &st) != 0) {
            const std::vector<std::string> candidates = serialDeviceCandidates();
            Json::Value extra;
            extra["candidates"] = Json::Value(Json::arrayValue);
            for (const std::string& candidate : candidates) extra["candidates"].append(candidate);
            return report.fail("device", STATUS_NO_CONNECTION, port + ": " + std::strerror(errno),
                               candidates.empty()
                                   ? "no serial device is present: plug in the base's USB cable and power the base"
                                   : "serial devices present: " + joined(candidates) + "; run doctor with one of them",
                               extra);
        }
        if (!S_ISCHR(st.st_mode)) {
            return report.fail("device", STATUS_NO_CONNECTION, port + " is not a device",
                               "give the base's serial device (for example /dev/ttyUSB0)");
        }
        const std::string driver = nonSerialDriver(port);
        if (!driver.empty()) {
            Json::Value extra;
            extra["driver"] = driver;
            return report.fail("device", STATUS_NO_CONNECTION,
                               port + " is not a serial device (it belongs to the " + driver + " driver)",
                               "give the base's serial device (for example /dev/ttyUSB0)", extra);
        }
        report.pass("device", port + " exists");

        const AccessProblem access = checkDeviceAccess(port);
        if (access.denied()) {
            Json::Value extra;
            extra["group"] = access.group;
            return report.fail("access", STATUS_NO_CONNECTION, access.detail, access.advice, extra);
        }
        report.pass("access", "you may open " + port);

        const std::vector<DeviceHolder> holders = deviceHolders(port);
        if (!holders.empty()) {
            std::vector<std::string> names;
            bool modemManager = false;
            Json::Value extra;
            extra["holders"] = Json::Value(Json::arrayValue);
            for (const DeviceHolder& holder : holders) {
                names.push_back(holder.name + " (pid " + std::to_string(holder.pid) + ")");
                modemManager = modemManager || holder.name.find("ModemManager") != std::string::npos;
                Json::Value entry;
                entry["pid"] = static_cast<Json::Int>(holder.pid);
                entry["name"] = holder.name;
                extra["holders"].append(entry);
            }
            return report.fail(
                "holders", STATUS_NO_CONNECTION, port + " is held by " + joined(names),
                modemManager ? "a modem manager probes new serial ports: stop it (sudo systemctl stop ModemManager) "
                               "or have it leave the device alone (udev rule ENV{ID_MM_DEVICE_IGNORE}=\"1\")"
                             : "close the port in that program, or end it (kill " + std::to_string(holders[0].pid) +
                                   "), then run doctor again",
                extra);
        }
        report.pass("holders", "no other process holds " + port);
    } else {
        if (zorn::net::isNumericIpv4(host())) {
            report.pass("address", host() + " is a numeric IPv4 address");
        } else {
            const zorn::net::ResolvedHost resolved = zorn::net::resolveHost(host(), 0);
            if (resolved.addresses.empty()) {
                return report.fail("address", STATUS_NO_CONNECTION,
                                   host() + " does not resolve: " + resolved.failure,
                                   "check the name (getent hosts " + host() +
                                       " prints its addresses), or give the base's address");
            }
            std::string list;
            for (const auto& address : resolved.addresses) {
                list += (list.empty() ? "" : ", ") + zorn::net::addressText(address);
            }
            report.pass("address", host() + " is " + list);
        }
    }

    // Whatever happens from here on, the driver and the link go and the
    // medium is closed when doctor ends.
    struct Disconnect {
        OrbitaneBaseConsoleApplication* app;
        ~Disconnect() {
            setInterruptToken(nullptr);
            app->base_.reset();
            app->disconnectChannel();
        }
    } disconnect{this};

    // doctor's watcher goes on the link before its first frame, in front of
    // the console's own (-t, --decode, --capture), with the port's
    // line-error counters as they were then.
    auto watch = std::make_shared<DoctorWatch>(trace());
    auto baseline = std::make_shared<LineErrorBaseline>();
    whenLinked([watch, baseline](zorn::net::Link& link) {
        link.setObserver(watch.get());
        baseline->known = link.transport().lineErrors(baseline->count);
    });

    if (!connectChannel()) {
        int error = 0;
        if (auto* serialProvider = dynamic_cast<utils::SerialChannelProvider*>(provider().get())) {
            error = serialProvider->lastError();
        } else if (auto* tcpProvider = dynamic_cast<utils::TcpChannelProvider*>(provider().get())) {
            error = tcpProvider->lastError();
        }
        Json::Value extra;
        extra["errno"] = error;
        if (serial) {
            return report.fail("open", STATUS_NO_CONNECTION,
                               port + " could not be opened at 115,200 baud 8N1: " +
                                   (error != 0 ? std::strerror(error) : "unknown reason"),
                               openAdvice(error, port), extra);
        }
        return report.fail("connect", STATUS_NO_CONNECTION,
                           host() + ":" + port + ": " + tcpFailure(error), tcpAdvice(error, host(), port), extra);
    }
    if (serial) {
        report.pass("open", port + " opened at 115,200 baud 8N1");
    } else {
        report.pass("connect", "connected to " + host() + ":" + port);
    }

    setInterruptToken(&link()->cancelToken());
    zorn::net::Link& line = *link();
    const std::string channel = utils::describeProvider(provider());
    const std::string adapter = serial ? adapterName(port) : std::string();
    // What the line brought back so far, as the link and the watcher saw it.
    auto evidence = [&]() {
        const zorn::net::LinkStats stats = line.stats();
        LineEvidence e;
        e.serial = serial;
        e.port = port;
        e.device = adapter;
        e.bytesIn = stats.bytesIn;
        e.goodFrames = stats.goodFrames;
        e.badFrames = stats.corrupted;
        e.answerFrames = stats.goodFrames - std::min(stats.goodFrames, stats.messages);
        e.echoes = watch->echoes();
        e.sample = watch->sample();
        uint64_t now = 0;
        e.lineErrorsKnown = baseline->known && line.transport().lineErrors(now);
        e.lineErrors = e.lineErrorsKnown ? now - std::min(now, baseline->count) : stats.lineErrors;
        return e;
    };
    // One request, sorted into `tally` by how it ended.
    auto tallied = [&line](RequestTally& tally, auto request) {
        const zorn::net::LinkStats before = line.stats();
        const auto start = std::chrono::steady_clock::now();
        auto outcome = request();
        const auto end = std::chrono::steady_clock::now();
        tally.note(outcome ? nullptr : &outcome.failure(), before, line.stats(),
                   std::chrono::duration<double, std::milli>(end - start).count());
        return outcome;
    };

    // The connect request, tried again while it times out or comes
    // damaged: one frame lost to noise should not hide what the steps after
    // it can tell. Past the first few tries only while answers come at all.
    // Each try is a Base made over the link, which sends the connect request.
    auto connectOnce = [&]() -> zorn::net::Outcome<api::Identity> {
        base_.reset();
        return outcomeOf([&] {
            base_.emplace(makeBase_(line, channel, false));
            return base_->identity();
        });
    };
    RequestTally connectTally;
    zorn::net::Outcome<api::Identity> connected = zorn::net::Failure::of(zorn::net::Cause::NotWritten);
    int attempts = 0;
    while (attempts < NOISY_CONNECT_ATTEMPTS && !interrupted()) {
        ++attempts;
        connected = tallied(connectTally, connectOnce);
        if (connected || !retryable(connected.failure()) || line.broken()) break;
        const LineEvidence seen = evidence();
        // The console's own frames, or text: another try tells no more.
        if (seen.answerFrames == 0 && !peerVerdict(seen).ok) break;
        const zorn::net::LinkStats stats = line.stats();
        const bool answersCome = stats.answers > 0 || stats.corrupted > 0 || stats.abandonedStarts > 0;
        if (attempts >= CONNECT_ATTEMPTS && !answersCome) break;
    }
    if (interrupted()) return interruptStatus(interruptSignal());

    LineEvidence seen = evidence();
    CommandResult result = report.judge("bytes", bytesVerdict(seen, attempts));
    if (!result.ok()) return result;
    result = report.judge("peer", peerVerdict(seen));
    if (!result.ok()) return result;
    if (!connected) {
        result = report.judge("checksums", checksumVerdict(seen, connectTally, static_cast<uint64_t>(attempts)));
        if (!result.ok()) return result;
        return report.judge("identity", identityVerdict(nullptr, connected.failure(), connectTally));
    }

    // The status run. It ends early once the line shows itself noisy: the
    // checksums' verdict is certain then.
    const uint64_t requests = pacing().count > 0 ? pacing().count : DEFAULT_STATUS_REQUESTS;
    const uint64_t planned = static_cast<uint64_t>(attempts) + requests;
    RequestTally run;
    uint64_t silentInARow = 0;
    bool cutShort = false;
    while (run.sent < requests && !interrupted()) {
        const uint64_t lostBefore = run.lost;
        tallied(run, [this]() { return outcomeOf([this] { return base_->status(); }); });
        silentInARow = run.lost > lostBefore ? silentInARow + 1 : 0;
        if (silentInARow >= SILENT_IN_A_ROW || line.broken()) {
            cutShort = true;
            break;
        }
        RequestTally sofar = connectTally;
        sofar += run;
        if (noisyLine(sofar, planned)) break;
    }
    if (interrupted()) return interruptStatus(interruptSignal());

    RequestTally all = connectTally;
    all += run;
    seen = evidence();
    result = report.judge("checksums", checksumVerdict(seen, all, planned));
    if (!result.ok()) return result;
    result = report.judge("identity", identityVerdict(&*connected, zorn::net::Failure(), connectTally));
    if (!result.ok()) return result;
    result = report.judge("status", statusVerdict(seen, run, cutShort));
    if (!result.ok()) return result;
    return report.passedAll();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
