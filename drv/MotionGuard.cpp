#include "drv/MotionGuard.h"

#include "log/Log.h"
#include "net/Result.h"

namespace zorn {
namespace drv {

using namespace nivo::system::util;

MotionGuard::MotionGuard(QuindleBaseDrv& driver, Stop how, const Hooks& hooks)
    : driver_(driver), how_(how), hooks_(hooks) {}

MotionGuard::~MotionGuard() {
    if (!armed_ || outcome_.sent) return;
    try {
        stopLeftEarly();
    } catch (...) {
        // Possibly leaving by an exception already; a second one would terminate.
    }
}

Done MotionGuard::sendStop() {
    if (how_ == Stop::Wheels) return driver_.setWheelSpeeds(0, 0);
    const auto answered = driver_.setVelocity(0, 0, 0);
    if (!answered) return answered.failure();
    return {};
}

const StopOutcome& MotionGuard::stop() {
    if (outcome_.sent) return outcome_;
    net::Link& link = driver_.link();
    const net::CancelToken& token = link.cancelToken();
    const net::TimePoint first = link.clock().now();
    outcome_.sent = true;
    while (outcome_.attempts < STOP_ATTEMPTS) {
        const Done answered = sendStop();
        ++outcome_.attempts;
        if (answered) {
            outcome_.confirmed = true;
            break;
        }
        outcome_.failure = answered.failure();
        // A link that is gone takes no further stop, and a second signal
        // says to leave now.
        if (link.broken() || token.stopWaitCut()) break;
        const bool underSignal = signal() != 0 || token.stopRequested();
        // Another time-out would pass the 2 s the console has to end.
        if (underSignal && link.clock().now() - first >= RETRY_WINDOW) break;
    }
    armed_ = false;
    report();
    return outcome_;
}

void MotionGuard::report() const {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const char* what = how_ == Stop::Wheels ? "motors" : "base";
    const char* name = signal() != 0 && hooks_.interruptSignalName != nullptr ? hooks_.interruptSignalName() : nullptr;
    if (name != nullptr) {
        if (outcome_.confirmed) {
            logWarn(source, "Interrupted by %s, %s stopped", name, what);
            return;
        }
        logWarn(source, "Interrupted by %s", name);
    } else if (outcome_.confirmed) {
        // A command that left without stopping (an exception) failed: the
        // line goes with its error.
        if (leftEarly_) {
            logWarn(source, "Stop request answered: %s stopped", what);
        } else {
            logInfo(source, "Stop request answered: %s stopped", what);
        }
        return;
    }
    logError(source, "The base did not confirm the stop request (%08X): it may still be moving",
             static_cast<unsigned>(outcome_.result()));
}

int MotionGuard::finalResult(int commandResult) const {
    const int sig = signal();
    if (sig != 0) return net::interruptStatus(sig);
    if (outcome_.sent && !outcome_.confirmed) return outcome_.result();
    return commandResult;
}

}  // namespace drv
}  // namespace zorn
