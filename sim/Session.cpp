#include "sim/Session.h"

#include <cstdio>

#include "drv/ControlBus.h"
#include "drv/FrameDecoder.h"
#include "log/LogLevel.h"

namespace zorn {
namespace orbitane {
namespace sim {

namespace {

namespace util = nivo::system::util;

// Seed of the first noise burst of a session.
constexpr uint32_t kNoiseSeed = 0x5EED;

// The console's synchronisation message: command 0 with 64 bytes.
bool isSyncFrame(const Frame& f) { return f.good && f.cmd == 0 && f.length == 65; }

// The answer as the request log shows it, decoded as the answer to `code`.
std::string describeAnswer(const Answer& a, int code) {
    return drv::decodeAnswer(a.cmd, a.payload.data(), a.payload.size(), code).text;
}

}  // namespace

Session::Session(BaseDevice& device, const std::string& name, const Options& options, const LogSink& sink)
    : device_(device), name_(name), options_(options), log_(sink), replay_(options_.replay.get()) {
    // A close-after count of 0 refuses the connection at once. A serial
    // line cannot be refused before it is used, so there it acts like 1.
    if (!options_.serialLine && device_.closeAfter() == 0) {
        closeScheduled_ = true;
        log(util::LOG_INFO, "closing the connection before any request");
    }
}

void Session::log(int level, const std::string& line) const {
    if (log_) log_(level, name_ + ": " + line);
}

void Session::warn(const std::string& kind, int64_t nowNs, const std::string& line) {
    if (options_.warnings && !options_.warnings->admit(kind, nowNs)) return;
    log(util::LOG_WARN, line);
}

void Session::take(const uint8_t* data, size_t size, int64_t nowNs) {
    if (size == 0 || stalled_) return;
    checkPartialFrame(nowNs);
    lastByteNs_ = nowNs;
    for (Frame& f : codec_.feed(data, size)) held_.push_back(Held{std::move(f), nowNs});
}

size_t Session::process(int64_t nowNs, size_t maxFrames) {
    size_t handled = 0;
    while (handled < maxFrames && !held_.empty() && !stalled_ &&
           (released_ || (nowNs >= busyUntilNs_ && !heldBackByUnsent(awaitingHost_)))) {
        Held next = std::move(held_.front());
        held_.pop_front();
        onFrame(next.frame, next.atNs, nowNs);
        ++handled;
    }
    // Frames that came after the stalling request were never meant to be seen.
    if (stalled_) held_.clear();
    if (released_) {
        queue_.clear();
        queuedBytes_ = 0;
    }
    return handled;
}

void Session::receive(const uint8_t* data, size_t size, int64_t nowNs) {
    take(data, size, nowNs);
    process(nowNs);
}

bool Session::heldBackByUnsent(size_t bytesAwaitingHost) const {
    return options_.holdAboveUnsentBytes > 0 && bytesAwaitingHost + queuedBytes_ >= options_.holdAboveUnsentBytes;
}

int64_t Session::nextWorkNs(size_t bytesAwaitingHost) const {
    if (held_.empty() || stalled_) return -1;
    if (released_) return 0;
    // Held back by unread answers, the base waits for the link to drain
    // (or for its own queued answers to fall due), which wakes it anyway.
    if (heldBackByUnsent(bytesAwaitingHost)) return -1;
    return busyUntilNs_ > 0 ? busyUntilNs_ : 0;
}

void Session::release() {
    released_ = true;
    busyUntilNs_ = -1;
    awaitingHost_ = 0;
    queue_.clear();
    queuedBytes_ = 0;
}

void Session::carryOutHeld(int64_t nowNs) {
    release();
    if (!held_.empty() && !stalled_) {
        log(util::LOG_INFO, "the host is gone; handling the " + std::to_string(held_.size()) +
                                " frames it sent that were still waiting, without answers");
    }
    process(nowNs);
}

int64_t Session::partialFrameDeadlineNs() const {
    if (!options_.serialLine || !codec_.midFrame()) return -1;
    return lastByteNs_ + options_.partialFrameTimeoutNs;
}

void Session::checkPartialFrame(int64_t nowNs) {
    int64_t deadline = partialFrameDeadlineNs();
    if (deadline >= 0 && nowNs >= deadline) {
        warn("incomplete frame", nowNs, "incomplete frame dropped after a pause on the line");
        codec_.reset();
    }
}

void Session::onFrame(const Frame& f, int64_t atNs, int64_t nowNs) {
    if (!f.good) {
        char text[96];
        std::snprintf(text, sizeof text, "bad frame ignored (command 0x%02X, %u bytes, checksum mismatch)", f.cmd,
                      f.length);
        warn("bad frame", nowNs, text);
        return;
    }
    if (f.cmd == drv::CMD_CONTROL_BUS && f.length >= 1) {
        onRequest(f, atNs, nowNs);
        return;
    }
    if (isSyncFrame(f)) {
        if (options_.serialLine && handled_ > 0) restart(nowNs);
        log(util::LOG_DEBUG, "synchronisation message");
        return;
    }
    char text[96];
    std::snprintf(text, sizeof text, "message 0x%02X with %zu payload bytes ignored", f.cmd, f.payload.size());
    log(util::LOG_INFO, text);
}

void Session::restart(int64_t nowNs) {
    log(util::LOG_INFO, "new host session");
    plan_.reset();
    replay_.restart();
    handled_ = 0;
    offCapture_ = 0;
    floods_ = 0;
    closeScheduled_ = false;
    (void)nowNs;
    device_.hostGone();
}

void Session::onRequest(const Frame& f, int64_t atNs, int64_t nowNs) {
    if (!options_.requestTimes) {
        handleRequest(f, atNs, nowNs);
        return;
    }
    // Answer bytes this request queued: the growth of the queue (an answer
    // dropped for the unsent limit empties it and counts as none).
    const size_t queuedBefore = queuedBytes_;
    handleRequest(f, atNs, nowNs);
    const size_t answerBytes = queuedBytes_ > queuedBefore ? queuedBytes_ - queuedBefore : 0;
    const size_t frameBytes = f.length + (f.length < 256 ? 3u : 4u);
    char text[128];
    std::snprintf(text, sizeof text, "timing: request 0x%02X, %zu bytes, in at %lld ns; answer %zu bytes",
                  f.payload.empty() ? 0u : static_cast<unsigned>(f.payload[0]), frameBytes,
                  static_cast<long long>(atNs), answerBytes);
    log(util::LOG_INFO, text);
}

void Session::handleRequest(const Frame& f, int64_t atNs, int64_t nowNs) {
    ReceivedRequest received;
    received.atNs = atNs;
    received.code = f.payload.empty() ? -1 : f.payload[0];
    if (!f.payload.empty()) received.args.assign(f.payload.begin() + 1, f.payload.end());
    const std::string what = drv::decodeRequest(f.cmd, f.payload.data(), f.payload.size()).text;
    if (closeScheduled_) {
        received.fault = "closing";
        device_.noteReceived(received);
        log(util::LOG_INFO, what + " -> ignored, connection closing");
        return;
    }
    ++handled_;
    if (replay_.active()) {
        device_.noteReceived(received);
        answerFromCapture(received.code, received.args, what, nowNs);
        return;
    }

    std::vector<FaultRule> rules = device_.faults();
    const FaultRule* rule = plan_.next(rules, received.code);
    FaultEffect effect = effectOf(rule);
    if (rule != nullptr) received.fault = faultKindName(rule->kind);
    device_.noteReceived(received);

    Answer answer;
    if (rule != nullptr && rule->kind == FaultKind::Unsupported) {
        answer = Answer::error(ERR_NOT_SUPPORTED);
    } else if (rule != nullptr && rule->kind == FaultKind::Error) {
        answer = Answer::error(rule->errorCode);
    } else if (effect.execute) {
        answer = device_.execute(f.payload.data(), f.payload.size());
    }

    std::string outcome;
    if (effect.closeLink) {
        outcome = "no answer, closing the connection";
        closeScheduled_ = true;
    } else if (effect.stall) {
        outcome = "no answer, the line is no longer read (stall)";
        stalled_ = true;
    } else if (!effect.answer && effect.execute) {
        outcome = describeAnswer(answer, received.code) + ", answer lost (lose_answer)";
    } else if (!effect.answer) {
        outcome = "no answer (silent)";
    } else {
        if (rule != nullptr && rule->kind == FaultKind::Short) {
            size_t keep = rule->size >= 0 ? static_cast<size_t>(rule->size)
                                          : (answer.payload.empty() ? 0 : answer.payload.size() - 1);
            if (keep < answer.payload.size()) answer.payload.resize(keep);
        } else if (rule != nullptr && rule->kind == FaultKind::Long) {
            answer.payload.insert(answer.payload.end(), static_cast<size_t>(rule->extra), 0);
        }
        const bool swallow = rule != nullptr && rule->kind == FaultKind::Swallow;
        std::vector<uint8_t> bytes =
            swallow ? FrameCodec::encodeSwallowing(answer.cmd, answer.payload, static_cast<size_t>(rule->extra))
                    : FrameCodec::encode(answer.cmd, answer.payload);
        outcome = describeAnswer(answer, received.code);
        if (bytes.empty()) {
            outcome += " too large for a frame, not sent";
        } else {
            if (effect.corruptChecksum) {
                bytes.back() ^= 0xFF;
                outcome += ", bad checksum";
            }
            if (swallow) {
                outcome += ", length header claims " + std::to_string(rule->extra) + " more bytes";
            }
            if (effect.noiseBytes > 0) {
                // Each burst differs from the one before, the same way every run.
                std::vector<uint8_t> noise =
                    FrameCodec::lineNoise(effect.noiseBytes, kNoiseSeed + floods_++, effect.noiseEndsMidFrame);
                outcome += ", after " + std::to_string(noise.size()) + " bytes of line noise" +
                           (effect.noiseEndsMidFrame ? " ending inside a frame" : "");
                noise.insert(noise.end(), bytes.begin(), bytes.end());
                bytes.swap(noise);
            }
            if (effect.delayNs > 0) outcome += ", delayed " + std::to_string(rule->delayMs) + " ms";
            // Answers leave in request order, even behind a delayed one,
            // and the base takes up nothing else until a delayed one is out.
            int64_t due = nowNs + effect.delayNs;
            if (due < lastDueNs_) due = lastDueNs_;
            lastDueNs_ = due;
            if (effect.delayNs > 0 && !released_) busyUntilNs_ = due;
            if (options_.maxUnsentBytes > 0 && awaitingHost_ + queuedBytes_ + bytes.size() > options_.maxUnsentBytes) {
                outcome += ", dropped with everything unsent (host is not reading)";
                droppedBytes_ += awaitingHost_ + queuedBytes_ + bytes.size();
                awaitingHost_ = 0;
                queuedBytes_ = 0;
                queue_.clear();
            } else {
                queuedBytes_ += bytes.size();
                queue_.push_back(Pending{due, std::move(bytes)});
            }
        }
        if (rule != nullptr && (rule->kind == FaultKind::Short || rule->kind == FaultKind::Long)) {
            outcome += std::string(" (") + faultKindName(rule->kind) + ")";
        }
    }
    log(util::LOG_INFO, what + " -> " + outcome);

    int closeAfter = device_.closeAfter();
    if (closeAfter >= 0 && handled_ >= closeAfter) {
        closeScheduled_ = true;
        log(util::LOG_INFO, "closing the connection after " + std::to_string(handled_) + " requests");
    }
}

void Session::answerFromCapture(int code, const std::vector<uint8_t>& args, const std::string& what, int64_t nowNs) {
    std::string why = "it holds no request of this kind";
    const ReplayExchange* exchange = code < 0 ? nullptr : replay_.next(static_cast<uint8_t>(code), args, why);
    if (exchange == nullptr) {
        // The host has left the capture: it hears so at once, rather than
        // waiting out a time-out for an answer that will not come.
        ++offCapture_;
        const Answer refusal = Answer::error(ERR_NOT_SUPPORTED);
        const std::vector<uint8_t> bytes = FrameCodec::encode(refusal.cmd, refusal.payload);
        const int64_t due = nowNs < lastDueNs_ ? lastDueNs_ : nowNs;
        lastDueNs_ = due;
        queuedBytes_ += bytes.size();
        queue_.push_back(Pending{due, bytes});
        log(util::LOG_WARN, what + " -> not in the capture (" + why + "), answered not supported (" +
                                std::to_string(offCapture_) +
                                (offCapture_ == 1 ? " request" : " requests") + " of this host off the capture)");
        return;
    }
    std::string outcome;
    for (const ReplayExchange::Part& part : exchange->parts) {
        // As long after the request as in the capture, and in its order.
        int64_t due = nowNs + part.afterNs;
        if (due < lastDueNs_) due = lastDueNs_;
        lastDueNs_ = due;
        std::string text = std::to_string(part.bytes.size()) + " bytes outside a frame";
        const std::vector<Frame> frames = FrameCodec().feed(part.bytes.data(), part.bytes.size());
        const size_t header = !part.bytes.empty() && part.bytes[0] == zorn::net::FRAME_FLAGS_LONG ? 3 : 2;
        if (frames.size() == 1 && frames[0].good && frames[0].length > 0 &&
            header + frames[0].length + 1 == part.bytes.size()) {
            text = drv::decodeAnswer(frames[0].cmd, frames[0].payload.data(), frames[0].payload.size(), code).text;
        } else if (frames.size() == 1 && !frames[0].good) {
            text = "frame of " + std::to_string(part.bytes.size()) + " bytes with a bad checksum";
        }
        if (part.afterNs >= 1000000) text += ", after " + std::to_string(part.afterNs / 1000000) + " ms";
        outcome += (outcome.empty() ? "" : "; ") + text;
        queuedBytes_ += part.bytes.size();
        queue_.push_back(Pending{due, part.bytes});
    }
    if (outcome.empty()) outcome = "no answer";
    log(util::LOG_INFO, what + " -> " + outcome + " (from the capture)");
}

std::vector<uint8_t> Session::takeDue(int64_t nowNs) {
    std::vector<uint8_t> out;
    for (const std::vector<uint8_t>& answer : takeDueAnswers(nowNs)) out.insert(out.end(), answer.begin(), answer.end());
    return out;
}

std::vector<std::vector<uint8_t>> Session::takeDueAnswers(int64_t nowNs) {
    std::vector<std::vector<uint8_t>> out;
    while (!queue_.empty() && queue_.front().dueNs <= nowNs) {
        queuedBytes_ -= queue_.front().bytes.size();
        out.push_back(std::move(queue_.front().bytes));
        queue_.pop_front();
    }
    return out;
}

size_t Session::takeDroppedBytes() {
    size_t dropped = droppedBytes_;
    droppedBytes_ = 0;
    return dropped;
}

int64_t Session::nextDueNs() const { return queue_.empty() ? -1 : queue_.front().dueNs; }

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
