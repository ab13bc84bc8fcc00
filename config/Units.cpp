#include "config/Units.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace nivo {
namespace system {
namespace config {

namespace {

struct UnitWord {
    const char* word;
    UnitId id;
};

// Every accepted spelling; "degree" and "deg" name the same unit.
const UnitWord UNIT_WORDS[] = {
    {"m", 0},       {"um", 1},       {"mm", 2},       {"cm", 3},      {"dm", 4},
    {"km", 5},      {"mil", 6},      {"inch", 7},     {"foot", 8},    {"mile", 9},
    {"rad", 10},    {"degree", 11},  {"deg", 11},     {"pi", 12},     {"kg", 13},
    {"ug", 14},     {"mg", 15},      {"g", 16},       {"oz", 17},     {"pound", 18},
    {"s", 19},      {"us", 20},      {"ms", 21},      {"minute", 22}, {"hour", 23},
    {"day", 24},    {"amp", 25},     {"ua", 26},      {"ma", 27},     {"kelvin", 28},
    {"celsius", 29}, {"fahrenheit", 30}, {"mol", 31}, {"cd", 32},
};

// Ratio of each unit to the base unit of its dimension (metre, radian,
// kilogram, second, ampere, kelvin, mole, candela). Temperatures convert as
// differences: there is no offset.
const int64_t UNIT_RATIOS[UNIT_COUNT][2] = {
    {1, 1},                          // m
    {1, 1000000},                    // um
    {1, 1000},                       // mm
    {1, 100},                        // cm
    {1, 10},                         // dm
    {1000, 1},                       // km
    {254, 10000000},                 // mil
    {254, 10000},                    // inch
    {3048, 10000},                   // foot
    {1609344, 1000},                 // mile
    {1, 1},                          // rad
    {174532925, 10000000000LL},      // degree
    {314159265359LL, 100000000000LL},  // pi
    {1, 1},                          // kg
    {1, 1000000000},                 // ug
    {1, 1000000},                    // mg
    {1, 1000},                       // g
    {283495231, 10000000000LL},      // oz
    {45359237, 100000000},           // pound
    {1, 1},                          // s
    {1, 1000000},                    // us
    {1, 1000},                       // ms
    {60, 1},                         // minute
    {3600, 1},                       // hour
    {86400, 1},                      // day
    {1, 1},                          // amp
    {1, 1000000},                    // ua
    {1, 1000},                       // ma
    {1, 1},                          // kelvin
    {1, 1},                          // celsius
    {5, 9},                          // fahrenheit
    {1, 1},                          // mol
    {1, 1},                          // cd
};

// The same ratios as doubles, for float and double results.
const double UNIT_RATIOS_REAL[UNIT_COUNT][2] = {
    {1.0, 1.0},
    {1.0, 1000000.0},
    {1.0, 1000.0},
    {1.0, 100.0},
    {1.0, 10.0},
    {1000.0, 1.0},
    {254.0, 10000000.0},
    {254.0, 10000.0},
    {3048.0, 10000.0},
    {1609344.0, 1000.0},
    {1.0, 1.0},
    {174532925.0, 10000000000.0},
    {314159265359.0, 100000000000.0},
    {1.0, 1.0},
    {1.0, 1000000000.0},
    {1.0, 1000000.0},
    {1.0, 1000.0},
    {283495231.0, 10000000000.0},
    {45359237.0, 100000000.0},
    {1.0, 1.0},
    {1.0, 1000000.0},
    {1.0, 1000.0},
    {60.0, 1.0},
    {3600.0, 1.0},
    {86400.0, 1.0},
    {1.0, 1.0},
    {1.0, 1000000.0},
    {1.0, 1000.0},
    {1.0, 1.0},
    {1.0, 1.0},
    {5.0, 9.0},
    {1.0, 1.0},
    {1.0, 1.0},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void checkUnit(UnitId id) {
    if (id < 0 || id >= UNIT_COUNT) {
        throw std::invalid_argument("invalid unit");
    }
}

bool hasTemperature(const std::vector<UnitId>& units) {
    for (UnitId id : units) {
        if (id == UNIT_CELSIUS || id == UNIT_FAHRENHEIT) {
            return true;
        }
    }
    return false;
}

// Parses the quantity and converts it to base units as a double; the
// conversion shared by the float and double variants.
bool parseRealWithUnits(const std::string& text, double& out) {
    std::string number;
    std::vector<UnitId> numerator;
    std::vector<UnitId> denominator;
    if (!parseQuantity(text, number, numerator, denominator)) {
        return false;
    }
    double value = 0.0;
    if (!number.empty()) {
        char* end = nullptr;
        errno = 0;
        value = std::strtod(number.c_str(), &end);
        if (end != number.c_str() + number.size()) {
            return false;
        }
    }
    if (hasTemperature(denominator)) {
        return false;
    }
    double num = value;
    double den = 1.0;
    for (UnitId id : numerator) {
        num *= UNIT_RATIOS_REAL[id][0];
        den *= UNIT_RATIOS_REAL[id][1];
    }
    for (UnitId id : denominator) {
        num *= UNIT_RATIOS_REAL[id][1];
        den *= UNIT_RATIOS_REAL[id][0];
    }
    double result = num / den;
    // An overflowing number or product must not pass as infinity (or NaN).
    if (!std::isfinite(result)) {
        return false;
    }
    out = result;
    return true;
}

}  // namespace

bool lookupUnit(const std::string& word, UnitId& id) {
    for (const UnitWord& entry : UNIT_WORDS) {
        if (word == entry.word) {
            id = entry.id;
            return true;
        }
    }
    return false;
}

std::pair<int64_t, int64_t> unitRatio(UnitId id) {
    checkUnit(id);
    return {UNIT_RATIOS[id][0], UNIT_RATIOS[id][1]};
}

std::pair<double, double> unitRatioReal(UnitId id) {
    checkUnit(id);
    return {UNIT_RATIOS_REAL[id][0], UNIT_RATIOS_REAL[id][1]};
}

bool parseQuantity(const std::string& text, std::string& number, std::vector<UnitId>& numerator,
                   std::vector<UnitId>& denominator) {
    enum State { START, INTEGER, FRACTION, AFTER_NUMBER, UNIT };
    State state = START;
    bool divide = false;
    size_t numberStart = 0;
    size_t wordStart = 0;
    number.clear();
    numerator.clear();
    denominator.clear();

    auto finishWord = [&](size_t end) {
        UnitId id = 0;
        if (!lookupUnit(text.substr(wordStart, end - wordStart), id)) {
            return false;
        }
        (divide ? denominator : numerator).push_back(id);
        return true;
    };

    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        switch (state) {
        case START:
            if (isBlank(c)) {
                ++i;
            } else if (isDigit(c) || c == '+' || c == '-') {
                numberStart = i++;
                state = INTEGER;
            } else if (c == '.') {
                numberStart = i++;
                state = FRACTION;
            } else {
                return false;
            }
            break;
        case INTEGER:
        case FRACTION:
            if (isDigit(c)) {
                ++i;
            } else if (c == '.' && state == INTEGER) {
                ++i;
                state = FRACTION;
            } else {
                // The character is looked at again after the number.
                number = text.substr(numberStart, i - numberStart);
                state = AFTER_NUMBER;
            }
            break;
        case AFTER_NUMBER:
            if (isBlank(c)) {
                ++i;
            } else if (isLetter(c)) {
                wordStart = i++;
                state = UNIT;
            } else if (c == '*' || c == '/') {
                divide = (c == '/');
                wordStart = ++i;
                state = UNIT;
            } else {
                return false;
            }
            break;
        case UNIT:
            if (isBlank(c) || c == '*' || c == '/') {
                if (!finishWord(i)) {
                    return false;
                }
                state = AFTER_NUMBER;
                if (isBlank(c)) {
                    ++i;
                }
            } else if (isDigit(c)) {
                return false;
            } else {
                ++i;
            }
            break;
        }
    }
    switch (state) {
    case INTEGER:
    case FRACTION:
        number = text.substr(numberStart);
        break;
    case UNIT:
        return finishWord(text.size());
    default:
        break;
    }
    return true;
}

bool parseIntWithUnits(const std::string& text, int32_t& out) {
    std::string number;
    std::vector<UnitId> numerator;
    std::vector<UnitId> denominator;
    if (!parseQuantity(text, number, numerator, denominator)) {
        return false;
    }
    long long value = 0;
    if (!number.empty()) {
        char* end = nullptr;
        errno = 0;
        value = std::strtoll(number.c_str(), &end, 10);
        if (end != number.c_str() + number.size() || errno == ERANGE) {
            return false;
        }
    }
    if (hasTemperature(denominator)) {
        return false;
    }
    int64_t num = value;
    int64_t den = 1;
    // Any product that leaves 64 bits would give a wrong value: reject it.
    for (UnitId id : numerator) {
        if (__builtin_mul_overflow(num, UNIT_RATIOS[id][0], &num) ||
            __builtin_mul_overflow(den, UNIT_RATIOS[id][1], &den)) {
            return false;
        }
    }
    for (UnitId id : denominator) {
        if (__builtin_mul_overflow(num, UNIT_RATIOS[id][1], &num) ||
            __builtin_mul_overflow(den, UNIT_RATIOS[id][0], &den)) {
            return false;
        }
    }
    const int64_t result = num / den;
    if (result < INT32_MIN || result > INT32_MAX) {
        return false;
    }
    out = static_cast<int32_t>(result);
    return true;
}

bool parseFloatWithUnits(const std::string& text, float& out) {
    double value = 0.0;
    if (!parseRealWithUnits(text, value)) {
        return false;
    }
    if (std::fabs(value) > static_cast<double>(FLT_MAX)) {
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool parseDoubleWithUnits(const std::string& text, double& out) {
    return parseRealWithUnits(text, out);
}

}  // namespace config
}  // namespace system
}  // namespace nivo
