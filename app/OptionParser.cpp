#include "app/OptionParser.h"

#include <cctype>
#include <cstdio>

namespace zorn {
namespace orbitane {
namespace test {

namespace {

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// "-" followed by a digit, or by "." and a digit.
bool looksLikeNegativeNumber(const std::string& word) {
    if (word.size() < 2 || word[0] != '-') {
        return false;
    }
    if (isDigit(word[1])) {
        return true;
    }
    return word[1] == '.' && word.size() >= 3 && isDigit(word[2]);
}

void printOption(const std::string& label, const ConsoleOption& option) {
    std::fprintf(stderr, "%16s %s\n", label.c_str(), option.name.c_str());
    if (!option.help.empty()) {
        std::fprintf(stderr, "%16s %s\n\n", "", option.help.c_str());
    }
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, std::vector<std::string>& args,
                      const OptionMap& shortOptions, const OptionMap& longOptions, std::string* badOption) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] != '-') {
            args.push_back(word);
            continue;
        }
        const bool isLong = word.size() >= 2 && word[1] == '-';
        const std::string key = word.substr(isLong ? 2 : 1);
        const OptionMap& table = isLong ? longOptions : shortOptions;
        auto found = table.find(key);
        if (found == table.end()) {
            if (!isLong && looksLikeNegativeNumber(word)) {
                args.push_back(word);  // a negative command argument
                continue;
            }
            std::fprintf(stderr, "Unknown option: %s\n", word.c_str());
            if (badOption != nullptr) *badOption = word;
            return false;
        }
        ConsoleOption* option = found->second;
        option->isSet = true;
        if (option->hasArgument) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "Option %s accepts an argument, but not specified\n", word.c_str());
                if (badOption != nullptr) *badOption = word;
                return false;
            }
            option->value = argv[++i];
        }
    }
    return true;
}

std::string commandWord(const std::vector<std::string>& words, const OptionMap& shortOptions,
                        const OptionMap& longOptions) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.empty() || word[0] != '-') return word;
        const bool isLong = word.size() >= 2 && word[1] == '-';
        const OptionMap& table = isLong ? longOptions : shortOptions;
        auto found = table.find(word.substr(isLong ? 2 : 1));
        if (found == table.end()) {
            if (!isLong && looksLikeNegativeNumber(word)) return word;
            continue;  // an unknown option: taken to have no argument
        }
        if (found->second->hasArgument) ++i;
    }
    return std::string();
}

void printOptions(const OptionMap& shortOptions, const OptionMap& longOptions) {
    for (const auto& entry : shortOptions) {
        const ConsoleOption& option = *entry.second;
        if (option.appended) {
            continue;
        }
        std::string label = option.longName.empty() ? "-" + option.shortName
                                                    : "--" + option.longName + ",-" + option.shortName;
        printOption(label, option);
    }
    for (const auto& entry : longOptions) {
        const ConsoleOption& option = *entry.second;
        if (option.shortName.empty() && !option.appended) {
            printOption("--" + option.longName, option);
        }
    }
    for (const auto& entry : longOptions) {
        const ConsoleOption& option = *entry.second;
        if (option.appended) {
            printOption("--" + option.longName, option);
        }
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
