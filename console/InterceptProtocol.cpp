#include "console/InterceptProtocol.h"

#include <json/json.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "drv/ControlBus.h"
#include "log/Log.h"
#include "app/JsonOutput.h"
#include "log/StandardOutput.h"
#include "net/Events.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using zorn::net::MessagePtr;

InterceptProtocol::InterceptProtocol(zorn::net::Protocol* inner) : InterceptProtocol(inner, TraceSettings()) {}

InterceptProtocol::InterceptProtocol(zorn::net::Protocol* inner, TraceSettings settings)
    : inner_(inner), settings_(std::move(settings)) {
    for (uint32_t event : {zorn::net::EVT_MESSAGE, zorn::net::EVT_BAD_FRAME}) {
        inner_->addHandler(event, this, &InterceptProtocol::relay);
    }
}

int InterceptProtocol::relay(uint32_t event, zorn::net::MessageDispatcher*, MessagePtr& message) {
    if (!settings_.decode || event != zorn::net::EVT_MESSAGE || !message) {
        dispatch(event, message);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delivering_ = message.get();
        dropped_ = false;
    }
    // The endpoint sorts the answer while it is dispatched, and tells
    // noteDroppedAnswer when it drops it.
    dispatch(event, message);
    decodeAnswerLine(message);
    return 0;
}

void InterceptProtocol::noteDroppedAnswer(const MessagePtr& answer, uint8_t owedCmd, uint8_t owedCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answer.get() != delivering_) return;
    dropped_ = true;
    owedCmd_ = owedCmd;
    owedCode_ = owedCode;
}

void InterceptProtocol::decodeAnswerLine(const MessagePtr& message) {
    const Clock::time_point now = Clock::now();
    int code;
    bool dropped;
    uint8_t owedCmd, owedCode;
    Clock::time_point sentAt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delivering_ = nullptr;
        dropped = dropped_;
        owedCmd = owedCmd_;
        owedCode = owedCode_;
        code = lastCode_;
        sentAt = lastSentAt_;
    }
    const zorn::drv::DecodedFrame answer = zorn::drv::decodeAnswer(
        message->cmd, message->data(), message->payload.size(), dropped ? static_cast<int>(owedCode) : code);
    if (!dropped) {
        const double rtt = code >= 0 ? std::chrono::duration<double, std::milli>(now - sentAt).count() : -1;
        emit(now, false, "answer", answer.text, &answer, "request", code >= 0 ? zorn::drv::requestName(code) : "",
             rtt);
        return;
    }
    const bool unasked = owedCmd == 0 && owedCode == 0;
    const char* owedName = zorn::drv::requestName(owedCode);
    std::string owed = owedCmd == zorn::drv::CMD_CONTROL_BUS && owedName != nullptr ? owedName : "a request";
    std::string text = unasked ? "unasked answer, dropped" : "late answer (owed to " + owed + "), dropped";
    emit(now, false, "dropped answer", text + ": " + answer.text, &answer, "owed_to", unasked ? "" : owed);
}

void InterceptProtocol::emit(Clock::time_point at, bool sent, const std::string& kind, const std::string& text,
                             const zorn::drv::DecodedFrame* decoded, const std::string& extraName,
                             const std::string& extraValue, double rttMs) {
    const double ms = std::chrono::duration<double, std::milli>(at - start_).count();
    std::string line;
    if (settings_.json) {
        Json::Value object(Json::objectValue);
        object["trace"] = kind;
        object["time_ms"] = ms;
        object["direction"] = sent ? "host->base" : "base->host";
        object["text"] = text;
        if (!extraName.empty() && !extraValue.empty()) object[extraName] = extraValue;
        if (rttMs >= 0) object["rtt_ms"] = rttMs;
        if (decoded != nullptr && !decoded->fields.empty()) {
            Json::Value fields(Json::objectValue);
            for (const zorn::drv::DecodedField& field : decoded->fields) {
                Json::Value value(Json::objectValue);
                if (field.isText) value["value"] = field.text;
                else value["value"] = field.number;
                if (!field.unit.empty()) value["unit"] = field.unit;
                fields[field.name] = value;
            }
            object["fields"] = fields;
        }
        static const std::unique_ptr<Json::StreamWriter> writer([] {
            Json::StreamWriterBuilder builder;
            builder["indentation"] = "";
            builder["precision"] = 6;
            builder["precisionType"] = "decimal";
            return builder.newStreamWriter();
        }());
        std::ostringstream out;
        writer->write(object, &out);
        line = out.str() + "\n";
    } else {
        char head[64];
        std::snprintf(head, sizeof head, "+%.3f ms  %s ", ms, sent ? "->" : "<-");
        line = head + text;
        if (rttMs >= 0) {
            char rtt[48];
            std::snprintf(rtt, sizeof rtt, "  (rtt %.3f ms)", rttMs);
            line += rtt;
        }
        line += '\n';
    }
    nivo::system::util::StandardOutput::instance().write(2, line);
}

