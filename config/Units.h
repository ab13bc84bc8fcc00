#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nivo {
namespace system {
namespace config {

// Identifier of a unit of measure: an index into the unit table, 0..UNIT_COUNT-1.
using UnitId = int;

constexpr UnitId UNIT_COUNT = 33;
constexpr UnitId UNIT_CELSIUS = 29;
constexpr UnitId UNIT_FAHRENHEIT = 30;

// Finds the unit named by `word` (exact, case-sensitive). False for an unknown
// or empty word.
bool lookupUnit(const std::string& word, UnitId& id);

// Conversion ratio of a unit to the base unit of its dimension, as
// numerator / denominator. Both throw std::invalid_argument("invalid unit")
// for an identifier outside the table.
std::pair<int64_t, int64_t> unitRatio(UnitId id);
std::pair<double, double> unitRatioReal(UnitId id);

// Splits a quantity text such as "2 km/hour" into its number text and the
// units that multiply (numerator) and divide (denominator) it.
bool parseQuantity(const std::string& text, std::string& number, std::vector<UnitId>& numerator,
                   std::vector<UnitId>& denominator);

// Parses a quantity and converts it to base units. All fail (false, `out`
// untouched) on a malformed text, an unknown unit, a temperature unit that
// divides, or a result that does not fit the target type.
bool parseIntWithUnits(const std::string& text, int32_t& out);
bool parseFloatWithUnits(const std::string& text, float& out);
bool parseDoubleWithUnits(const std::string& text, double& out);

}  // namespace config
}  // namespace system
}  // namespace nivo
