#pragma once

// Text that reaches a terminal or a JSON reader must not carry bytes that
// act on the terminal or break UTF-8: these helpers find and escape them.

#include <cstddef>
#include <string>

namespace nivo {
namespace system {
namespace util {

// Length of the well-formed UTF-8 sequence at text[at] (1 to 4), or 0 when
// the bytes there are not one (a stray continuation byte, an overlong or
// surrogate form, a truncated sequence, a code point past U+10FFFF).
size_t utf8SequenceLength(const std::string& text, size_t at);

bool isValidUtf8(const std::string& text);

enum class KeepLayout { No, TabAndNewline };

// `text` with every byte that is not part of well-formed UTF-8 written as
// \xHH, and every control character (C0, DEL, C1) written as \xHH (C0, DEL)
// or \u00HH (C1); tab and newline stay as they are when `layout` keeps them.
// Text without such bytes comes back unchanged.
std::string escapeControlAndInvalid(const std::string& text, KeepLayout layout);
// The same, appended to `out`: a log line is built without a copy of each
// part, and printable ASCII (nearly every line) is copied in one step.
void appendEscaped(std::string& out, const std::string& text, KeepLayout layout);

}  // namespace util
}  // namespace system
}  // namespace nivo
