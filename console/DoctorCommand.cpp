// The doctor command: checks the link to the base step by step, stops at the
// first step that fails and says what to do about it.
//
// Serial: the device exists, the user may open it, no other process holds
// it, it opens at 115,200 8N1. TCP: the host is a numeric IPv4 address, the
// connection is made. Then, for both: bytes come back, frames carry valid
// checksums, the base answers the connect request with its identity, and a
// run of status requests shows the round trip, the loss and the checksum
// failures.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "app/JsonOutput.h"
#include "app/Reading.h"
#include "console/ChannelFactory.h"
#include "console/DoctorChecks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"
#include "net/Link.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

namespace {

// Statuses of the steps past opening the link (those before give
// STATUS_NO_CONNECTION, as every command does when it cannot connect).
constexpr int STATUS_BAD_CHECKSUMS = 3;
constexpr int STATUS_STATUS_LOSS = 7;

constexpr uint64_t DEFAULT_STATUS_REQUESTS = 100;
constexpr int CONNECT_ATTEMPTS = 3;
// Status requests that time out in a row before the run is given up: a
// base that stopped answering (or a decoder lost in a frame whose length a
// noisy line garbled) would otherwise cost a second a request.
constexpr uint64_t SILENT_IN_A_ROW = 3;
// Shares of checksum failures and of lost status requests a healthy link
// stays under.
constexpr double BAD_FRAME_LIMIT = 0.01;
constexpr double LOSS_LIMIT = 0.01;
// A status exchange is a 5-byte request and a 6-byte answer, 10 bits a
// byte with 8N1 framing.
constexpr double STATUS_EXCHANGE_BITS = (5 + 6) * 10;
constexpr double SERIAL_BAUD = 115200;

// Writes each step's outcome: a log line (and one with the advice after a
// failure), and with --json one object per step.
class DoctorReport {
public:
    CommandResult pass(const char* step, const std::string& detail,
                       Json::Value extra = Json::Value(Json::objectValue)) {
        logInfo(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: ok: %s", step, detail.c_str());
        emit(step, true, detail, "", 0, extra);
        return 0;
    }
    CommandResult fail(const char* step, int status, const std::string& detail, const std::string& advice,
                       Json::Value extra = Json::Value(Json::objectValue)) {
        logError(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: FAILED: %s", step, detail.c_str());
        if (!advice.empty()) logWarn(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: %s: what to do: %s", step, advice.c_str());
        emit(step, false, detail, advice, status, extra);
        logError(LOG_SOURCE_BASE_CONSOLE_APP, "doctor: stopped at the %s check (exit status %d)", step, status);
        // The statuses are doctor's own: its failure object says what they mean.
        return CommandResult(status, status == STATUS_STATUS_LOSS     ? failure::TIMEOUT
                                     : status == STATUS_BAD_CHECKSUMS ? failure::INVALID_ANSWER
                                                                      : failure::CONNECT_FAILED);
    }

private:
    static void emit(const char* step, bool ok, const std::string& detail, const std::string& advice, int status,
                     Json::Value& extra) {
        // The step's log lines are written above in either mode, so its
        // reading has only the JSON object.
        Reading reading("doctor");
        reading["step"] = step;
        reading["ok"] = ok;
        reading["detail"] = detail;
        if (!ok) {
            reading["advice"] = advice;
            reading["status"] = status;
        }
        for (const std::string& name : extra.getMemberNames()) reading[name.c_str()] = extra[name];
        emitReading(LOG_SOURCE_BASE_CONSOLE_APP, reading);
    }
};

std::string percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100.0);
    return text;
}

std::string millis(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
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
        in_addr address;
        if (::inet_pton(AF_INET, host().c_str(), &address) != 1) {
            return report.fail("address", STATUS_NO_CONNECTION, host() + " is not a numeric IPv4 address",
                               "host names are not resolved: give the base's address as A.B.C.D (getent hosts " +
                                   host() + " prints it)");
        }
        report.pass("address", host() + " is a numeric IPv4 address");
    }

