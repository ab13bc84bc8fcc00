// Quantity texts with units of measure ("250 mm", "2 km/hour").
//
// Properties checked besides the sanitizers:
// - a conversion that fails leaves its output untouched;
// - each conversion succeeds only on a text that parseQuantity accepts;
// - an integer result implies a double result within one unit of it (the
//   integer truncates, the double rounds each product);
// - the float result is the double result rounded to float, and exists
//   exactly when the double result fits a float;
// - every unit the parser reports is a valid identifier of the ratio tables.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "config/Units.h"

using namespace nivo::system::config;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string number;
    std::vector<UnitId> numerator;
    std::vector<UnitId> denominator;
    const bool parsed = parseQuantity(text, number, numerator, denominator);
    if (parsed) {
        for (UnitId id : numerator) {
            FUZZ_CHECK(id >= 0 && id < UNIT_COUNT, "numerator unit %d", id);
            unitRatio(id);
            unitRatioReal(id);
        }
        for (UnitId id : denominator) {
            FUZZ_CHECK(id >= 0 && id < UNIT_COUNT, "denominator unit %d", id);
        }
        FUZZ_CHECK(number.size() <= text.size(), "number text longer than the text");
    }

    const int32_t intSentinel = 0x5A5A5A5A;
    int32_t asInt = intSentinel;
    const bool intOk = parseIntWithUnits(text, asInt);
    if (!intOk) FUZZ_CHECK(asInt == intSentinel, "failed integer conversion wrote %d", asInt);

    const double doubleSentinel = -12345.678;
    double asDouble = doubleSentinel;
    const bool doubleOk = parseDoubleWithUnits(text, asDouble);
    if (!doubleOk) FUZZ_CHECK(asDouble == doubleSentinel, "failed double conversion wrote %g", asDouble);

    const float floatSentinel = -54321.5f;
    float asFloat = floatSentinel;
    const bool floatOk = parseFloatWithUnits(text, asFloat);
    if (!floatOk) FUZZ_CHECK(asFloat == floatSentinel, "failed float conversion wrote %g", asFloat);

    FUZZ_CHECK(parsed || (!intOk && !doubleOk && !floatOk), "a conversion succeeded on a rejected text");

    if (doubleOk) FUZZ_CHECK(std::isfinite(asDouble), "double result %g is not finite", asDouble);
    if (intOk) {
        FUZZ_CHECK(doubleOk, "integer %d but no double", asInt);
        const double gap = std::fabs(asDouble - static_cast<double>(asInt));
        FUZZ_CHECK(gap <= 1.0 + 1e-9 * std::fabs(asDouble), "integer %d and double %.17g differ by %g", asInt,
                   asDouble, gap);
    }
    if (doubleOk) {
        const bool fits = std::fabs(asDouble) <= static_cast<double>(FLT_MAX);
        FUZZ_CHECK(floatOk == fits, "float %s for double %.17g", floatOk ? "accepted" : "rejected", asDouble);
        if (floatOk) FUZZ_CHECK(asFloat == static_cast<float>(asDouble), "float %.9g for double %.17g", asFloat,
                                asDouble);
    } else {
        FUZZ_CHECK(!floatOk, "float %g without a double", asFloat);
    }
    return 0;
}
