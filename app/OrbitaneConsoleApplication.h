#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/ChannelProvider.h"
#include "app/ConsoleCommand.h"
#include "app/FailureKind.h"
#include "app/OptionParser.h"
#include "app/Pacer.h"
#include "log/LogManager.h"

namespace nivo {
namespace system {
namespace util {
class ConsoleLogAppender;
}
}  // namespace system
}  // namespace nivo

namespace zorn {
namespace net {
class Clock;
class Link;
class LinkObserver;
}  // namespace net

namespace orbitane {
namespace test {

// The frame every invocation runs through: parse the options, open the
// channel to the base, let the concrete application attach its stack, run
// exactly one command and turn the outcome into the exit status.
class OrbitaneConsoleApplication {
public:
    static const char* const VERSION;
    // Default TCP host when --host is not given: the base's usual address on
    // the robot's internal network.
    static const char* const DEFAULT_TCP_HOST;
    static const char* const DEFAULT_TCP_PORT;

    OrbitaneConsoleApplication();
    virtual ~OrbitaneConsoleApplication();
    OrbitaneConsoleApplication(const OrbitaneConsoleApplication&) = delete;
    OrbitaneConsoleApplication& operator=(const OrbitaneConsoleApplication&) = delete;

    // The whole invocation; the result is the command's result or one of
    // the frame's statuses (0, 4, 5).
    int run(int argc, const char* const* argv);

    virtual bool parseOptions(int argc, const char* const* argv, std::vector<std::string>& args);
    virtual bool onConnected() = 0;
    // The channel providers and the traffic trace come from the concrete
    // application, so the frame knows only their interfaces.
    virtual std::shared_ptr<utils::IChannelProvider> createSerialProvider(const std::string& portName) = 0;
    virtual std::shared_ptr<utils::IChannelProvider> createTcpProvider(const std::string& host, int port) = 0;
    // A watcher of the link that shows every byte (-t), decodes every frame
    // (--decode) or captures them (--capture); null after a report when it
    // cannot be set up.
    virtual std::unique_ptr<zorn::net::LinkObserver> createTrace() = 0;
    // The clock the link and the commands keep time by (tests give a fake).
    virtual zorn::net::Clock& clock();

    // Opens the channel, puts the link on it and sends the synchronisation
    // frames; false when the medium could not be opened.
    bool connectChannel();
    // Called before the link goes (a new connection, the end): what the
    // concrete application made over the link must let go of it.
    virtual void beforeUnlink() {}
    // Runs `setup` (after those given before) on every link made from now
    // on, before its first frame (tests reach the link's seams through it).
    void whenLinked(std::function<void(zorn::net::Link&)> setup) { linkSetups_.push_back(std::move(setup)); }
    // The link to the base, null when not connected.
    zorn::net::Link* link() const { return link_.get(); }
    // True for a command that opens the channel itself and explains what
    // fails (the frame then runs it without connecting first).
    virtual bool handlesConnection(const std::string& command) const {
        (void)command;
        return false;
    }
    // Checks a command's own arguments and setting before the channel is
    // opened, so that a usage error comes at once rather than after a
    // connection; logs why and returns its status, or 0 to go on.
    virtual int checkBeforeConnect(const std::vector<std::string>& args) {
        (void)args;
        return 0;
    }
    // Why --csv cannot serve this command line (the concrete application
    // knows which commands make readings), or "" when it can.
    virtual std::string csvRefusal(const std::vector<std::string>& args) const {
        (void)args;
        return std::string();
    }
    // Says once, after the command, what the link spoiled (on standard error).
    virtual void reportLinkHealth() {}
    // Closes what the console recorded for its user (a capture file) within
    // `bound`; false, after a line that says why, when the recording failed.
    virtual bool closeRecordings(std::chrono::milliseconds bound) {
        (void)bound;
        return true;
    }
    int printUsage(const std::string& programName);

    // Validated channel settings (empty until parseOptions succeeded).
    const std::string& channelType() const { return channelType_; }
    const std::string& host() const { return host_; }
    const std::string& portName() const { return portName_; }
    // Something writes a line per frame or chunk (-t, --decode).
    bool traceEnabled() const {
        return trace_ != nullptr && (options_[OPT_TRACE].isSet || options_[OPT_DECODE].isSet);
    }
    // The hex dump (-t), the decoded trace (--decode) and the capture file
    // (--capture, empty when not given).
    bool hexTraceEnabled() const { return options_[OPT_TRACE].isSet; }
    // -t with each line's bytes shown as text after the hex (--text-column).
    bool textColumnEnabled() const { return options_[OPT_TEXT_COLUMN].isSet; }
    bool decodeEnabled() const { return options_[OPT_DECODE].isSet; }
    bool captureGiven() const { return options_[OPT_CAPTURE].isSet; }
    const std::string& captureFile() const { return options_[OPT_CAPTURE].value; }
    bool jsonEnabled() const { return options_[OPT_JSON].isSet; }
    bool csvEnabled() const { return options_[OPT_CSV].isSet; }
    // Pacing of the command running now: --interval, --count and
    // --duration of the command line, or of the session line that started it.
    const Pacing& pacing() const { return pacing_; }

