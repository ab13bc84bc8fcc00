#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zorn {
namespace orbitane {
namespace test {

// A command handler takes the positional words (command name first) and
// returns a result code, 0 on success.
typedef std::function<int(const std::vector<std::string>&)> CommandHandler;

struct ConsoleCommand {
    std::string name;
    std::string brief;
    std::string description;
    CommandHandler handler;
    bool appended = false;  // listed after the established commands
};

// The named commands of an application; exactly one runs per invocation.
class CommandTable {
public:
    explicit CommandTable(const std::string& logSource) : logSource_(logSource) {}

    // A later registration under the same name replaces the earlier one.
    // An appended command is listed after all the others.
    void addCommand(const std::string& name, const std::string& brief, const std::string& description,
                    CommandHandler handler, bool appended = false);
    bool hasCommand(const std::string& name) const { return commands_.count(name) != 0; }
    // Runs the command named by args[0]; 5 when there is no such command.
    int executeCommand(const std::vector<std::string>& args) const;
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
