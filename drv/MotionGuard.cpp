#include "drv/MotionGuard.h"

#include <chrono>

#include "log/Log.h"
#include "net/Result.h"

namespace zorn {
namespace drv {

using namespace nivo::system::util;

MotionGuard::MotionGuard(QuindleBaseDrv& driver, Stop how, const Hooks& hooks)
    : driver_(driver), how_(how), hooks_(hooks) {}

MotionGuard::~MotionGuard() {
    if (!armed_ || stopped_) return;
    try {
        leftEarly_ = true;
        stop();
    } catch (...) {
        // Possibly leaving by an exception already; a second one would terminate.
    }
}

int32_t MotionGuard::sendStop() {
    if (how_ == Stop::Wheels) {
        const base_set_motor_request_t zero = {};
        return driver_.setMotor(zero);
    }
    const base_set_velocity_request_t zero = {};
    base_set_velocity_response_t ignored;
    return driver_.setVelocity(zero, ignored);
}

int32_t MotionGuard::stop() {
    if (stopped_) return result_;
    const auto first = std::chrono::steady_clock::now();
    net::CancelToken* token = driver_.getEndpoint() != nullptr ? &driver_.getEndpoint()->cancelToken() : nullptr;
    result_ = net::RESULT_OPERATION_FAIL;
    for (attempts_ = 0; attempts_ < STOP_ATTEMPTS;) {
        result_ = sendStop();
        ++attempts_;
        if (result_ >= 0) break;
        if (token != nullptr && token->stopWaitCut()) break;  // told to leave now
        const bool underSignal = signal() != 0 || (token != nullptr && token->stopRequested());
        if (underSignal && std::chrono::steady_clock::now() - first >= std::chrono::milliseconds(RETRY_WINDOW_MS)) {
            break;  // another time-out would pass the 2 s the console has to end
        }
    }
    if (result_ >= 0) result_ = net::RESULT_OK;
    stopped_ = true;
    armed_ = false;
    report();
    if (hooks_.outcome != nullptr) hooks_.outcome(result_ >= 0, result_);
    return result_;
}

void MotionGuard::report() const {
    const std::string& source = LOG_SOURCE_BASE_CONSOLE_APP;
    const char* what = how_ == Stop::Wheels ? "motors" : "base";
    const char* name = signal() != 0 && hooks_.interruptSignalName != nullptr ? hooks_.interruptSignalName() : nullptr;
    if (name != nullptr) {
        if (result_ >= 0) {
            logWarn(source, "Interrupted by %s, %s stopped", name, what);
            return;
        }
        logWarn(source, "Interrupted by %s", name);
    } else if (result_ >= 0) {
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
             static_cast<unsigned>(result_));
}

int MotionGuard::finalResult(int commandResult) const {
    const int sig = signal();
    if (sig != 0) return net::interruptStatus(sig);
    if (stopped_ && result_ < 0) return result_;
    return commandResult;
}

}  // namespace drv
}  // namespace zorn
