#include "drv/FixedPoint.h"

#include <cstdio>
#include <cstdlib>

namespace zorn {
namespace drv {

namespace {

// `shown`, `stored` converted for display; `back` converts it back.
template <class Back>
double withoutFloatNoise(double stored, double shown, Back back) {
    const float narrow = static_cast<float>(stored);
    if (!std::isfinite(shown) || !std::isfinite(narrow)) return shown;
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {  // nine digits always read back
        std::snprintf(text, sizeof text, "%.*g", digits, shown);
        const double candidate = std::strtod(text, nullptr);
        if (static_cast<float>(back(candidate)) == narrow) return candidate;
    }
    return shown;
}

}  // namespace

double decimalOf(float value) {
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {  // nine digits always read back
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) return std::strtod(text, nullptr);
    }
    return static_cast<double>(value);
}

double poseMillimetresShown(double metres) {
    return withoutFloatNoise(metres, metres * 1000, [](double mm) { return mm / 1000; });
}

double poseDegreesShown(double radians) {
    return withoutFloatNoise(radians, degreesAsPrinted(radians), radiansAsPrinted);
}

}  // namespace drv
}  // namespace zorn
