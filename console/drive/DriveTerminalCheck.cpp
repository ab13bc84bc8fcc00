// Whether the terminal can show the drive view at all, asked before the
// view takes it over. Kept apart: the terminal database header defines
// macros with common names.
#include <curses.h>
#include <term.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "console/drive/DriveView.h"

namespace zorn {
namespace orbitane {
namespace test {

std::string DriveView::terminalProblem() {
    const char* term = std::getenv("TERM");
    const std::string name = term != nullptr ? term : "";
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        return "drive cannot use the terminal: its type is unknown (TERM=" + name + ")";
    }
    const char* cup = tigetstr(const_cast<char*>("cup"));
    const bool addressable = cup != nullptr && cup != reinterpret_cast<char*>(-1);
    del_curterm(cur_term);
    if (!addressable) {
        return "drive cannot use the terminal: it has no cursor addressing (TERM=" + name + ")";
    }
    return std::string();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
