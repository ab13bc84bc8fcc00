#include "console/TrafficTrace.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>

#include "app/CsvOutput.h"
#include "app/JsonOutput.h"
#include "console/BinaryConfigTrace.h"
#include "drv/ControlBus.h"
#include "log/Log.h"
#include "log/StandardOutput.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using zorn::net::FramerEvent;
using zorn::net::Fate;

namespace {

double millisBetween(zorn::net::TimePoint from, zorn::net::TimePoint to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The name of a request a received frame was taken for or owed to.
std::string requestNameOf(const zorn::net::RequestRef& request) {
    if (!request.known || request.cmd != zorn::drv::CMD_CONTROL_BUS) return "a request";
    const char* name = zorn::drv::requestName(request.code);
    return name != nullptr ? name : "a request";
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

TrafficTrace::TrafficTrace(TraceSettings settings)
    : settings_(std::move(settings)), start_(std::chrono::steady_clock::now()) {}

void TrafficTrace::onSent(const zorn::net::SentFrame& frame) {
    if (settings_.hexDump) {
        logInfo(LOG_SOURCE_INTERCEPT, "Sending %d bytes:", static_cast<int>(frame.size));
        dumpBytes(frame.bytes, frame.size, settings_.textColumn);
    }
    if (settings_.capture) settings_.capture->write(zorn::drv::CAPTURE_HOST_TO_BASE, frame.bytes, frame.size);
    if (!settings_.decode) return;
    const zorn::drv::DecodedFrame request = zorn::drv::decodeRequest(frame.cmd, frame.payload, frame.payloadSize);
    std::string name;
    if (frame.cmd == zorn::drv::CMD_CONTROL_BUS && frame.payloadSize > 0) {
        const char* known = zorn::drv::requestName(frame.payload[0]);
        name = known != nullptr ? known : "";
    }
    emit(frame.at, true, "request", request.text, &request, "request", name);
}

void TrafficTrace::onRead(const uint8_t* bytes, size_t size, zorn::net::TimePoint) {
    if (!settings_.hexDump) return;
    logInfo(LOG_SOURCE_INTERCEPT, "%d bytes received:", static_cast<int>(size));
    dumpBytes(bytes, size, settings_.textColumn);
}

void TrafficTrace::onReceived(const zorn::net::ReceivedFrame& frame) {
    const FramerEvent& event = *frame.event;
    if (settings_.capture) {
        const uint8_t direction =
            event.kind == FramerEvent::Kind::Skipped ? zorn::drv::CAPTURE_SKIPPED : zorn::drv::CAPTURE_BASE_TO_HOST;
        settings_.capture->write(direction, event.bytes, event.size);
    }
    if (settings_.decode) decodeReceived(frame);
}

void TrafficTrace::decodeReceived(const zorn::net::ReceivedFrame& frame) {
    const FramerEvent& event = *frame.event;
    const zorn::net::TimePoint at = event.last.at;
    if (event.kind == FramerEvent::Kind::Skipped) {
        if (!event.abandoned) {
            emit(at, false, "skipped", plural(event.size, "byte", "bytes") + " skipped before a frame start", nullptr);
            return;
        }
        char head[8];
        std::snprintf(head, sizeof head, "0x%02X", event.bytes[0]);
        std::string text = std::string("frame start ") + head + " given up: no byte for " +
                           std::to_string(zorn::net::Framer::GAP.count()) + " ms";
        if (event.claimedLength != 0) {
            text += ", " + std::to_string(event.held) + " of its " +
                    std::to_string(event.claimedLength + (event.bytes[0] == zorn::net::FRAME_FLAGS_LONG ? 4 : 3)) +
                    " bytes came";
        }
        if (event.held > 1) text += "; the " + plural(event.held - 1, "byte", "bytes") + " after it scanned again";
        emit(at, false, "abandoned frame", text, nullptr);
        return;
    }
    if (event.kind == FramerEvent::Kind::Rejected) {
        std::string text = "bad checksum, " + plural(event.size, "byte", "bytes") + " dropped";
        if (frame.fate == Fate::Answer) text += " (the answer to " + requestNameOf(frame.request) + ")";
        if (frame.fate == Fate::Late) text += " (a late answer, owed to " + requestNameOf(frame.request) + ")";
        emit(at, false, "bad checksum", text, nullptr);
        return;
    }
    const int code = frame.request.known && frame.request.cmd == zorn::drv::CMD_CONTROL_BUS ? frame.request.code : -1;
    zorn::drv::DecodedFrame answer =
        zorn::drv::decodeAnswer(event.cmd, event.payload, event.payloadSize, frame.fate == Fate::Unasked ? -1 : code);
    if (code == zorn::drv::REQ_GET_BINARY_CONFIG && frame.fate != Fate::Unasked && event.cmd == zorn::net::ANS_OK) {
        describeBinaryConfig(answer, event.payload, event.payloadSize);
    }
    switch (frame.fate) {
        case Fate::Answer:
            emit(at, false, "answer", answer.text, &answer, "request", code >= 0 ? requestNameOf(frame.request) : "",
                 millisBetween(frame.request.sentAt, at));
            return;
        case Fate::Confirms:
            emit(at, false, "answer", "late answer of an earlier stop, taken as this stop's: " + answer.text, &answer,
                 "request", requestNameOf(frame.request));
            return;
        case Fate::Late: {
            const std::string owed = requestNameOf(frame.request);
            emit(at, false, "dropped answer", "late answer (owed to " + owed + "), dropped: " + answer.text, &answer,
                 "owed_to", owed);
            return;
        }
        case Fate::Unasked:
            emit(at, false, "dropped answer", "unasked answer, dropped: " + answer.text, &answer);
            return;
        case Fate::Message:
        case Fate::Noise:
            emit(at, false, "message", answer.text, &answer);
            return;
    }
}

void TrafficTrace::emit(zorn::net::TimePoint at, bool sent, const std::string& kind, const std::string& text,
                        const zorn::drv::DecodedFrame* decoded, const std::string& extraName,
                        const std::string& extraValue, double rttMs) {
    const double ms = millisBetween(start_, at);
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
                else if (field.isFlag) value["value"] = field.number != 0;
                else value["value"] = field.number;
                if (!field.unit.empty()) value["unit"] = field.unit;
                fields[field.name] = value;
            }
            object["fields"] = fields;
        }
        if (decoded != nullptr && !decoded->warning.empty()) {
            object["warning"] = decoded->warning;
            object["expected_bytes"] = decoded->expectedSize;
        }
        // On standard output with the readings, in order with them, so every
        // line there is one JSON object; "trace" tells a trace object.
        emitJson(object);
        return;
    }
    char head[64];
    std::snprintf(head, sizeof head, "+%.3f ms  %s ", ms, sent ? "->" : "<-");
    std::string line = head + text;
    if (rttMs >= 0) {
        char rtt[48];
        std::snprintf(rtt, sizeof rtt, "  (rtt %.3f ms)", rttMs);
        line += rtt;
    }
    line += '\n';
    StandardOutput::instance().write(2, line);
}

