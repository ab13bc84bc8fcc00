#include "console/LineSample.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

constexpr size_t MIN_TEXT_BYTES = 4;

bool printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7F; }
bool textByte(uint8_t byte) { return printable(byte) || byte == '\t' || byte == '\r' || byte == '\n'; }

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

// "$GPGGA," or "!AIVDM,": a talker and sentence name of five letters or
// digits after the start mark, then a comma.
bool hasNmeaSentence(const std::string& text) {
    for (size_t at = 0; at + 7 <= text.size(); ++at) {
        if (text[at] != '$' && text[at] != '!') continue;
        bool name = true;
        for (size_t i = 1; i <= 5 && name; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[at + i]);
            name = std::isupper(c) || std::isdigit(c);
        }
        if (name && text[at + 6] == ',') return true;
    }
    return false;
}

bool hasLine(const std::string& text, const char* line) {
    const std::string wanted = std::string(line);
    for (size_t at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1)) {
        const bool startsLine = at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r';
        const size_t end = at + wanted.size();
        const bool endsLine = end == text.size() || text[end] == '\r' || text[end] == '\n';
        if (startsLine && endsLine) return true;
    }
    return false;
}

std::string looksLike(const std::string& text) {
    const std::string lower = lowerCase(text);
    if (text.find("HTTP/") != std::string::npos) return "an HTTP server (a web server answers on this port)";
    if (text.compare(0, 4, "SSH-") == 0) return "an SSH server's greeting";
    if (hasNmeaSentence(text)) return "NMEA sentences, as a GPS receiver sends them";
    if (lower.find("login:") != std::string::npos || lower.find("password:") != std::string::npos) {
        return "a login prompt (a getty or a system console runs on this port)";
    }
    const size_t end = text.find_last_not_of("\r\n");
    if (end != std::string::npos && end >= 1 && text[end] == ' ' && (text[end - 1] == '$' || text[end - 1] == '#')) {
        return "a shell prompt";
    }
    if (hasLine(text, "OK") || hasLine(text, "ERROR")) return "a modem answering commands (OK, ERROR)";
    return "";
}

}  // namespace

TextReading readAsText(const std::vector<uint8_t>& bytes) {
    TextReading reading;
    if (bytes.size() < MIN_TEXT_BYTES) return reading;
    const size_t textBytes = static_cast<size_t>(std::count_if(bytes.begin(), bytes.end(), textByte));
    if (textBytes * 10 < bytes.size() * 9) return reading;
    reading.text = true;
    reading.looksLike = looksLike(std::string(bytes.begin(), bytes.end()));
    return reading;
}

std::string printableText(const std::vector<uint8_t>& bytes, size_t limit) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) text += printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    return text;
}

std::string hexAndText(const std::vector<uint8_t>& bytes, size_t limit) {
    std::string hex;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x ", bytes[i]);
        hex += byte;
    }
    return hex + "|" + printableText(bytes, limit) + "|";
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
