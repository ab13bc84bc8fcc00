#pragma once

#include <map>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

struct ConsoleOption {
    std::string name;       // display name in the option listing
    std::string help;       // help text printed under it (may be empty)
    std::string shortName;  // used after "-" (may be empty)
    std::string longName;   // used after "--" (may be empty)
    bool hasArgument = false;
    bool isSet = false;
    std::string value;      // the last value given
    bool appended = false;  // listed after the established options
};

typedef std::map<std::string, ConsoleOption*> OptionMap;

// Splits argv[1..argc-1] into options and positional words. A word that
// starts with "-" is an option, except a negative number ("-5", "-0.1",
// "-.5") that is not itself a known short option. Errors go to standard
// error and return false; `badOption`, when given, is then the option as
// typed.
bool parseCommandLine(int argc, const char* const* argv, std::vector<std::string>& args,
                      const OptionMap& shortOptions, const OptionMap& longOptions,
                      std::string* badOption = nullptr);

// The command word of `words` (the first word that is neither an option nor
// the argument of a known option that takes one), or "" when there is none.
std::string commandWord(const std::vector<std::string>& words, const OptionMap& shortOptions,
                        const OptionMap& longOptions);

// Option listing to standard error: short-named options first, in key
// order, then the options that only have a long name, then the appended
// options in key order of their long names.
void printOptions(const OptionMap& shortOptions, const OptionMap& longOptions);

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