void TrafficTrace::dumpBytes(const uint8_t* data, size_t count, bool textColumn) {
    static const char HEX[] = "0123456789abcdef";
    // A full line of bytes: 16 times "xx ", and one more blank after every
    // fourth byte. The text column starts after that width on every line.
    constexpr size_t BYTES_WIDTH = 16 * 3 + 4;
    std::string text;
    text.reserve(count * 5 + count / 16 * 8 + 64);
    for (size_t line = 0; line < count; line += 16) {
        const size_t end = std::min(count, line + 16);
        text += '\t';
        const size_t start = text.size();
        for (size_t i = line; i < end; ++i) {
            text += HEX[data[i] >> 4];
            text += HEX[data[i] & 15];
            text += ' ';
            if (i % 4 == 3) text += ' ';
        }
        if (textColumn) {
            // The bytes as text, after the hex: printable ASCII as it is,
            // any other byte as a dot.
            text.append(BYTES_WIDTH - (text.size() - start), ' ');
            text += '|';
            for (size_t i = line; i < end; ++i) {
                text += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
            }
            text += '|';
        }
        text += '\n';
    }
    // In order with the log lines, and never holding the link up. With JSON
    // Lines or CSV on, standard output carries only those: the dump goes
    // with the log lines to standard error.
    StandardOutput::instance().write(jsonOutput() || csvOutput() ? 2 : 1, text);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
