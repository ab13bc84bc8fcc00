#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/CommandResult.h"
#include "app/OptionParser.h"

namespace zorn {
namespace orbitane {
namespace test {

// A command handler takes the positional words (command name first) and
// returns its result: 0 on success.
typedef std::function<CommandResult(const std::vector<std::string>&)> CommandHandler;

struct ConsoleCommand {
    std::string name;
    std::string brief;
    std::string description;
    CommandHandler handler;
    bool appended = false;  // listed after the established commands
    // The options this command reads besides the common ones. The frame
    // parses them on every command line, whatever its command, so that the
    // option listing and the parser stay one; two commands may declare the
    // same option (the same long name), which is then one option.
    std::vector<ConsoleOption> options;
};

// The named commands of an application; exactly one runs per invocation.
class CommandTable {
public:
    explicit CommandTable(const std::string& logSource) : logSource_(logSource) {}

    // A later registration under the same name replaces the earlier one.
    // An appended command is listed after all the others. `options` are
    // the options the command takes besides the common ones.
    void addCommand(const std::string& name, const std::string& brief, const std::string& description,
                    CommandHandler handler, bool appended = false, std::vector<ConsoleOption> options = {});
    bool hasCommand(const std::string& name) const { return commands_.count(name) != 0; }
    // Runs the command named by args[0]; 5 when there is no such command.
    CommandResult executeCommand(const std::vector<std::string>& args) const;
    // Writes the listing, in byte order of the names, to standard error:
    // first the established commands, then the appended ones.
    void printCommands() const;

    const std::map<std::string, ConsoleCommand>& commands() const { return commands_; }

private:
    const std::string& logSource_;
    std::map<std::string, ConsoleCommand> commands_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
