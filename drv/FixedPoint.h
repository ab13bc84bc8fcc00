#pragma once

#include <cmath>
#include <cstdint>

namespace zorn {
namespace drv {

// Fixed-point fields of the control-bus records: `_q8` carries value x 256,
// `_q16` value x 65536.
constexpr double Q8_ONE = 256.0;
constexpr double Q16_ONE = 65536.0;

inline double fromQ8(double raw) { return raw / Q8_ONE; }
inline double fromQ16(double raw) { return raw / Q16_ONE; }

// A scaled value rounded to the nearest whole number and held within the
// field: what a base reports for a real quantity. NaN gives the low end.
inline int32_t roundToInt32(double scaled) {
    const double q = std::nearbyint(scaled);
    if (!(q > static_cast<double>(INT32_MIN))) return INT32_MIN;
    if (q > static_cast<double>(INT32_MAX)) return INT32_MAX;
    return static_cast<int32_t>(q);
}
inline uint32_t roundToUint32(double scaled) {
    const double q = std::nearbyint(scaled);
    if (!(q > 0.0)) return 0u;
    if (q >= static_cast<double>(UINT32_MAX)) return UINT32_MAX;
    return static_cast<uint32_t>(q);
}

inline int32_t toQ8(double value) { return roundToInt32(value * Q8_ONE); }
inline int32_t toQ16(double value) { return roundToInt32(value * Q16_ONE); }
inline uint32_t toUnsignedQ8(double value) { return roundToUint32(value * Q8_ONE); }
inline uint32_t toUnsignedQ16(double value) { return roundToUint32(value * Q16_ONE); }

// The console prints angles converted with pi written to eight decimals;
// its established output (and the tests that read it) depend on exactly
// this value, so it is not the library's pi.
constexpr double PI_AS_PRINTED = 3.14159265;
inline double degreesAsPrinted(double radians) { return radians * 180.0 / PI_AS_PRINTED; }
inline double radiansAsPrinted(double degrees) { return degrees * PI_AS_PRINTED / 180.0; }

// A mounting pose's coordinate (metres) in millimetres, and its yaw
// (radians) in degrees as printed, without noise past the single precision
// a base keeps them in: the shortest decimal that converts back to the same
// single-precision value (a yaw of 0.5235988 rad is 30 degrees, not
// 30.000001).
double poseMillimetresShown(double metres);
double poseDegreesShown(double radians);

// The decimal a float field was written as: the shortest one that reads
// back as the same float (0.15f is 0.15, not 0.150000006), so values scaled
// from it print without the float's rounding artefacts.
double decimalOf(float value);

// Exact conversions, for the simulated base and the live view.
constexpr double PI = 3.14159265358979323846;
inline double toDegrees(double radians) { return radians * 180.0 / PI; }
inline double toRadians(double degrees) { return degrees * PI / 180.0; }

}  // namespace drv
}  // namespace zorn
