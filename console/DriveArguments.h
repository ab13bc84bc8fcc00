#pragma once

#include <cstdint>
#include <string>

namespace zorn {
namespace orbitane {
namespace test {

// Strict readers for the words that make the base move. A typing error must
// never turn into a speed: the whole word has to be a number in the range of
// the field it goes to. The empty word reads as 0.

// Optional sign and decimal digits only, within the signed 32-bit range
// (wheel speeds in mm/s).
bool parseDecimalInt32(const std::string& text, int32_t& value);
// Optional sign and decimal digits only, within [minimum, maximum] (event
// codes).
bool parseDecimalInteger(const std::string& text, long long minimum, long long maximum, long long& value);
// A finite decimal number: sign, digits, one point, an exponent; no
// hexadecimal, "inf", "nan" or surrounding blanks (times in seconds).
bool parseDecimal(const std::string& text, double& value);
// A decimal number whose value x 65536, truncated, fits a signed 32-bit
// word: a velocity in the 16.16 fixed-point field.
bool parseFixed16(const std::string& text, double& value);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
