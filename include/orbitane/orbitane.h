#pragma once

// The public API of liborbitane: a link to a robot's motion base, its
// readings in SI units, and the motion scope that always ends with the
// stop. docs/library.md shows how to build against it.

#include "orbitane/Base.h"
#include "orbitane/Endpoint.h"
#include "orbitane/Error.h"
#include "orbitane/Units.h"
#include "orbitane/Values.h"
