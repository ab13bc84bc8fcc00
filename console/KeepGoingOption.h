#pragma once

#include "app/OptionParser.h"

namespace zorn {
namespace orbitane {
namespace test {

// --keep-going: a session read from a pipe or a file goes on after a failing
// line (each failure still reported) and exits with the first failure's
// status. session takes it.
extern const char* const KEEP_GOING_OPTION;
ConsoleOption keepGoingOption();

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
