// The public Base and Motion: each call one request through the session.
#include <cmath>

#include "drv/QuindleBaseDrv.h"
#include "drv/HostInfo.h"
#include "lib/Readings.h"
#include "lib/Session.h"
#include "lib/SystemConfigFetch.h"
#include "orbitane/Base.h"

#ifndef ORBITANE_VERSION
#error "ORBITANE_VERSION is set by the build (CMakeLists.txt at the top)"
#endif

namespace orbitane {

using detail::errorOf;
using detail::Session;
using detail::usageError;
using zorn::drv::MotionGuard;

namespace {

Session& opened(const std::shared_ptr<Session>& session) {
    if (!session) throw usageError("this Base was moved from: it holds no link");
    return *session;
}

// A value of the outcome, or the Error of its failure.
template <class T>
const T& valueOf(const zorn::net::Outcome<T>& outcome, const char* what) {
    if (!outcome) throw errorOf(outcome.failure(), what);
    return *outcome;
}

void check(const zorn::net::Done& done, const char* what) {
    if (!done) throw errorOf(done.failure(), what);
}

HostInfo answerGetInfoCall(Session& s) {
    const zorn::drv::base_get_info_answer_t answer = zorn::drv::hostInfoAnswer();
    check(s.driver().answerGetInfo(answer), "poll: answering get-info");
    return detail::hostInfoOf(answer);
}

}  // namespace

const char* version() { return ORBITANE_VERSION; }

bool velocityFits(double value) { return std::isfinite(value) && zorn::drv::velocityFits(value); }

Base::Base(std::shared_ptr<Session> session) : session_(std::move(session)) {}

Base Base::open(const std::string& uri, const OpenOptions& options) { return open(Endpoint::parse(uri), options); }

Base Base::open(const Endpoint& endpoint, const OpenOptions& options) {
    return Base(std::make_shared<Session>(endpoint, options));
}

Base::Base(Base&& other) noexcept = default;

Base& Base::operator=(Base&& other) noexcept {
    if (this != &other) {
        close();
        session_ = std::move(other.session_);
    }
    return *this;
}

Base::~Base() { close(); }

void Base::close() noexcept {
    if (session_) session_->close();
}

bool Base::isOpen() const noexcept { return session_ && session_->isOpen(); }

const Endpoint& Base::endpoint() const { return opened(session_).endpoint(); }

Identity Base::identity() const { return opened(session_).call([&] { return session_->identity(); }); }

Identity Base::readIdentity() {
    Session& s = opened(session_);
    return s.call([&] {
        const Identity identity = detail::identityOf(valueOf(s.driver().connect(), "connect"), s.identity().channel);
        s.keepIdentity(identity);
        return identity;
    });
}

Status Base::status() {
    Session& s = opened(session_);
    return s.call([&] { return detail::statusOf(valueOf(s.driver().getStatus(s.answerTimeout()), "status")); });
}

Motor Base::motor() {
    Session& s = opened(session_);
    return s.call([&] { return detail::motorOf(valueOf(s.driver().getMotorData(s.answerTimeout()), "motor")); });
}

SensorReading Base::sensor() {
    Session& s = opened(session_);
    return s.call([&] {
        const auto& config = s.systemConfig();
        return detail::sensorOf(config, valueOf(s.driver().getSensorData(s.answerTimeout()), "sensor"));
    });
}

BumperReading Base::bumper(bool activeLow) {
    Session& s = opened(session_);
    return s.call([&] {
        const auto& config = s.systemConfig();
        return detail::bumperOf(config, valueOf(s.driver().getBumperData(s.answerTimeout()), "bumper"), activeLow);
    });
}

BeaconReading Base::beacon(bool checked) {
    Session& s = opened(session_);
    return s.call([&] {
        return detail::beaconOf(valueOf(s.driver().getAutoHomeData(s.answerTimeout()), "beacon"), checked);
    });
}

std::vector<double> Base::distances() {
    Session& s = opened(session_);
    return s.call([&] {
        const auto answer = s.driver().getSensorData(s.answerTimeout());
        const auto& read = valueOf(answer, "distances");
        return std::vector<double>(read.metres.begin(), read.metres.end());
    });
}

uint32_t Base::bumperBits() {
    Session& s = opened(session_);
    return s.call([&] { return valueOf(s.driver().getBumperData(s.answerTimeout()), "bumper").bits; });
}

Config Base::config() {
    Session& s = opened(session_);
    return s.call([&] {
        const detail::FetchedConfig fetched = detail::fetchSystemConfig(s.driver(), s.showsDecodedConfig());
        s.keepConfig(fetched.config);
        return detail::configOf(fetched);
    });
}

double Base::radius() {
    Session& s = opened(session_);
    return s.call([&] { return valueOf(s.driver().getConfig(), "radius").radiusMm() / 1000.0; });
}

ShortRecord Base::shortRecord() {
    Session& s = opened(session_);
    return s.call([&] {
        const auto answer = s.driver().getConfig();
        const zorn::drv::base_conf_response_t& record = valueOf(answer, "short record").record;
        ShortRecord out;
        out.base_type = record.base_type;
        out.motor_type = record.base_motor_type;
        out.radius_q8 = static_cast<int>(record.base_radius_q8);
        out.sensor_count = record.base_sensor_num;
        out.bumper_count = record.base_bumper_num;
        return out;
    });
}

PollReading Base::poll(bool answer) {
    Session& s = opened(session_);
    return s.call([&] {
        PollReading out;
        out.pending_command = valueOf(s.driver().pollCommand(), "poll");
        out.get_info_requested = out.pending_command == zorn::drv::BASE_CMD_GET_INFO;
        if (out.get_info_requested && answer) {
            out.answered_get_info = answerGetInfoCall(s);
            out.answered = true;
        }
        return out;
    });
}

HostInfo Base::answerGetInfo() {
    Session& s = opened(session_);
    return s.call([&] { return answerGetInfoCall(s); });
}

int Base::event(int code) {
    if (code < 0 || code > 255) {
        throw usageError("event: the code " + std::to_string(code) + " is not one from 0 to 255");
    }
    Session& s = opened(session_);
    return s.call([&] {
        check(s.driver().sendEvent(static_cast<uint8_t>(code)), "event");
        return code;
    });
}

Motion Base::motion() {
    Session& s = opened(session_);
    const uint64_t scope = s.call([&] { return s.openScope(); });
    return Motion(session_, scope);
}

std::optional<StopOutcome> Base::lastStop() const { return opened(session_).lastStop(); }

LinkCounts Base::linkCounts() const {
    const zorn::net::LinkStats stats = opened(session_).linkStats();
    LinkCounts out;
    out.bytes_in = stats.bytesIn;
    out.good_frames = stats.goodFrames;
    out.requests = stats.requests;
    out.answers = stats.answers;
    out.timeouts = stats.timeouts;
    out.late_answers = stats.lateAnswers;
    out.unasked = stats.unasked;
    out.lost_answers = stats.lostAnswers;
    out.corrupted = stats.corrupted;
    out.messages = stats.messages;
    out.skipped_bytes = stats.skippedBytes;
    out.abandoned_starts = stats.abandonedStarts;
    out.line_errors = stats.lineErrors;
    return out;
}

void Base::setAnswerTimeout(std::chrono::nanoseconds limit) { opened(session_).setAnswerTimeout(limit); }

std::chrono::nanoseconds Base::answerTimeout() const { return opened(session_).answerTimeout(); }

bool Base::wouldWait(Request request) const {
    using zorn::net::AnswerShape;
    using zorn::net::RequestKind;
    // The link tells answers apart by their size.
    auto reading = [](size_t bytes) { return RequestKind{AnswerShape::of(static_cast<uint32_t>(bytes))}; };
    RequestKind kind;
    switch (request) {
        case Request::Status: kind = reading(sizeof(zorn::drv::base_status_response_t)); break;
        case Request::Motor: kind = reading(sizeof(zorn::drv::base_motor_status_response_t)); break;
        case Request::Sensor: kind = reading(sizeof(zorn::drv::base_sensor_data_response_t)); break;
        case Request::Bumper: kind = reading(sizeof(zorn::drv::base_bumper_data_response_t)); break;
        case Request::Beacon: kind = reading(sizeof(zorn::drv::base_autohome_response_t)); break;
        case Request::Velocity:
            kind = RequestKind{AnswerShape::of(sizeof(zorn::drv::base_set_velocity_response_t)),
                               zorn::net::Motion::Moves};
            break;
        case Request::Wheels: kind = RequestKind{AnswerShape::of(0), zorn::net::Motion::Moves}; break;
    }
    return opened(session_).wouldWait(kind);
}

bool Base::linkLost() const { return opened(session_).linkLost(); }

void Base::interrupt() noexcept {
    if (session_) session_->interrupt();
}

void Base::resetInterrupt() noexcept {
    if (session_) session_->resetInterrupt();
}

bool Base::interrupted() const noexcept { return session_ && session_->interrupted(); }

// ---------------------------------------------------------------------------

Motion::Motion(std::shared_ptr<Session> session, uint64_t scope) : session_(std::move(session)), scope_(scope) {}

Motion::Motion(Motion&& other) noexcept : session_(std::move(other.session_)), scope_(other.scope_) {
    other.scope_ = 0;
}

Motion::~Motion() {
    if (session_) session_->leaveScope(scope_);
}

void Motion::wheels(double left, double right) {
    // Whole mm/s in a signed 32-bit word.
    const double limit = 2147483.647;
    if (!std::isfinite(left) || !std::isfinite(right) || std::fabs(left) > limit || std::fabs(right) > limit) {
        throw usageError("wheels: the speeds are finite numbers of m/s, at most 2147483.647 in magnitude");
    }
    Session& s = opened(session_);
    s.call([&] {
        s.armFor(scope_, MotionGuard::Stop::Wheels);
        check(s.driver().setWheelSpeeds(left, right), "wheels");
        s.noteAnswered(scope_, zorn::drv::wheelSpeedWord(left) == 0 && zorn::drv::wheelSpeedWord(right) == 0);
    });
}

Displacement Motion::velocity(double vx, double vy, double omega) {
    for (double v : {vx, vy, omega}) {
        if (!orbitane::velocityFits(v)) {
            throw usageError("velocity: vx, vy and omega are finite numbers below 32768 in magnitude (m/s, rad/s)");
        }
    }
    Session& s = opened(session_);
    return s.call([&] {
        s.armFor(scope_, MotionGuard::Stop::Body);
        const Displacement moved =
            detail::displacementOf(valueOf(s.driver().setVelocity(vx, vy, omega, s.answerTimeout()), "velocity"));
        using zorn::drv::velocityWord;
        s.noteAnswered(scope_, velocityWord(vx) == 0 && velocityWord(vy) == 0 && velocityWord(omega) == 0);
        return moved;
    });
}

void Motion::assumeMoving(bool velocity) {
    Session& s = opened(session_);
    s.call([&] { s.assumeMoving(scope_, velocity ? MotionGuard::Stop::Body : MotionGuard::Stop::Wheels); });
}

namespace {

// Ends `scope` the way `end` does, once: a scope already ended gives the
// outcome it ended with.
StopOutcome endScopeBy(Session& s, uint64_t scope, StopOutcome (Session::*end)(uint64_t)) {
    if (s.scopeEnded(scope)) {
        const std::optional<StopOutcome> outcome = s.scopeOutcome(scope);
        return outcome ? *outcome : StopOutcome();
    }
    return s.call([&] { return (s.*end)(scope); });
}

}  // namespace

StopOutcome Motion::stop() { return endScopeBy(opened(session_), scope_, &Session::endScope); }

StopOutcome Motion::finish() { return endScopeBy(opened(session_), scope_, &Session::finishScope); }

bool Motion::atRest() const { return session_ && session_->atRest(scope_); }

bool Motion::ended() const { return !session_ || session_->scopeEnded(scope_); }

std::optional<StopOutcome> Motion::outcome() const {
    if (!session_) return std::nullopt;
    return session_->scopeOutcome(scope_);
}

}  // namespace orbitane
