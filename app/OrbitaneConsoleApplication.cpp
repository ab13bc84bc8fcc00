#include "app/OrbitaneConsoleApplication.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/CsvOutput.h"
#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "app/JsonOutput.h"
#include "app/ResultText.h"
#include "log/Log.h"
#include "log/StandardOutput.h"
#include "net/Clock.h"
#include "net/Link.h"
#include "net/LinkObserver.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;

#ifndef ORBITANE_VERSION
#error "ORBITANE_VERSION is set by the build (CMakeLists.txt at the top)"
#endif
const char* const OrbitaneConsoleApplication::VERSION = ORBITANE_VERSION;
const char* const OrbitaneConsoleApplication::DEFAULT_TCP_HOST = "192.168.11.1";
const char* const OrbitaneConsoleApplication::DEFAULT_TCP_PORT = "11331";

OrbitaneConsoleApplication::OrbitaneConsoleApplication()
    : logSource_(LOG_SOURCE_CONSOLE_APP), commandTable_(logSource_) {
    options_[OPT_CHANNEL] = {"channel", "The communication channel with the base, supported channels: serial, tcp",
                             "c", "channel", true, false, ""};
    options_[OPT_HOST] = {"host", "The host used to communicate with the base (required for tcp channel)", "",
                          "host", true, false, ""};
    options_[OPT_PORT] = {"port",
                          "The port used to communicate with the base (required for serial and tcp channel)", "p",
                          "port", true, false, ""};
    options_[OPT_HELP] = {"help", "Show this message", "h", "help", false, false, ""};
    options_[OPT_VERSION] = {"print version number", "Print version number", "v", "version", false, false, ""};
    options_[OPT_TRACE] = {"trace comm", "Trace communication between host and base", "t", "trace-comm", false,
                           false, ""};
    options_[OPT_JSON] = {"json",
                          "Write every reading as one JSON object per line to standard output; log lines go to "
                          "standard error",
                          "", "json", false, false, "", true};
    options_[OPT_INTERVAL] = {"interval",
                              "Seconds between the starts of two readings of monitor or steps of run and vrun "
                              "(default 0: as fast as the base answers)",
                              "", "interval", true, false, "", true};
    options_[OPT_COUNT] = {"count", "Number of readings of monitor (then it ends with 0) or steps of run and vrun",
                           "", "count", true, false, "", true};
    options_[OPT_DECODE] = {"decode",
                            "Write one decoded line per frame sent or received (time, request or answer with its "
                            "values and units) to standard error",
                            "", "decode", false, false, "", true};
    options_[OPT_CAPTURE] = {"capture file",
                             "Write every frame, both ways, with its time to this pcap file (link type 147, "
                             "DLT_USER0; see orbitane.lua for Wireshark)",
                             "", "capture", true, false, "", true};
    options_[OPT_TAG] = {"tag", "With --json: add \"tag\": this text (a robot's name, say) to every JSON object", "",
                         "tag", true, false, "", true};
    options_[OPT_WALL_CLOCK] = {"wall clock",
                                "With --json: add \"time\", the UTC time it was written (ISO 8601 with "
                                "milliseconds), to every JSON object",
                                "", "wall-clock", false, false, "", true};
    options_[OPT_DURATION] = {"duration",
                              "Seconds after which monitor starts no further reading and ends with 0",
                              "", "duration", true, false, "", true};
    options_[OPT_CSV] = {"csv",
                         "Write the readings of a reading command or of monitor as CSV to standard output: a "
                         "header line, then one row per reading; log lines go to standard error",
                         "", "csv", false, false, "", true};
    options_[OPT_TEXT_COLUMN] = {"text column",
                                 "With -t: show each line of the hex dump as text too, after the hex (printable "
                                 "ASCII as it is, other bytes as dots)",
                                 "", "text-column", false, false, "", true};
    for (auto& option : options_) {
        if (!option.shortName.empty()) {
            shortOptions_[option.shortName] = &option;
        }
        if (!option.longName.empty()) {
            longOptions_[option.longName] = &option;
        }
    }
}

OrbitaneConsoleApplication::~OrbitaneConsoleApplication() {
    disconnectChannel();
    trace_.reset();
    provider_.reset();
}

void OrbitaneConsoleApplication::disconnectChannel() {
    if (link_) beforeUnlink();
    link_.reset();
    if (provider_) {
        provider_->disconnect();
    }
}

zorn::net::Clock& OrbitaneConsoleApplication::clock() { return zorn::net::steadyClock(); }

