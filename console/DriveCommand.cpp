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
#include "config/SystemConfig.h"
#include "console/ConfigCommands.h"
#include "console/DriveArguments.h"
#include "console/BumperPolarityOption.h"
#include "console/DriveController.h"
#include "console/DriveOptions.h"
#include "console/DriveReadings.h"
#include "console/DriveView.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "console/RunClock.h"
#include "console/StallWatch.h"
#include "drv/MotionGuard.h"
#include "drv/QuindleBaseDrv.h"
#include "log/Log.h"
#include "log/StandardOutput.h"
#include "net/Link.h"
#include "net/Result.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using namespace nivo::system::config;
using namespace zorn::drv;

namespace {

// Control period: the velocity goes out every 45 ms while moving, so that two
// requests are never more than 50 ms apart at the base even when the loop
// wakes a few milliseconds late.
constexpr int64_t TICK_NS = 45000000;
constexpr int64_t DRAW_NS = 100000000;  // the view at 10 Hz
// A slow draw is not allowed to squeeze the readings out altogether.
constexpr int64_t MAX_DRAW_COST_NS = 20000000;
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

std::string velocityText(const BodyVelocity& v) {
    char text[64];
    std::snprintf(text, sizeof text, "vx %.3f m/s omega %.3f rad/s", v.vx, v.omega);
    return text;
}

// Reading a key may redraw the screen, so it may block like drawing.
ViewKey nextKeyWatched(DriveView& view, DriveKey& key, StallWatch& watch) {
    StallWatch::Section writing(watch);
    return view.nextKey(key);
}

// The state the loop and the closing report share.
struct DriveRun {
    bool dryRun = false;
    long withheld = 0;             // velocity requests a dry run did not send
    std::string lastWithheld;
    bool zeroAttempted = false;     // a zero was sent after driving ended
    bool zeroAnswered = false;
    zorn::net::Failure zeroFailure;  // why that zero was not answered
    bool stopInDoubt = false;       // the last velocity request failed while the base may move
    bool refused = false;           // ... because the base refused it
    zorn::net::Failure refusal;
    std::string message;
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
    bool legacy = false;
    const bool haveConfig = fetchSystemConfig(config, *driver_, false, legacy).ok();
    if (haveConfig) {
        applyConfigSpeeds(config.base, settings);
    } else {
        logWarn(source, "Configuration unreadable: default speed steps, every bumper/cliff bit stops all motion");
    }
    DriveController controller(settings, monotonicNanoseconds,
                               haveConfig ? guardSensorsOf(config.base) : guardEverything());
    DriveReadings readings(*driver_, haveConfig ? &config : nullptr, settings.halfTrack * 2.0);
    if (haveConfig) controller.setSonarGuards(sonarGuardsOf(config.base));
    DriveRun run;
    run.dryRun = commandOption(DRY_RUN_OPTION).isSet;
    const bool activeLow = commandOption(BUMPER_ACTIVE_LOW_OPTION).isSet;

    // Sends a velocity, or in a dry run only notes it.
    MotionGuard guard(*driver_, MotionGuard::Stop::Body, consoleMotionHooks());
    auto send = [&](const BodyVelocity& v) {
        if (run.dryRun) {
            ++run.withheld;
            run.lastWithheld = velocityText(v);
            controller.onVelocitySent(v, true);
            return true;
        }
        if (!v.isZero()) guard.arm();
        const net::Done result = readings.sendVelocity(v);
        if (!result && interrupted()) controller.stop(DriveExit::Signal);  // cut by the signal, not lost
        if (!result && refusedByTheBase(result.failure())) {
            controller.onVelocityRefused(v);
            run.refusal = result.failure();
            run.refused = true;
        } else {
            controller.onVelocitySent(v, result.ok());
            if (result) run.refused = false;
        }
        if (controller.stopAcknowledged()) guard.disarm();
        // The base keeps the last velocity it took: a request it did not
        // take while it may be moving is an alarm, until one is taken.
        run.stopInDoubt = !result && guard.armed();
        if (controller.exitReason() != DriveExit::None && v.isZero()) {
            run.zeroAttempted = true;
            run.zeroFailure = result ? net::Failure() : result.failure();
            run.zeroAnswered = result.ok();
        }
        return result.ok();
    };

