#include "console/DriveArguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "console/ApiClient.h"

namespace zorn {
namespace orbitane {
namespace test {

namespace {

bool isSign(char c) { return c == '+' || c == '-'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Sign, digits with at most one point (at least one digit), then an
// optional exponent with its own sign and digits.
bool looksDecimal(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && isSign(text[i])) ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < n; ++i) {
        if (isDigit(text[i])) {
            ++digits;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && isSign(text[i])) ++i;
        size_t exponentDigits = 0;
        for (; i < n && isDigit(text[i]); ++i) ++exponentDigits;
        if (exponentDigits == 0) return false;
    }
    return i == n;
}

}  // namespace

bool parseDecimalInteger(const std::string& text, long long minimum, long long maximum, long long& value) {
    value = 0;
    if (text.empty()) return true;
    size_t i = isSign(text[0]) ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k) {
        if (!isDigit(text[k])) return false;
    }
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || end != text.c_str() + text.size()) return false;
    if (parsed < minimum || parsed > maximum) return false;
    value = parsed;
    return true;
}

bool parseDecimalInt32(const std::string& text, int32_t& value) {
    long long parsed = 0;
    value = 0;
    if (!parseDecimalInteger(text, INT32_MIN, INT32_MAX, parsed)) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool parseDecimal(const std::string& text, double& value) {
    value = 0;
    if (text.empty()) return true;
    if (!looksDecimal(text)) return false;
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool parseFixed16(const std::string& text, double& value) {
    double parsed = 0;
    value = 0;
    if (!parseDecimal(text, parsed)) return false;
    if (!api::velocityFits(parsed)) return false;
    value = parsed;
    return true;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
