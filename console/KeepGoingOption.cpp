#include "console/KeepGoingOption.h"

namespace zorn {
namespace orbitane {
namespace test {

const char* const KEEP_GOING_OPTION = "keep-going";

ConsoleOption keepGoingOption() {
    ConsoleOption option;
    option.name = "keep going";
    option.help =
        "session: go on after a failing line, from a pipe or a file too; the status is the first failure's";
    option.longName = KEEP_GOING_OPTION;
    option.appended = true;
    return option;
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
