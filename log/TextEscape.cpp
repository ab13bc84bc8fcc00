#include "log/TextEscape.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

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

namespace {

// True when every byte is printable ASCII, or a tab or newline that stays.
// Eight bytes are looked at a time: a word with no byte below 0x20, none
// at 0x7F and none from 0x80 up needs no closer look.
bool plainText(const std::string& text, bool keepLayout) {
    constexpr uint64_t ONES = 0x0101010101010101ull, HIGH = 0x8080808080808080ull;
    const char* bytes = text.data();
    const size_t size = text.size();
    size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + at, sizeof word);
        const uint64_t below = (word - 0x20 * ONES) & ~word;  // high bit set where a byte < 0x20
        const uint64_t del = word ^ (0x7F * ONES);
        const uint64_t isDel = (del - ONES) & ~del;  // high bit set where a byte == 0x7F
        if (((word | below | isDel) & HIGH) != 0) break;
    }
    for (; at < size; ++at) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte >= 0x20 && byte < 0x7F) continue;
        if (keepLayout && (byte == '\t' || byte == '\n')) continue;
        return false;
    }
    return true;
}

}  // namespace

void appendEscaped(std::string& out, const std::string& text, KeepLayout layout) {
    const bool keep = layout == KeepLayout::TabAndNewline;
    if (plainText(text, keep)) {
        out += text;
        return;
    }
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
    out.append(text, copied, std::string::npos);
}

std::string escapeControlAndInvalid(const std::string& text, KeepLayout layout) {
    std::string out;
    appendEscaped(out, text, layout);
    return out;
}

}  // namespace util
}  // namespace system
}  // namespace nivo
