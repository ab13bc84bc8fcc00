// The drive command: the live view, the keyboard and the base, tied
// together so that every way out stops the base and gives the terminal back.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "config/BuiltinConfig.h"
#include "config/SystemConfig.h"
#include "console/ApiClient.h"
#include "console/BumperPolarityOption.h"
#include "console/DriveArguments.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "console/drive/DriveController.h"
#include "console/drive/DriveLoop.h"
#include "console/drive/DriveOptions.h"
#include "console/drive/DriveReadings.h"
#include "console/drive/DriveView.h"
#include "console/drive/StallWatch.h"
#include "log/Log.h"
#include "log/StandardOutput.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace nivo::system::config;

namespace {

constexpr int64_t MS_NS = 1000000;
constexpr int64_t TICK_NS = DriveLoop::PERIOD_NS;
constexpr int64_t DRAW_NS = 100 * MS_NS;  // the view at 10 Hz
// A slow draw is not allowed to squeeze the readings out altogether.
constexpr int64_t MAX_DRAW_COST_NS = 20 * MS_NS;
const char* const EMERGENCY_STOP_NOTE = "EMERGENCY STOP (release keys, then press to drive)";
// A write to the terminal that has not returned after this long is taken as
// stalled output: the base is then held at zero until it returns.
constexpr auto OUTPUT_STALL = std::chrono::milliseconds(300);

// The terminal as it was before the view, put back by the console's signal
// handling should it have to end the process while the view shows.
struct termios g_savedTerminal;

void restoreTerminalNow() {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    static const char reset[] = "\033[?1049l\033[?25h\033[0m\r\n";
    ssize_t ignored = write(STDOUT_FILENO, reset, sizeof reset - 1);
    (void)ignored;
}

// Registers the terminal's restoration for the time the view shows.
class TerminalRestoreScope {
public:
    TerminalRestoreScope() {
        if (tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) setTerminalRestore(restoreTerminalNow);
    }
    ~TerminalRestoreScope() { setTerminalRestore(nullptr); }
};

// Written like the drive arguments: a plain decimal number, above 0 and at
// most 10 m/s^2.
bool parseAccel(const std::string& text, double& value) {
    return parseDecimal(text, value) && value > 0 && value <= 10;
}

// Guards for a base whose configuration could not be read: any triggered
// bit refuses every motion, since nothing says where the sensor sits.
std::vector<GuardSensor> guardEverything() {
    std::vector<GuardSensor> guards;
    for (int bit = 0; bit < 32; ++bit) {
        const std::string label = "bit #" + std::to_string(bit);
        for (int direction : {1, -1}) {
            GuardSensor guard;
            guard.label = label;
            guard.bit = bit;
            guard.forward = direction;
            guard.turn = direction;
            guards.push_back(guard);
        }
    }
    return guards;
}

// Reading a key may redraw the screen, so it may block like drawing.
ViewKey nextKeyWatched(DriveView& view, DriveKey& key, StallWatch& watch) {
    StallWatch::Section writing(watch);
    return view.nextKey(key);
}

// Whether the speed steps and robot_line_speed came from the base's own
// configuration. The console merges the base's binary configuration into
// its reference configuration under its white list: an entry comes from the
// base only when the base sent it and the white list accepts it; otherwise
// it is the reference's (robot_line_speed), or the configuration's default
// (the speed steps).
struct SpeedOrigins {
    StepOrigin steps = StepOrigin::Defaults;
    bool lineSpeedFromBase = false;
};

bool parsedBuiltin(const char* text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text, text + std::strlen(text), &out, &errors);
}

SpeedOrigins speedOrigins(const Json::Value& decoded, bool legacy) {
    SpeedOrigins origins;
    Json::Value whiteList;
    if (legacy || !decoded.isObject() || !parsedBuiltin(WHITE_LIST, whiteList)) return origins;
    const Json::Value& base = decoded["base"];
    const Json::Value& rules = whiteList["base"];
    auto fromBase = [&](const char* key) {
        const bool accepted = (rules.isString() && rules.asString() == "accept") ||
                              (rules.isObject() && rules[key].isString() && rules[key].asString() == "accept");
        return base.isObject() && base.isMember(key) && accepted;
    };
    bool anyBase = false;
    for (const char* key : {"low_moving_speed", "medium_moving_speed", "high_moving_speed"}) {
        anyBase = anyBase || fromBase(key);
    }
    // Steps in the console's reference configuration are defaults as much
    // as the configuration schema's.
    origins.steps = anyBase ? StepOrigin::Base : StepOrigin::Defaults;
    origins.lineSpeedFromBase = fromBase("robot_line_speed");
    return origins;
}