    // Whatever happens from here on, the driver and the link go and the
    // medium is closed when doctor ends.
    struct Disconnect {
        OrbitaneBaseConsoleApplication* app;
        ~Disconnect() {
            setInterruptToken(nullptr);
            app->driver_.reset();
            app->disconnectChannel();
        }
    } disconnect{this};

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
    driver_ = std::make_unique<zorn::drv::QuindleBaseDrv>(*link());
    connectionConfig_ = ConnectionConfig();
    // What the line brought back, as the link counted it.
    struct Counter {
        zorn::net::Link& link;
        uint64_t bytes() const { return link.stats().bytesIn; }
        uint64_t goodFrames() const { return link.stats().goodFrames; }
        uint64_t badFrames() const { return link.stats().corrupted; }
    } counter{*link()};

    // The connect request, retried: one frame lost to noise should not hide
    // what the steps after it can tell.
    zorn::net::Outcome<zorn::drv::Identity> connected = zorn::net::Failure::of(zorn::net::Cause::NotWritten);
    int attempts = 0;
    while (attempts < CONNECT_ATTEMPTS && !connected && !interrupted()) {
        ++attempts;
        connected = driver_->connect();
    }
    if (interrupted()) return interruptStatus(interruptSignal());

    if (counter.bytes() == 0) {
        return report.fail(
            "bytes", STATUS_NO_CONNECTION,
            "nothing came back to " + std::to_string(attempts) + " connect requests",
            serial ? "check that the base is powered, that " + port +
                         " is the base's port and not another device's, and the wiring (TX to RX, RX to TX, "
                         "ground to ground)"
                   : "the connection is made but nothing answers: is port " + port +
                         " the base's (it serves 11331), and is the base up?");
    }
    Json::Value bytesExtra;
    bytesExtra["bytes"] = static_cast<Json::UInt64>(counter.bytes());
    report.pass("bytes", std::to_string(counter.bytes()) + " bytes came back", bytesExtra);

    const std::string checksumAdvice =
        serial ? "a wrong line speed or a noisy line: the base talks at 115,200 baud 8N1; use a shorter or "
                 "shielded cable, away from the motor wires, with a sound ground"
               : "the bytes are garbled on the way: a serial-to-network bridge between may run at the wrong speed";
    auto checksumExtra = [&counter]() {
        Json::Value extra;
        extra["frames"] = static_cast<Json::UInt64>(counter.goodFrames() + counter.badFrames());
        extra["bad_frames"] = static_cast<Json::UInt64>(counter.badFrames());
        return extra;
    };
    if (!connected) {
        if (counter.goodFrames() == 0 && counter.badFrames() == 0) {
            return report.fail("checksums", STATUS_BAD_CHECKSUMS,
                               std::to_string(counter.bytes()) + " bytes came back but none formed a frame",
                               checksumAdvice, checksumExtra());
        }
        if (counter.goodFrames() == 0) {
            return report.fail("checksums", STATUS_BAD_CHECKSUMS,
                               "every frame that came back (" + std::to_string(counter.badFrames()) +
                                   ") failed its checksum",
                               checksumAdvice, checksumExtra());
        }
        report.pass("checksums", "frames carry valid checksums", checksumExtra());
        return report.fail("identity", STATUS_NO_CONNECTION,
                           "the base did not accept the connect request: " +
                               std::string(zorn::net::errorTextOf(connected.failure().cause)),
                           "the device answers but not as the base does: is it the base? Restart the base");
    }

    // The status run.
    const uint64_t requests = pacing().count > 0 ? pacing().count : DEFAULT_STATUS_REQUESTS;
    const uint64_t badBefore = counter.badFrames();
    std::vector<double> rtts;
    uint64_t sent = 0, lost = 0, refused = 0, silentInARow = 0;
    while (sent < requests && !interrupted()) {
        const auto start = std::chrono::steady_clock::now();
        const auto status = driver_->getStatus();
        const auto end = std::chrono::steady_clock::now();
        ++sent;
        const bool timedOut = !status && status.failure().cause == zorn::net::Cause::Timeout;
        silentInARow = timedOut ? silentInARow + 1 : 0;
        if (status) {
            rtts.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        } else if (timedOut) {
            ++lost;
        } else {
            ++refused;
        }
        if (silentInARow >= SILENT_IN_A_ROW) break;
    }
    if (interrupted()) return interruptStatus(interruptSignal());
    const uint64_t badDuringRun = counter.badFrames() - badBefore;

