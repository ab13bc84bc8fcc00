#include "app/ConsoleCommand.h"

#include <cstdio>

#include "app/ExitStatus.h"
#include "log/LogManager.h"

namespace zorn {
namespace orbitane {
namespace test {

using nivo::system::util::logFatal;

void CommandTable::addCommand(const std::string& name, const std::string& brief, const std::string& description,
                              CommandHandler handler, bool appended, std::vector<ConsoleOption> options) {
    commands_[name] = ConsoleCommand{name, brief, description, std::move(handler), appended, std::move(options)};
}

CommandResult CommandTable::executeCommand(const std::vector<std::string>& args) const {
    const std::string name = args.empty() ? std::string() : args[0];
    auto found = commands_.find(name);
    if (found == commands_.end()) {
        logFatal(logSource_, "Command %s not found", name.c_str());
        return STATUS_USAGE;
    }
    return found->second.handler(args);
}

void CommandTable::printCommands() const {
    for (bool appended : {false, true}) {
        for (const auto& entry : commands_) {
            if (entry.second.appended != appended) {
                continue;
            }
            std::fprintf(stderr, "%-10s %s\n", entry.second.name.c_str(), entry.second.brief.c_str());
            std::fprintf(stderr, "%10s %s\n", "", entry.second.description.c_str());
        }
    }
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