// The configuration the library read, as the guards and speed steps take
// it: the sensors in order with their poses, the speeds and the size.
SensorKind sensorKindOf(const std::string& key) {
    for (SensorKind kind : {SensorKind::Bumper, SensorKind::Cliff, SensorKind::Sonar, SensorKind::DepthCamera}) {
        if (key == sensorKindKey(kind)) return kind;
    }
    return SensorKind::DepthCamera;  // neither guards nor shows as a sonar
}

SystemConfig systemConfigOf(const api::Config& read) {
    SystemConfig config;
    BaseConfig& base = config.base;
    base.robot_size = read.robot_diameter_m;
    base.robot_line_speed = static_cast<float>(read.robot_line_speed);
    base.low_moving_speed = static_cast<float>(read.low_moving_speed);
    base.medium_moving_speed = static_cast<float>(read.medium_moving_speed);
    base.high_moving_speed = static_cast<float>(read.high_moving_speed);
    for (const api::ConfigSensor& entry : read.sensors) {
        SensorConfig sensor;
        sensor.id = entry.id;
        sensor.type = sensorKindOf(entry.kind);
        sensor.installation_pose.x = entry.pose.x_m;
        sensor.installation_pose.y = entry.pose.y_m;
        sensor.installation_pose.z = entry.pose.z_m;
        sensor.installation_pose.yaw = entry.pose.yaw_rad;
        sensor.max_distance = static_cast<float>(entry.max_distance_m);
        base.sensors.push_back(sensor);
    }
    return config;
}

// The configuration through the library (its log lines say why it cannot
// be read); false when it cannot.
bool readConfig(api::Base& base, SystemConfig& config, SpeedOrigins* origins) {
    try {
        const api::Config read = base.config();
        config = systemConfigOf(read);
        if (origins != nullptr) {
            Json::Value decoded;
            if (!read.legacy) parsedBuiltin(read.decoded.c_str(), decoded);
            *origins = speedOrigins(decoded, read.legacy);
        }
        return true;
    } catch (const api::Error&) {
        return false;
    }
}

// The base's answer to a refused request, as the view says it.
std::string refusalCode(const zorn::net::Failure& failure) {
    if (failure.baseCode == zorn::net::NO_BASE_CODE) return "no error code";
    std::string code = "error code " + std::to_string(failure.baseCode);
    if (failure.cause == zorn::net::Cause::NotSupported) code += ": not supported";
    return code;
}

// A message that says the base was stopped and goes once driving starts
// again (the latch released by a fresh press).
struct Note {
    std::string text;
    bool untilDriving = false;
    void set(const std::string& words, bool clearsOnDriving) {
        text = words;
        untilDriving = clearsOnDriving;
    }
};

}  // namespace

int OrbitaneBaseConsoleApplication::checkBeforeConnect(const std::vector<std::string>& args) {
    if (args.empty() || args[0] != "drive") return 0;
    DriveSettings settings;
    return readDriveSettings(settings);
}

int OrbitaneBaseConsoleApplication::readDriveSettings(DriveSettings& settings) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    if (hexTraceEnabled()) {
        logFatal(source, "drive cannot be combined with -t: the trace would write over the view");
        return STATUS_COMMAND_USAGE;
    }
    if (decodeEnabled()) {
        logFatal(source, "drive cannot be combined with --decode: the trace would write over the view");
        return STATUS_COMMAND_USAGE;
    }
    if (jsonEnabled()) {
        logFatal(source, "drive cannot be combined with --json: the view takes standard output");
        return STATUS_COMMAND_USAGE;
    }
    const ConsoleOption& accel = commandOption(ACCEL_OPTION);
    if (accel.isSet && !parseAccel(accel.value, settings.accel)) {
        logFatal(source, "Invalid acceleration %s (m/s^2, above 0 and at most 10)", accel.value.c_str());
        return STATUS_COMMAND_USAGE;
    }
    const ConsoleOption& near = commandOption(NEAR_OPTION);
    if (near.isSet && !(parseDecimal(near.value, settings.nearMetres) && settings.nearMetres > 0 &&
                        settings.nearMetres <= 10)) {
        logFatal(source, "Invalid near distance %s (m, above 0 and at most 10)", near.value.c_str());
        return STATUS_COMMAND_USAGE;
    }

    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        logFatal(source, "drive needs an interactive terminal");
        return STATUS_COMMAND_USAGE;
    }
    const std::string terminalProblem = DriveView::terminalProblem();
    if (!terminalProblem.empty()) {
        logFatal(source, "%s", terminalProblem.c_str());
        return STATUS_COMMAND_USAGE;
    }
    return 0;
}