bool InterceptProtocol::getSyncMessage(MessagePtr& out) { return inner_->getSyncMessage(out); }

void InterceptProtocol::reset() {
    scanner_.reset();
    inner_->reset();
}

void InterceptProtocol::decodeByte(uint8_t byte) {
    if (settings_.hexDump) {
        logInfo(LOG_SOURCE_INTERCEPT, "1 byte received: %02x", byte);
    }
    if (settings_.decode || settings_.capture) {
        observeReceived(&byte, 0, 1);
        return;
    }
    inner_->decodeByte(byte);
}

void InterceptProtocol::decode(const uint8_t* data, uint16_t offset, uint16_t count) {
    if (settings_.hexDump) {
        logInfo(LOG_SOURCE_INTERCEPT, "%d bytes received:", count);
        dumpBytes(stdout, data + offset, count);
    }
    if (settings_.decode || settings_.capture) {
        observeReceived(data, offset, count);
        return;
    }
    inner_->decode(data, offset, count);
}

void InterceptProtocol::observeReceived(const uint8_t* data, uint16_t offset, uint16_t count) {
    // One event of the scanner at a time: its bytes go to the inner
    // protocol right after the event was noted, so the lines and the
    // capture keep the order of the line.
    uint16_t done = 0;
    while (done < count) {
        zorn::drv::FrameScanner::Event event;
        const uint16_t at = static_cast<uint16_t>(offset + done);
        const uint16_t taken = static_cast<uint16_t>(scanner_.scan(data + at, count - done, event));
        const Clock::time_point now = Clock::now();
        if (event.kind == zorn::drv::FrameScanner::Kind::Skipped) {
            if (settings_.capture) settings_.capture->write(zorn::drv::CAPTURE_BASE_TO_HOST, event.bytes.data(), event.bytes.size());
            if (settings_.decode) {
                const std::string text = std::to_string(event.skipped) + " byte" + (event.skipped == 1 ? "" : "s") +
                                         " skipped before a frame start";
                emit(now, false, "skipped", text, nullptr);
            }
        } else if (event.kind == zorn::drv::FrameScanner::Kind::Frame && settings_.capture) {
            settings_.capture->write(zorn::drv::CAPTURE_BASE_TO_HOST, event.bytes.data(), event.bytes.size());
        }
        inner_->decode(data, at, taken);
        if (event.kind == zorn::drv::FrameScanner::Kind::Frame && !event.good && settings_.decode) {
            const std::string text = "bad checksum, " + std::to_string(event.bytes.size()) + " bytes dropped";
            emit(now, false, "bad checksum", text, nullptr);
        }
        done = static_cast<uint16_t>(done + taken);
    }
}

uint32_t InterceptProtocol::encodedSize(const MessagePtr& message) { return inner_->encodedSize(message); }

void InterceptProtocol::encode(const MessagePtr& message, uint8_t* out, uint32_t& size) {
    inner_->encode(message, out, size);
    if (settings_.hexDump) {
        logInfo(LOG_SOURCE_INTERCEPT, "Sending %d bytes:", static_cast<int>(size));
        dumpBytes(stdout, out, size);
    }
    if (size == 0 || !message) return;
    if (settings_.capture) settings_.capture->write(zorn::drv::CAPTURE_HOST_TO_BASE, out, size);
    if (!settings_.decode) return;
    const Clock::time_point now = Clock::now();
    const zorn::drv::DecodedFrame request =
        zorn::drv::decodeRequest(message->cmd, message->data(), message->payload.size());
    std::string name;
    if (message->cmd == zorn::drv::CMD_CONTROL_BUS && !message->payload.empty()) {
        const uint8_t code = message->payload[0];
        const char* known = zorn::drv::requestName(code);
        name = known != nullptr ? known : "";
        std::lock_guard<std::mutex> lock(mutex_);
        lastCode_ = code;
        lastSentAt_ = now;
    }
    emit(now, true, "request", request.text, &request, "request", name);
}

void InterceptProtocol::dumpBytes(FILE* stream, const uint8_t* data, size_t count) {
    static const char HEX[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 4 + count / 16 * 2 + 2);
    for (size_t i = 0; i < count; ++i) {
        if (i % 16 == 0) {
            text += '\t';
        }
        text += HEX[data[i] >> 4];
        text += HEX[data[i] & 15];
        text += ' ';
        if (i % 4 == 3) {
            text += ' ';
        }
        if (i % 16 == 15) {
            text += '\n';
        }
    }
    if (count % 16 != 0) {
        text += '\n';
    }
    if (stream == stdout) {
        // In order with the log lines, and never blocking the channel for long.
        // With JSON Lines on, standard output carries only JSON: the dump
        // goes with the log lines to standard error.
        nivo::system::util::StandardOutput::instance().write(jsonOutput() ? 2 : 1, text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