    InterruptScope interruptScope(true);
    auto terminalScope = std::make_unique<TerminalRestoreScope>();
    // The loop sends nothing while it is stuck writing the view: the watch
    // sends zero in its place (a dry run has nothing to stop).
    const bool sendsVelocity = !run.dryRun;
    StallWatch outputWatch(OUTPUT_STALL, std::chrono::nanoseconds(TICK_NS), [this, sendsVelocity] {
        if (sendsVelocity) driver_->setVelocity(0, 0, 0);
    });
    StandardOutput::instance().flush();  // the lines so far, before the view takes the screen
    bool leaveNow = false;  // the link is lost and the key that ends the view came
    bool hungUp = false;    // the terminal went away
    try {
        // Log lines would tear the view apart: they are held back while it
        // shows and come out, in order, once it is gone.
        LogManager::HoldBack heldLines;
        DriveView view;
        int64_t nextTick = monotonicNanoseconds();
        int64_t lastDraw = 0;
        int64_t drawCost = 0;  // the last draw's time, kept free before a velocity request too
        bool lostHandled = false;
        while (!leaveNow) {
            const int64_t now = monotonicNanoseconds();
            const int waitMs = static_cast<int>(std::max<int64_t>(0, nextTick - now) / 1000000);
            struct pollfd input {STDIN_FILENO, POLLIN, 0};
            // A terminal that is gone stays readable for ever: then only the period is waited for.
            const int ready = hungUp ? poll(nullptr, 0, waitMs) : poll(&input, 1, waitMs);
            if (!hungUp && ready > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                hungUp = true;
                controller.stop(DriveExit::TerminalGone);
            }
            if (interrupted()) {
                controller.stop(DriveExit::Signal);
            }
            DriveKey key;
            for (ViewKey got = nextKeyWatched(view, key, outputWatch); got != ViewKey::None;
                 got = nextKeyWatched(view, key, outputWatch)) {
                if (controller.linkLost()) {
                    // Only a quit key closes the view once the loss is shown: a
                    // drive key still repeating from before must not hide it.
                    leaveNow = lostHandled && got == ViewKey::Drive && key == DriveKey::Quit;
                } else if (got == ViewKey::Suspend) {
                    raise(SIGTSTP);  // the key does what kill -TSTP does: stop, then leave with 148
                } else if (got == ViewKey::Drive) {
                    // Nobody drives blind: while the readings are not on
                    // screen only the stop and quit keys are taken.
                    if (DriveView::showsReadings() || key == DriveKey::EmergencyStop || key == DriveKey::Quit) {
                        controller.onKey(key);
                        if (!controller.latched() && run.message == EMERGENCY_STOP_NOTE) run.message.clear();
                    }
                    if (key == DriveKey::EmergencyStop) {
                        run.message = EMERGENCY_STOP_NOTE;
                    }
                }
                lastDraw = got == ViewKey::Resize ? 0 : lastDraw;
            }
            // Checked after the keys, right before the tick: the base was held
            // at zero behind the loop's back, and keys queued while drawing
            // was stuck are stale. Start again from rest, on a new press.
            if (!DriveView::showsReadings() && !(controller.target().isZero() && controller.commanded().isZero())) {
                controller.onKey(DriveKey::EmergencyStop);  // shrunk while moving: zero at once
                run.message = "Window too small: the base was stopped";
            }
            if (outputWatch.acted()) {
                controller.onKey(DriveKey::EmergencyStop);
                view.discardInput();
                run.message = "Terminal output stalled: the base was stopped";
            }

            const int64_t tickNow = monotonicNanoseconds();
            const bool periodic = tickNow >= nextTick;
            if (periodic || controller.urgent()) {
                if (periodic) {
                    nextTick = std::max(nextTick + TICK_NS, tickNow + TICK_NS / 2);
                }
                BodyVelocity velocity;
                if (controller.tick(velocity)) {
                    send(velocity);
                }
                if (controller.exitReason() == DriveExit::None && periodic) {
                    uint32_t bits = 0;
                    const PollOutcome bumper = readings.pollBumper(bits, nextTick - drawCost);
                    if (bumper != PollOutcome::NotPolled) {
                        if (bumper == PollOutcome::Failed && interrupted()) controller.stop(DriveExit::Signal);
                        controller.onRequestResult(bumper != PollOutcome::Failed);
                    }
                    if (bumper == PollOutcome::Answered) {
                        // Active low: a clear bit is the triggered sensor.
                        controller.onBumperBits(activeLow ? ~bits : bits);
                    }
                    const PollOutcome next =
                        controller.exitReason() == DriveExit::None ? readings.pollNext(nextTick - drawCost) : PollOutcome::NotPolled;
                    if (next != PollOutcome::NotPolled) {
                        if (next == PollOutcome::Failed && interrupted()) controller.stop(DriveExit::Signal);
                        controller.onRequestResult(next != PollOutcome::Failed);
                    }
                    std::vector<double> distances;
                    if (readings.sonarDistances(distances)) controller.onSonarDistances(distances);
                }
            }

            const DriveExit reason = controller.exitReason();
            if (reason == DriveExit::LinkLost && !lostHandled) {
                lostHandled = true;
                // Stop trying, except for one last zero when the base may be moving.
                if (!run.dryRun && !controller.stopAcknowledged() && !run.zeroAttempted) {
                    send(BodyVelocity());
                }
                const char* outcome = run.dryRun                       ? "dry run, no velocity was sent"
                                      : controller.stopAcknowledged() ? "the base had stopped"
                                                                      : "stop request sent, no answer";
                run.message = std::string("LINK LOST: ") + outcome + "; press q to leave";
                lastDraw = 0;
            }
            if (reason != DriveExit::None && reason != DriveExit::LinkLost) {
                break;  // the zero went out with this tick; the guard retries it once the view is gone
            }
            if (controller.linkLost() && (hungUp || interrupted())) {
                break;  // nobody is left to read the screen, or they asked to go
            }

            const int64_t drawNow = monotonicNanoseconds();
            if (!hungUp && drawNow - lastDraw >= DRAW_NS) {
                lastDraw = drawNow;
                DriveSnapshot snapshot;
                snapshot.identity = identityLine_;
                snapshot.channel = utils::describeProvider(provider());
                snapshot.dryRun = run.dryRun;
                readings.fill(snapshot, settings.nearMetres * 1000.0);
                std::string previousLabel;
                for (const GuardSensor& guard : controller.guards()) {
                    if (guard.label != previousLabel) {
                        snapshot.marks.push_back({guard.label, ((controller.triggeredBits() >> guard.bit) & 1u) != 0});
                        previousLabel = guard.label;
                    }
                }
                snapshot.step = controller.step();
                for (int i = 0; i < 3; ++i) {
                    snapshot.stepSpeeds[i] = controller.settings().stepSpeeds[i];
                    snapshot.stepCapped[i] = controller.settings().stepCapped[i];
                }
                snapshot.speedsFromConfig = controller.settings().speedsFromConfig;
                snapshot.target = controller.target();
                snapshot.commanded = controller.commanded();
                snapshot.guardReason = controller.blockReason();
                if (run.dryRun && run.withheld > 0) {
                    snapshot.dryRunLine = "Dry run, not sent: velocity " + run.lastWithheld + " (" +
                                          std::to_string(run.withheld) + " requests withheld)";
                }
                snapshot.message = run.stopInDoubt && !controller.linkLost()
                                       ? (run.refused ? "REFUSED: " + net::failureWords(run.refusal) +
                                                            "; the base may still be moving"
                                                      : std::string("STOP NOT CONFIRMED: the base may still be moving"))
                                       : run.message;
                snapshot.alarm = run.stopInDoubt;
                snapshot.linkLost = controller.linkLost();
                snapshot.configRead = haveConfig;
                snapshot.corruptedFrames = link()->stats().corrupted;
                snapshot.motionState = run.dryRun                         ? "DRY RUN"
                                       : run.stopInDoubt && !controller.linkLost() ? "STOP NOT CONFIRMED"
                                                                                    : controller.motionState();
                if (controller.linkLost()) {
                    // Nothing is read any more: every value is as old as it looks.
                    for (ReadingAge* age : {&snapshot.statusAge, &snapshot.motorAge, &snapshot.sensorAge,
                                            &snapshot.bumperAge, &snapshot.beaconAge}) {
                        age->stale = true;
                    }
                }
                StallWatch::Section writing(outputWatch);
                view.draw(snapshot);
                drawCost = std::min(MAX_DRAW_COST_NS, monotonicNanoseconds() - drawNow);
            }
        }
    } catch (const std::exception& e) {
        controller.stop(DriveExit::Failure);
        run.message = e.what();
    } catch (...) {
        controller.stop(DriveExit::Failure);
        run.message = "unknown exception";
    }
    // The view is gone and the terminal restored; make sure the base is told
    // to stop on paths that left before a zero was answered. Leaving must be
    // prompt, so the stop is asked for as under a signal (no request but the
    // stop goes out, and the attempts end within 2 s).
    if (guard.armed()) {
        link()->cancelToken().requestStop();
        run.zeroAttempted = true;
        const StopOutcome& stop = guard.stop();
        run.zeroAnswered = stop.confirmed;
        run.zeroFailure = stop.failure;
        if (stop.confirmed) controller.onVelocitySent(BodyVelocity(), true);
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
        logError(source, "Drive failed: %s", run.message.c_str());
        if (status.ok()) status = CommandResult(net::RESULT_OPERATION_FAIL);
    } else if (controller.linkLost()) {
        logError(source, "Link lost: three requests in a row failed");
        net::Failure last;
        if (status.ok()) status = readings.lastFailure(last) ? CommandResult(last) : CommandResult(net::Failure::of(net::Cause::LinkFailed));
    } else if (reason == DriveExit::TerminalGone) {
        // The link is fine: say what did go away, rather than let the
        // frame read the status as a broken link.
        logError(source, "Drive failed: the terminal went away");
        if (status.ok()) status = CommandResult(net::RESULT_OPERATION_FAIL);
        markOutcomeReported();
    }
    const int sig = interruptSignal();
    terminalScope.reset();
    status.withStop(stopReportOf(guard.outcome()));
    if (sig != 0 && status.ok()) {
        return CommandResult(interruptStatus(sig)).withStop(status.stop());
    }
    return status;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