CommandResult OrbitaneBaseConsoleApplication::driveCommand(const std::vector<std::string>&) {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    DriveSettings settings;
    const int unusable = readDriveSettings(settings);
    if (unusable != 0) return unusable;

    SystemConfig config;
    SpeedOrigins origins;
    bool haveConfig = readConfig(base(), config, &origins);
    if (haveConfig) {
        applyConfigSpeeds(config.base, settings, origins.steps, origins.lineSpeedFromBase);
    } else {
        logWarn(source, "Configuration unreadable: default speed steps, every bumper/cliff bit stops all motion");
    }
    zorn::net::Clock& time = clock();
    const auto nowNs = [&time] { return zorn::net::nanos(time.now().time_since_epoch()); };
    DriveController controller(settings, nowNs, haveConfig ? guardSensorsOf(config.base) : guardEverything());
    DriveReadings readings(&base(), haveConfig ? &config : nullptr, settings.halfTrack * 2.0, time);
    if (haveConfig) controller.setSonarGuards(sonarGuardsOf(config.base));
    const bool dryRun = commandOption(DRY_RUN_OPTION).isSet;
    const std::string stepsText = stepsNote(controller.settings(), haveConfig);
    const std::string capText = capNote(controller.settings());

    DriveView* view = nullptr;  // while the view shows
    Note note;
    bool leaveNow = false;        // the link is lost and the key that ends the view came
    bool lostShown = false;       // the view says the link is lost
    bool reconnectWanted = false;
    bool hungUp = false;          // the terminal went away
    int64_t lastDraw = 0;

    InterruptScope interruptScope(true);
    auto terminalScope = std::make_unique<TerminalRestoreScope>();
    // The loop sends nothing while it is stuck writing the view: the watch
    // sends zero in its place (a dry run has nothing to stop).
    StallWatch outputWatch(OUTPUT_STALL, std::chrono::nanoseconds(TICK_NS), [&readings, dryRun] {
        if (!dryRun) readings.zeroFromWatch();
    });

    // The keys that came, between any two requests: a stop key never waits
    // for more than the request in progress.
    auto readKeys = [&]() {
        if (view == nullptr) return;
        DriveKey key;
        for (ViewKey got = nextKeyWatched(*view, key, outputWatch); got != ViewKey::None;
             got = nextKeyWatched(*view, key, outputWatch)) {
            if (got == ViewKey::Resize) lastDraw = 0;
            if (controller.linkLost()) {
                // Only a quit key closes the view once the loss is shown: a
                // drive key still repeating from before must not hide it.
                if (got == ViewKey::Drive && key == DriveKey::Quit) leaveNow = lostShown;
                if (got == ViewKey::Drive && key == DriveKey::Reconnect) reconnectWanted = lostShown;
                // A drive key held through the loss must not drive once the
                // link is back: it counts as held for the latch.
                if (got == ViewKey::Drive && key != DriveKey::Quit && key != DriveKey::Reconnect) {
                    controller.onKeySeen();
                }
            } else if (got == ViewKey::Suspend) {
                raise(SIGTSTP);  // the key does what kill -TSTP does: stop, then leave with 148
            } else if (got == ViewKey::Drive && key == DriveKey::Reconnect) {
                note.set("The link is up: r reconnects only after LINK LOST", true);
            } else if (got == ViewKey::Drive) {
                // Nobody drives blind: while the readings are not on
                // screen only the stop and quit keys are taken, and the
                // others still count as held for the emergency latch.
                if (DriveView::showsReadings() || key == DriveKey::EmergencyStop || key == DriveKey::Quit) {
                    controller.onKey(key);
                } else {
                    controller.onKeySeen();
                }
                if (key == DriveKey::EmergencyStop) note.set(EMERGENCY_STOP_NOTE, true);
            }
        }
        // The base moves again: a note that it was stopped no longer holds.
        if (note.untilDriving && !controller.latched() && !controller.target().isZero()) note.set("", false);
    };
    DriveLoop::Hooks hooks;
    hooks.readInput = readKeys;
    hooks.interrupted = [] { return interrupted(); };
    DriveLoop loop(controller, readings, hooks);
    loop.setDryRun(dryRun);
    loop.setActiveLow(commandOption(BUMPER_ACTIVE_LOW_OPTION).isSet);
    DriveRunState& run = loop.state();

    int64_t drawCost = 0;  // the last draw's time: drawing never runs into a period's velocity request
    auto draw = [&]() {
        const int64_t drawNow = nowNs();
        lastDraw = drawNow;
        DriveSnapshot snapshot;
        snapshot.identity = identityLine_;
        snapshot.channel = utils::describeProvider(provider());
        snapshot.dryRun = run.dryRun;
        readings.fill(snapshot, settings.nearMetres * 1000.0);
        std::string previousLabel;
        for (const GuardSensor& sensor : controller.guards()) {
            if (sensor.label != previousLabel) {
                snapshot.marks.push_back({sensor.label, ((controller.triggeredBits() >> sensor.bit) & 1u) != 0});
                previousLabel = sensor.label;
            }
        }
        snapshot.step = controller.step();
        snapshot.stepSpeed = controller.stepSpeed();
        snapshot.finePercent = controller.finePercent();
        for (int i = 0; i < 3; ++i) snapshot.stepCapped[i] = controller.settings().stepCapped[i];
        snapshot.stepsNote = stepsText;
        snapshot.capNote = capText;
        snapshot.target = controller.target();
        snapshot.commanded = controller.commanded();
        snapshot.arc = controller.arc();
        snapshot.guardReason = controller.blockReason();
        if (run.dryRun && run.withheld > 0) {
            snapshot.dryRunLine = "Dry run, not sent: velocity " + run.lastWithheld + " (" +
                                  std::to_string(run.withheld) + " requests withheld)";
        }
        const bool lost = controller.linkLost();
        const bool doubt = run.stopInDoubt && !lost;
        if (doubt && run.refused) {
            // The base answered, so the link is alive and the readings go on;
            // the zero is sent again every period until the base takes it.
            snapshot.message = std::string(run.refusedZero ? "STOP REFUSED" : "REFUSED") + " by the base (" +
                               refusalCode(run.refusal) + "): it may still be moving";
        } else if (doubt) {
            snapshot.message = "STOP NOT CONFIRMED: the base may still be moving";
        } else {
            snapshot.message = note.text;
        }
        snapshot.alarm = run.stopInDoubt;
        snapshot.linkLost = lost;
        snapshot.corruptedFrames = readings.hasDriver() ? base().linkCounts().corrupted : 0;
        snapshot.motionState = run.dryRun         ? "DRY RUN"
                               : doubt && run.refused ? "STOP REFUSED"
                               : doubt             ? "STOP NOT CONFIRMED"
                                                   : controller.motionState();
        if (lost) {
            // Nothing is read any more: every value is as old as it looks.
            for (ReadingAge* age : {&snapshot.statusAge, &snapshot.motorAge, &snapshot.sensorAge, &snapshot.bumperAge,
                                    &snapshot.beaconAge, &snapshot.measuredAge}) {
                age->stale = true;
            }
        }
        StallWatch::Section writing(outputWatch);
        view->draw(snapshot);
        drawCost = std::min(MAX_DRAW_COST_NS, nowNs() - drawNow);
    };

    // Opens the channel again after the link was lost: sync, the connect
    // request, the configuration. Nothing moves until a fresh key press; a
    // stop the base never confirmed goes out again at once on the new link.
    auto reconnect = [&]() {
        note.set("Reconnecting to " + utils::describeProvider(provider()) + " ...", false);
        draw();
        // The old link's scope ends first: its stop, when the base may be
        // moving by it (on a link that failed, it fails at once).
        readings.setBase(nullptr, nullptr);
        setInterruptToken(nullptr);
        const bool connected = connectChannel() && onConnected();
        if (!connected) {
            note.set("Reconnect failed: no answer from " + utils::describeProvider(provider()) +
                         "; r tries again, q leaves",
                     false);
            return;
        }
        SystemConfig fresh;
        if (readConfig(base(), fresh, nullptr)) {
            config = fresh;
            haveConfig = true;
            controller.setGuards(guardSensorsOf(config.base));
            controller.setSonarGuards(sonarGuardsOf(config.base));
        }
        readings.setBase(&base(), haveConfig ? &config : nullptr);
        // A stop the base never confirmed: the new link's scope takes it as moving.
        if (controller.everMoved() && !controller.stopAcknowledged()) readings.motion().assumeMoving(true);
        loop.restart();
        controller.onReconnected();
        lostShown = false;
        note.set("Reconnected: nothing moves until a drive key is pressed again", true);
    };

    StandardOutput::instance().flush();  // the lines so far, before the view takes the screen
    try {
        // Log lines would tear the view apart: they are held back while it
        // shows and come out, in order, once it is gone.
        LogManager::HoldBack heldLines;
        DriveView screen;
        view = &screen;
        while (!leaveNow) {
            const int64_t now = nowNs();
            int64_t wakeAt = loop.wakeAt();
            // The view when it is due, if drawing fits before the next
            // period; otherwise right after that period's requests.
            const int64_t drawAt = std::max(now, lastDraw + DRAW_NS);
            if (!hungUp && drawAt + drawCost + DriveLoop::MARGIN_NS <= wakeAt) wakeAt = drawAt;
            const int64_t waitNs = std::max<int64_t>(0, wakeAt - now);
            const struct timespec timeout {
                static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)
            };
            struct pollfd input {STDIN_FILENO, POLLIN, 0};
            // A terminal that is gone stays readable for ever: then only the time is waited for.
            const int ready = hungUp ? ppoll(nullptr, 0, &timeout, nullptr) : ppoll(&input, 1, &timeout, nullptr);
            if (!hungUp && ready > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                hungUp = true;
                controller.stop(DriveExit::TerminalGone);
            }
            if (interrupted()) controller.stop(DriveExit::Signal);
            readKeys();
            if (reconnectWanted && !interrupted() && !hungUp) {
                reconnectWanted = false;
                reconnect();
                lastDraw = 0;
            }
            // Checked after the keys, right before the requests: the base
            // was held at zero behind the loop's back, and keys queued while
            // drawing was stuck are stale. Start again from rest, on a new press.
            if (!DriveView::showsReadings() && !(controller.target().isZero() && controller.commanded().isZero())) {
                controller.onKey(DriveKey::EmergencyStop);  // shrunk while moving: zero at once
                note.set("Window too small: the base was stopped", true);
            }
            if (outputWatch.acted()) {
                controller.onKey(DriveKey::EmergencyStop);
                view->discardInput();
                note.set("Terminal output stalled: the base was stopped", true);
            }

            // Time for the view is kept free when it is due before the next period.
            const int64_t reserve = !hungUp && lastDraw + DRAW_NS <= loop.nextPeriodNs() ? drawCost : 0;
            loop.step(reserve);

            const DriveExit reason = controller.exitReason();
            if (reason == DriveExit::LinkLost && !lostShown) {
                lostShown = true;
                const char* outcome = run.dryRun                       ? "dry run, no velocity was sent"
                                      : controller.stopAcknowledged() ? "the base had stopped"
                                                                      : "stop request sent, no answer";
                note.set(std::string("LINK LOST: ") + outcome + "; r reconnects, q leaves", false);
                lastDraw = 0;
            }
            if (reason != DriveExit::None && reason != DriveExit::LinkLost) {
                break;  // the zero went out in this step; the guard retries it once the view is gone
            }
            if (controller.linkLost() && (hungUp || interrupted())) {
                break;  // nobody is left to read the screen, or they asked to go
            }
            // A view that cannot find room for long is drawn all the same:
            // it must never freeze.
            const int64_t drawNow = nowNs();
            const bool fits = drawNow + drawCost + DriveLoop::MARGIN_NS <= loop.wakeAt();
            if (!hungUp && drawNow - lastDraw >= DRAW_NS && (fits || drawNow - lastDraw >= 3 * DRAW_NS)) draw();
        }
    } catch (const std::exception& e) {
        controller.stop(DriveExit::Failure);
        note.set(e.what(), false);
    } catch (...) {
        controller.stop(DriveExit::Failure);
        note.set("unknown exception", false);
    }
    view = nullptr;

    // The view is gone and the terminal restored. Once the base was moved,
    // every way out ends with a stop the base answered; when the zero sent
    // on leaving was not answered, it is sent again under the attempts rule.
    // Leaving must be prompt, so the stop is asked for as under a signal (no
    // request but the stop goes out, and the attempts end within 2 s).
    const int sig = interruptSignal();
    // An interrupt that came while the base might be moving ended the
    // scope with its stop, and its line was written then.
    const bool libraryStopped = readings.stoppedByTheLibrary();
    api::StopOutcome stopOutcome;
    if (!run.dryRun && controller.everMoved() && !controller.stopAcknowledged()) {
        if (readings.hasDriver()) {
            if (!base().interrupted()) base().interrupt();
            if (!readings.motion().ended()) readings.motion().assumeMoving(true);
            stopOutcome = readings.finish();
            run.zeroAttempted = true;
            run.zeroAnswered = stopOutcome.confirmed;
            run.zeroFailure = stopOutcome.confirmed ? net::Failure() : failureOf(stopOutcome);
            if (stopOutcome.confirmed) controller.onVelocitySent(BodyVelocity(), true);
        }
    } else {
        const api::StopOutcome ended = readings.hasDriver() ? readings.finish() : api::StopOutcome();
        if (libraryStopped) {
            stopOutcome = ended;
        } else if (!run.dryRun && controller.everMoved() && sig != 0) {
            // The zero sent on leaving was answered: say so in the guard's words.
            logWarn(source, "Interrupted by %s, base stopped", interruptSignalName());
            stopOutcome.sent = true;
            stopOutcome.confirmed = true;
        } else if (sig != 0) {
            logWarn(source, "Interrupted by %s", interruptSignalName());
        }
    }
    if (run.zeroAttempted && !stopOutcome.sent) {
        stopOutcome.sent = true;
        stopOutcome.confirmed = run.zeroAnswered;
        stopOutcome.result = run.zeroAnswered ? 0 : run.zeroFailure.result();
    }

    const DriveExit reason = controller.exitReason();
    const char* why = driveExitText(reason);
    CommandResult status = 0;
    if (run.dryRun) {
        logInfo(source, "Drive ended (%s): dry run, %ld velocity requests were not sent", why, run.withheld);
    } else if (!controller.everMoved()) {
        logInfo(source, "Drive ended (%s): the base was not moved", why);
    } else if (controller.stopAcknowledged()) {
        logInfo(source, "Drive ended (%s): stop request answered, base stopped", why);
    } else {
        const bool refused = run.zeroAttempted && !run.zeroAnswered && refusedByTheBase(run.zeroFailure);
        logError(source, "Drive ended (%s): stop request %s, the base may still be moving", why,
                 refused ? "refused" : run.zeroAttempted ? "not answered" : "could not be sent");
        if (run.zeroAttempted && !run.zeroAnswered) {
            logError(source, "%s", net::describeFailure(run.zeroFailure).c_str());
            status = run.zeroFailure;
        } else {
            status = net::Failure::of(net::Cause::NotWritten);
        }
    }
    if (reason == DriveExit::Failure) {
        logError(source, "Drive failed: %s", note.text.c_str());
        if (status.ok()) status = CommandResult(net::RESULT_OPERATION_FAIL);
    } else if (controller.linkLost()) {
        logError(source, "Link lost: three requests in a row failed");
        net::Failure last;
        if (status.ok()) status = readings.lastFailure(last) ? CommandResult(last) : CommandResult(net::Failure::of(net::Cause::LinkFailed));
    } else if (reason == DriveExit::TerminalGone) {
        // The link is fine: say what did go away. A terminal that goes away
        // is a hang-up, and the console leaves as it does on SIGHUP.
        logError(source, "Drive failed: the terminal went away");
        if (status.ok()) status = CommandResult(interruptStatus(SIGHUP));
        markOutcomeReported();
    }
    terminalScope.reset();
    status.withStop(stopReportOf(stopOutcome));
    if (sig != 0 && status.ok()) {
        return CommandResult(interruptStatus(sig)).withStop(status.stop());
    }
    return status;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
