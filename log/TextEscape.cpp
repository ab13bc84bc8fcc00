#include "log/TextEscape.h"

#include <cstdio>

namespace nivo {
namespace system {
namespace util {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

size_t utf8SequenceLength(const std::string& text, size_t at) {
    const size_t left = text.size() - at;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!isContinuation(byte(i))) return 0;
    }
    return length;
}

bool isValidUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string escapeControlAndInvalid(const std::string& text, KeepLayout layout) {
    const bool keep = layout == KeepLayout::TabAndNewline;
    std::string out;
    size_t copied = 0;  // text[copied, at) is still to be copied as it is
    char escaped[8];
    for (size_t at = 0; at < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        const size_t length = utf8SequenceLength(text, at);
        const bool control = length == 1 && (lead < 0x20 || lead == 0x7F) && !(keep && (lead == '\t' || lead == '\n'));
        const bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (length != 0 && !control && !c1) {
            at += length;
            continue;
        }
        if (out.empty()) out.reserve(text.size() + 16);
        out.append(text, copied, at - copied);
        if (c1) {
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned char>(text[at + 1]));
            at += 2;
        } else {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", lead);
            at += 1;
        }
        out += escaped;
        copied = at;
    }
    if (copied == 0) return text;
    out.append(text, copied, std::string::npos);
    return out;
}

}  // namespace util
}  // namespace system
}  // namespace nivo