    const uint64_t frames = counter.goodFrames() + counter.badFrames();
    const double badShare = frames > 0 ? static_cast<double>(counter.badFrames()) / static_cast<double>(frames) : 0;
    if (badShare > BAD_FRAME_LIMIT) {
        return report.fail("checksums", STATUS_BAD_CHECKSUMS,
                           std::to_string(counter.badFrames()) + " of " + std::to_string(frames) + " frames (" +
                               percent(badShare) + ") failed their checksum",
                           checksumAdvice, checksumExtra());
    }
    report.pass("checksums",
                std::to_string(counter.badFrames()) + " of " + std::to_string(frames) + " frames failed their checksum",
                checksumExtra());

    const zorn::drv::Identity& info = *connected;
    const std::string serialNumber = info.serialText();
    const std::string model = info.model();
    Json::Value identity;
    identity["model"] = model;
    identity["firmware_version"] = info.firmwareText();
    identity["hardware_version"] = info.hardwareText();
    identity["serial_number"] = serialNumber;
    identity["connect_attempts"] = attempts;
    report.pass("identity",
                model + ", firmware " + info.firmwareText() + ", hardware " + info.hardwareText() + ", serial " +
                    serialNumber +
                    (attempts > 1 ? " (connect answered at attempt " + std::to_string(attempts) + ")" : ""),
                identity);

    std::sort(rtts.begin(), rtts.end());
    const double loss = static_cast<double>(lost + refused) / static_cast<double>(sent);
    const uint64_t answerFrames = rtts.size() + refused + badDuringRun;
    const double badRunShare =
        answerFrames > 0 ? static_cast<double>(badDuringRun) / static_cast<double>(answerFrames) : 0;
    Json::Value run;
    run["requests"] = static_cast<Json::UInt64>(sent);
    run["answered"] = static_cast<Json::UInt64>(rtts.size());
    run["lost"] = static_cast<Json::UInt64>(lost);
    run["refused"] = static_cast<Json::UInt64>(refused);
    run["loss"] = loss;
    run["bad_frames"] = static_cast<Json::UInt64>(badDuringRun);
    run["checksum_failure_rate"] = badRunShare;
    std::string detail = std::to_string(sent) + " requests, " + std::to_string(rtts.size()) + " answered, loss " +
                         percent(loss) + ", checksum failures " + percent(badRunShare);
    if (!rtts.empty()) {
        const double p50 = percentile(rtts, 0.50), p95 = percentile(rtts, 0.95), max = rtts.back();
        run["p50_ms"] = p50;
        run["p95_ms"] = p95;
        run["max_ms"] = max;
        detail += "; round trip p50 " + millis(p50) + ", p95 " + millis(p95) + ", max " + millis(max);
        if (serial) {
            const double wireMs = STATUS_EXCHANGE_BITS / SERIAL_BAUD * 1000.0;
            run["wire_ms"] = wireMs;
            run["wire_share"] = wireMs / p50;
            detail += "; the 110 bits of an exchange take " + millis(wireMs) + " at 115,200 baud, " +
                      percent(wireMs / p50) + " of the median round trip";
            if (wireMs > p50) detail += " (shorter than the wire time: not a 115,200-baud line, a pseudo-terminal?)";
        }
    }
    if (loss > LOSS_LIMIT) {
        return report.fail("status", STATUS_STATUS_LOSS, detail,
                           rtts.empty() ? "the base answers the connect request but no status request: it may be "
                                          "busy or its firmware stuck; restart the base"
                           : silentInARow >= SILENT_IN_A_ROW
                               ? "the base stopped answering after " + std::to_string(rtts.size()) +
                                     " answers: check the cable or the network and the base's power, then run "
                                     "doctor again"
                               : "answers are lost: a loaded base or a flaky link; run doctor again, and check the "
                                 "cable or the network",
                           run);
    }
    report.pass("status", detail, run);
    logInfo(source, "doctor: every check passed");
    return 0;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