bool OrbitaneConsoleApplication::parseTcpPort(const std::string& text, int& port) {
    if (text.empty()) {
        port = 0;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE || value < 0 || value > 65535) {
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

namespace {

// The word of the command line that gave `option`: its last one, since the
// last value given holds; the long form when no word did.
std::string typedName(const ConsoleOption& option, int argc, const char* const* argv) {
    for (int i = argc - 1; i >= 1; --i) {
        const std::string word = argv[i];
        if ((!option.shortName.empty() && word == "-" + option.shortName) || word == "--" + option.longName) {
            return word;
        }
    }
    return "--" + option.longName;
}

}  // namespace

void OrbitaneConsoleApplication::collectCommandOptions() {
    for (const auto& entry : commandTable_.commands()) {
        for (const ConsoleOption& declared : entry.second.options) {
            if (declared.longName.empty() || longOptions_.count(declared.longName) != 0) continue;
            ConsoleOption& option = commandOptions_[declared.longName] = declared;
            longOptions_[option.longName] = &option;
            if (!option.shortName.empty()) shortOptions_.emplace(option.shortName, &option);
        }
    }
}

bool OrbitaneConsoleApplication::parseOptions(int argc, const char* const* argv, std::vector<std::string>& args) {
    collectCommandOptions();
    badOption_.clear();
    if (!parseCommandLine(argc, argv, args, shortOptions_, longOptions_, &badOption_)) {
        return false;
    }
    if (argc == 1 || options_[OPT_HELP].isSet) {
        return false;
    }
    // Set first, so that a failure object about a later option is labelled too.
    setJsonTag(options_[OPT_TAG].isSet, options_[OPT_TAG].value);
    setJsonWallClock(options_[OPT_WALL_CLOCK].isSet);
    const ConsoleOption& channel = options_[OPT_CHANNEL];
    badOption_ = typedName(channel, argc, argv);
    if (!channel.isSet) {
        logFatal(logSource_, "No channel specified");
        return false;
    }
    if (channel.value != "serial" && channel.value != "tcp") {
        logFatal(logSource_, "Unsupported channel: %s", channel.value.c_str());
        return false;
    }
    badOption_ = typedName(options_[OPT_PORT], argc, argv);
    channelType_ = channel.value;
    const ConsoleOption& port = options_[OPT_PORT];
    if (channelType_ == "serial") {
        if (!port.isSet) {
            logFatal(logSource_, "Configured to use serial channel, but port not specified");
            return false;
        }
        portName_ = port.value;
    } else {
        host_ = options_[OPT_HOST].isSet ? options_[OPT_HOST].value : DEFAULT_TCP_HOST;
        if (port.isSet) {
            int number = 0;
            if (!parseTcpPort(port.value, number)) {
                logFatal(logSource_, "Invalid port %s for tcp channel", port.value.c_str());
                return false;
            }
            portName_ = port.value;
        } else {
            portName_ = DEFAULT_TCP_PORT;
        }
    }
    if (!readPacing(options_[OPT_INTERVAL], options_[OPT_COUNT], options_[OPT_DURATION], pacing_, badOption_)) {
        return false;
    }
    // The labels belong to the JSON objects; without them they would do
    // nothing, which is not what the user asked for.
    for (OptionIndex label : {OPT_TAG, OPT_WALL_CLOCK}) {
        if (options_[label].isSet && !options_[OPT_JSON].isSet) {
            badOption_ = "--" + options_[label].longName;
            logFatal(logSource_, "%s needs --json: it labels the JSON objects", badOption_.c_str());
            return false;
        }
    }
    if (options_[OPT_TEXT_COLUMN].isSet && !options_[OPT_TRACE].isSet) {
        badOption_ = "--text-column";
        logFatal(logSource_, "--text-column needs -t: it adds a column to the hex dump");
        return false;
    }
    if (options_[OPT_CSV].isSet && !options_[OPT_VERSION].isSet) {
        badOption_ = "--csv";
        if (options_[OPT_JSON].isSet) {
            logFatal(logSource_,
                     "--csv and --json cannot be given together: both write the readings to standard output");
            return false;
        }
        const std::string refusal = args.empty() ? std::string() : csvRefusal(args);
        if (!refusal.empty()) {
            logFatal(logSource_, "%s", refusal.c_str());
            return false;
        }
    }
    badOption_.clear();
    if (options_[OPT_TRACE].isSet || options_[OPT_DECODE].isSet || options_[OPT_CAPTURE].isSet) {
        // The hex dump, the decoded trace and the capture all watch the
        // link through one watcher; it is null when it cannot be set up
        // (a capture file that cannot be written), after a report.
        trace_ = createTrace();
        if (!trace_) {
            return false;
        }
    }
    return true;
}

bool OrbitaneConsoleApplication::readPacing(const ConsoleOption& interval, const ConsoleOption& count,
                                            const ConsoleOption& duration, Pacing& out, std::string& badOption) {
    if (interval.isSet && !parseInterval(interval.value, out.intervalSeconds)) {
        logFatal(logSource_, "Invalid interval %s: seconds from 0 to %.0f expected", interval.value.c_str(),
                 MAX_INTERVAL_SECONDS);
        badOption = "--interval";
        return false;
    }
    if (count.isSet && !parseCount(count.value, out.count)) {
        logFatal(logSource_, "Invalid count %s: a whole number of at least 1 expected", count.value.c_str());
        badOption = "--count";
        return false;
    }
    if (duration.isSet && !parseDuration(duration.value, out.durationSeconds)) {
        logFatal(logSource_, "Invalid duration %s: seconds above 0, at most %.0f, expected", duration.value.c_str(),
                 MAX_DURATION_SECONDS);
        badOption = "--duration";
        return false;
    }
    return true;
}

CommandResult OrbitaneConsoleApplication::executeCommandLine(const std::vector<std::string>& args) {
    startCommandClock();
    outcomeReported_ = false;
    interruptReported_ = false;
    // A session's lines run after it started, so this ends as its last line's.
    lastCommand_ = args.empty() ? std::string() : args[0];
    return reportOutcome(args, executeGuarded(args));
}

namespace {

// The "error" text of a failure object: the words the log line after
// "Execute command failed" starts with.
std::string failureText(const CommandResult& outcome, const std::string& command, bool known) {
    if (!known) return "unknown command";
    const int32_t result = outcome.status();
    if (outcome.hasFailure() && result == outcome.failure().result()) return zorn::net::errorTextOf(outcome.failure().cause);
    if (command == "test" && result > 0) {
        // The self-test's result is the number of cases that failed.
        return std::to_string(result) + (result == 1 ? " self-test case failed" : " self-test cases failed");
    }
    switch (result) {
        case STATUS_COMMAND_USAGE: return "usage error";
        case STATUS_USAGE: return "unknown command";
        case STATUS_INTERNAL_ERROR: return "internal error";
        default: return resultText(result);
    }
}

}  // namespace

void OrbitaneConsoleApplication::emitFailure(const std::string& command, const CommandResult& outcome, bool known) {
    FailureCause cause = causeOf(outcome);
    if (!known) cause = causeNamed(failure::UNKNOWN_COMMAND);
    emitJsonError(command, failureText(outcome, command, known), outcome.status(), cause, std::string(),
                  outcome.stop());
}

CommandResult OrbitaneConsoleApplication::reportOutcome(const std::vector<std::string>& args,
                                                        const CommandResult& outcome) {
    // A failure is the failing command's: a reading inside monitor names its own.
    const std::string name = !outcome.command().empty() ? outcome.command() : args.empty() ? std::string() : args[0];
    const bool known = commandTable_.hasCommand(name);
    const int result = outcome.status();
    if (outcomeReported_) {
        outcomeReported_ = false;
        return outcome;
    }
    if (interrupted() && result != 0) {
        const int status = interruptStatus(interruptSignal());
        if (result != status) {
            // A request the signal cut short: the command failed with it and
            // did not say why.
            logError(logSource_, "Execute command failed: %08X", static_cast<unsigned>(result));
            logError(logSource_, "%s", describeResult(outcome, name).c_str());
            logWarn(logSource_, "Interrupted by %s", interruptSignalName());
        }
        interruptReported_ = true;
        if (jsonOutput()) {
            emitJsonError(name, std::string("interrupted by ") + interruptSignalName(), status,
                          causeNamed(failure::INTERRUPTED), std::string(), outcome.stop());
        }
        return outcome;
    }
    if (result != 0) {
        logError(logSource_, "Execute command failed: %08X", static_cast<unsigned>(result));
        logError(logSource_, "%s", describeResult(outcome, name).c_str());
        if (jsonOutput()) {
            emitFailure(name, outcome, known);
        }
    } else {
        logInfo(logSource_, "Successfully executed command");
    }
    return outcome;
}

CommandResult OrbitaneConsoleApplication::executeGuarded(const std::vector<std::string>& args) {
    // An exception must not end the process from inside a command: the
    // commands that move the base send their stop while it unwinds, and the
    // failure is reported like any other.
    std::string what;
    try {
        return commandTable_.executeCommand(args);
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
        what = "unknown exception";
    }
    logFatal(logSource_, "Command %s ended by an unexpected error: %s", args.empty() ? "" : args[0].c_str(),
             what.c_str());
    return STATUS_INTERNAL_ERROR;
}

std::string OrbitaneConsoleApplication::lineCommand(const std::vector<std::string>& words) const {
    return commandWord(words, shortOptions_, longOptions_);
}

CommandResult OrbitaneConsoleApplication::executeSessionLine(const std::vector<std::string>& words, bool& optionsRefused) {
    // Only the pacing options belong to a single command; the channel and
    // output options hold for the whole session. Every option of the
    // console is read here, so that one given in a line is told apart from
    // the words of its command and named: fresh copies, none set, of the
    // common options followed by the commands' own.
    ConsoleOption lineOptions[OPTION_COUNT];
    std::map<std::string, ConsoleOption> lineCommandOptions = commandOptions_;
    std::vector<ConsoleOption*> everyOption;
    for (int i = 0; i < OPTION_COUNT; ++i) {
        lineOptions[i] = options_[i];
        everyOption.push_back(&lineOptions[i]);
    }
    for (auto& entry : lineCommandOptions) everyOption.push_back(&entry.second);
    OptionMap shortOptions;
    OptionMap longOptions;
    for (ConsoleOption* option : everyOption) {
        option->isSet = false;
        if (!option->shortName.empty()) shortOptions.emplace(option->shortName, option);
        if (!option->longName.empty()) longOptions.emplace(option->longName, option);
    }
    std::vector<const char*> argv{"session"};
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    const std::string command = lineCommand(words);
    std::vector<std::string> args;
    std::string badOption;
    bool refused = !parseCommandLine(static_cast<int>(argv.size()), argv.data(), args, shortOptions, longOptions,
                                     &badOption);
    for (size_t i = 0; !refused && i < everyOption.size(); ++i) {
        const ConsoleOption& option = *everyOption[i];
        if (!option.isSet || &option == &lineOptions[OPT_INTERVAL] || &option == &lineOptions[OPT_COUNT] ||
            &option == &lineOptions[OPT_DURATION]) {
            continue;
        }
        // Named as typed: the first word that stands for it.
        badOption = "--" + option.longName;
        for (const std::string& word : words) {
            if ((!option.shortName.empty() && word == "-" + option.shortName) || word == "--" + option.longName) {
                badOption = word;
                break;
            }
        }
        logFatal(logSource_,
                 "Option %s cannot be given in a session line: only --interval and --count can (the others "
                 "go on the command line of session)",
                 badOption.c_str());
        refused = true;
    }
    Pacing linePacing = pacing_;
    if (!refused && !readPacing(lineOptions[OPT_INTERVAL], lineOptions[OPT_COUNT], lineOptions[OPT_DURATION],
                                linePacing, badOption)) {
        refused = true;
    }
    if (refused) {
        startCommandClock();
        optionsRefused = true;
        if (jsonOutput()) {
            emitJsonError(command, "invalid options", STATUS_COMMAND_USAGE, causeNamed(failure::USAGE), badOption);
        }
        return STATUS_COMMAND_USAGE;
    }
    const Pacing saved = pacing_;
    pacing_ = linePacing;
    const CommandResult result = executeCommandLine(args);
    pacing_ = saved;
    return result;
}

bool OrbitaneConsoleApplication::connectChannel() {
    if (link_) beforeUnlink();
    link_.reset();
    if (!provider_ || !provider_->connect() || provider_->transport() == nullptr) {
        return false;
    }
    link_ = std::make_unique<zorn::net::Link>(*provider_->transport(), clock());
    link_->setObserver(trace_.get());
    for (const auto& setup : linkSetups_) setup(*link_);
    link_->sync();
    return true;
}

int OrbitaneConsoleApplication::printUsage(const std::string& programName) {
    StandardOutput::instance().flush();  // the log lines before it come first
    std::fprintf(stderr, "Orbitane Console %s\n", VERSION);
    std::fprintf(stderr, "Usage: %s [options] <command> [cmd_arguments]\n", programName.c_str());
    std::fprintf(stderr, "Options:\n");
    collectCommandOptions();
    printOptions(shortOptions_, longOptions_);
    std::fprintf(stderr, "Available Commands:\n");
    commandTable_.printCommands();
    return STATUS_USAGE;
}

int OrbitaneConsoleApplication::run(int argc, const char* const* argv) {
    appender_ = std::make_shared<ConsoleLogAppender>();
    appenderRegistration_ = LogManager::defaultManager()->attach(appender_);
    int result = runCommandLine(argc, argv);
    // The rows a command left waiting for their header.
    if (csvOutput()) finishCsv();
    reportLinkHealth();
    // After a signal the console has little of its 2 s left.
    if (!closeRecordings(interrupted() ? std::chrono::milliseconds(300) : std::chrono::milliseconds(1000))) {
        if (jsonOutput()) {
            emitJsonError(lastCommand_, "capture stopped", result == 0 ? 1 : result, causeNamed(failure::OUTPUT_LOST));
        }
        if (result == 0) result = 1;
    }
    return finishOutput(result);
}

int OrbitaneConsoleApplication::finishOutput(int result) {
    StandardOutput& output = StandardOutput::instance();
    output.flush();
    const uint64_t dropped = output.droppedLines();
    if (dropped > 0) {
        logWarn(logSource_, "%llu output lines were dropped: the output could not take them in time",
                static_cast<unsigned long long>(dropped));
    }
    const bool lost = output.lost(1);
    if (lost) {
        logError(logSource_, "Standard output was lost: it could not be written (closed, full or broken)");
        if (jsonOutput()) {
            // Written for completeness: a lost output discards it, so a
            // script learns this from the status (1).
            emitJsonError(lastCommand_, "output lost", result == 0 ? 1 : result, causeNamed(failure::OUTPUT_LOST));
        }
    }
    output.flush();
    return lost && result == 0 ? 1 : result;
}

int OrbitaneConsoleApplication::runCommandLine(int argc, const char* const* argv) {
    startCommandClock();
    const std::string programName = argc > 0 ? argv[0] : "";
    std::vector<std::string> args;
    if (!parseOptions(argc, argv, args)) {
        if (jsonEnabled() && !options_[OPT_HELP].isSet) {
            // A script reading standard output learns why nothing ran.
            const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
            emitJsonError(lineCommand(words), "invalid options", STATUS_USAGE, causeNamed(failure::USAGE), badOption_);
        }
        return printUsage(programName);
    }
    if (jsonEnabled()) {
        // Standard output carries only JSON from here on.
        setJsonOutput(true);
        appender_->setOutputStream(stderr);
    }
    if (csvEnabled()) {
        // ... or only the CSV table.
        setCsvOutput(true);
        appender_->setOutputStream(stderr);
    }
    if (options_[OPT_VERSION].isSet) {
        if (jsonOutput()) {
            // Standard output stays one JSON object per line.
            Json::Value object(Json::objectValue);
            object["version"] = VERSION;
            emitJson(object);
            return 0;
        }
        StandardOutput::instance().flush();
        std::fprintf(stdout, "%s\n", VERSION);
        std::fflush(stdout);
        return 0;
    }
    logInfo(logSource_, "Orbitane Console %s", VERSION);
    if (channelType_ == "serial") {
        provider_ = createSerialProvider(portName_);
    } else {
        int port = 0;
        parseTcpPort(portName_, port);
        provider_ = createTcpProvider(host_, port);
    }
    const std::string commandName = args.empty() ? std::string() : args[0];
    startCommandClock();
    if (!options_[OPT_HELP].isSet) {
        const int refused = checkBeforeConnect(args);
        if (refused != 0) {
            outcomeReported_ = false;
            return reportOutcome(args, refused).status();
        }
    }
    if (handlesConnection(commandName)) {
        return executeCommandLine(args).status();
    }
    if (!connectChannel()) {
        const std::string where = utils::describeProvider(provider_);
        logFatal(logSource_, "Failed to connect to %s", where.c_str());
        if (jsonOutput()) {
            const bool unknownHost = provider_ && provider_->hostNotFound();
            emitJsonError(commandName, unknownHost ? "host name not found: " + host_ : "failed to connect to " + where,
                          STATUS_NO_CONNECTION,
                          causeNamed(unknownHost ? failure::HOST_NOT_FOUND : failure::CONNECT_FAILED));
        }
        return STATUS_NO_CONNECTION;
    }
    if (!onConnected()) {
        const std::string where = utils::describeProvider(provider_);
        logFatal(logSource_, "Failed to communicate with device at %s", where.c_str());
        if (jsonOutput()) {
            emitJsonError(commandName, "failed to communicate with device at " + where, STATUS_NO_CONNECTION,
                          causeNamed(failure::CONNECT_FAILED));
        }
        return STATUS_NO_CONNECTION;
    }
    if (args.empty() || options_[OPT_HELP].isSet) {
        return printUsage(programName);
    }
    return executeCommandLine(args).status();
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