    // Runs one command: starts its clock, runs it, and reports the outcome
    // (the log line, and with --json the failure object). Returns its result.
    CommandResult executeCommandLine(const std::vector<std::string>& args);
    // Reports a command's result as executeCommandLine does.
    CommandResult reportOutcome(const std::vector<std::string>& args, const CommandResult& result);
    // Runs one line of a session: its words may carry --interval, --count
    // and --duration, which hold for that command only. Returns the result, or 2
    // for a line whose options are wrong (any other option of the console,
    // an unknown one, a bad value): that line is not run, its failure names
    // the line's command and the option, and `optionsRefused` is set.
    CommandResult executeSessionLine(const std::vector<std::string>& words, bool& optionsRefused);
    // The command word of a session line (its first word that is neither an
    // option of the console nor an option's argument); "" when none.
    std::string lineCommand(const std::vector<std::string>& words) const;
    // The running command reported that a signal ended it (its log line or
    // failure object); false again when the next command starts.
    bool interruptReported() const { return interruptReported_; }
    // Tells the frame that the running command reported its own outcome
    // (a session reports each of its commands), so it adds no line of its own.
    void markOutcomeReported() { outcomeReported_ = true; }
    // An option a command declared in the command table, by its long name,
    // as the command line gave it (isSet, value). A name no command
    // declared is a mistake in the program: std::out_of_range.
    const ConsoleOption& commandOption(const std::string& longName) const { return *longOptions_.at(longName); }

    // Reads a TCP port text: a whole signed decimal number in 0..65535; the
    // empty text is port 0.
    static bool parseTcpPort(const std::string& text, int& port);

protected:
    // Drops the link and closes the medium; the concrete application calls
    // it first thing in its destructor, before the driver on the link goes.
    void disconnectChannel();

    zorn::net::LinkObserver* trace() const { return trace_.get(); }
    const std::shared_ptr<utils::IChannelProvider>& provider() const { return provider_; }
    CommandTable& commandTable() { return commandTable_; }

    const std::string logSource_;

private:
    // Runs one command; an exception it lets out is logged and gives
    // STATUS_INTERNAL_ERROR.
    CommandResult executeGuarded(const std::vector<std::string>& args);
    // Parses, connects and runs the command; run() adds the output report.
    int runCommandLine(int argc, const char* const* argv);
    // Waits for the queued output and says once what could not be written;
    // a lost standard output turns success into 1.
    int finishOutput(int result);

    enum OptionIndex {
        OPT_CHANNEL,
        OPT_HOST,
        OPT_PORT,
        OPT_HELP,
        OPT_VERSION,
        OPT_TRACE,
        OPT_JSON,
        OPT_INTERVAL,
        OPT_COUNT,
        OPT_DECODE,
        OPT_CAPTURE,
        OPT_TAG,
        OPT_WALL_CLOCK,
        OPT_DURATION,
        OPT_CSV,
        OPT_TEXT_COLUMN,
        OPTION_COUNT
    };

    // Reads --interval, --count and --duration into `out`; false after a
    // report, with `badOption` the option whose value is wrong.
    bool readPacing(const ConsoleOption& interval, const ConsoleOption& count, const ConsoleOption& duration,
                    Pacing& out, std::string& badOption);
    // Adds the options the commands of the table declared to the parser's
    // maps; an option already there (common, or declared by another
    // command) is kept as it is, and one without a long name is left out.
    // Runs before the first parse or listing, since the concrete
    // application fills the table after the frame was made.
    void collectCommandOptions();
    // The failure object of a command (with --json).
    void emitFailure(const std::string& command, const CommandResult& result, bool known);

    // The common options, read by the frame itself.
    ConsoleOption options_[OPTION_COUNT];
    // The commands' own options, by long name.
    std::map<std::string, ConsoleOption> commandOptions_;
    // Removes the console appender when the application goes; declared first,
    // so it goes last and lines logged while the members go still print.
    nivo::system::util::LogManager::Registration appenderRegistration_;
    OptionMap shortOptions_;
    OptionMap longOptions_;
    std::string channelType_;
    std::string host_;
    std::string portName_;
    CommandTable commandTable_;
    std::shared_ptr<utils::IChannelProvider> provider_;
    std::unique_ptr<zorn::net::LinkObserver> trace_;
    std::unique_ptr<zorn::net::Link> link_;
    std::vector<std::function<void(zorn::net::Link&)>> linkSetups_;
    Pacing pacing_;
    bool outcomeReported_ = false;
    bool interruptReported_ = false;
    std::string lastCommand_;  // the command that ran last (for the lost-output object)
    // The option an option error is about, as typed or by its long name.
    std::string badOption_;
    std::shared_ptr<nivo::system::util::ConsoleLogAppender> appender_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
