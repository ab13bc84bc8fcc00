#pragma once

// From the SI values of this API to the numbers of the console's JSON (and
// of the Python package's readings, which are named and valued like the
// JSON): see orbitane/Values.h for which member maps to which.

#include "orbitane/Export.h"

namespace orbitane {

// A length: metres x 1000.
inline double jsonMillimetres(double metres) { return metres * 1000.0; }

// An angle: radians x 180 / pi, with pi to eight decimals (3.14159265), the
// value the console has always printed angles with; the library turns the
// base's degrees into radians with the same value, so an angle the base
// sent in degrees comes back exactly as sent.
inline double jsonDegrees(double radians) { return radians * 180.0 / 3.14159265; }

// A mounting pose comes from the configuration, which the base keeps in
// single precision: its millimetres and degrees are the shortest decimals
// that stand for the same single-precision value, so a pose of 0.15 m
// (0.150000006 as a float) is 150 mm, not 150.000006.
ORBITANE_API double jsonPoseMillimetres(double metres);
ORBITANE_API double jsonPoseDegrees(double radians);

}  // namespace orbitane
