#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ConsoleCommand.h"
#include "app/OptionParser.h"
#include "console/ChannelFactory.h"

namespace zorn {
namespace net {
class Protocol;
class Channel;
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
    virtual zorn::net::Protocol* getProtocol() = 0;

    bool connectChannel();
    int printUsage(const std::string& programName);

    // Validated channel settings (empty until parseOptions succeeded).
    const std::string& channelType() const { return channelType_; }
    const std::string& host() const { return host_; }
    const std::string& portName() const { return portName_; }
    bool traceEnabled() const { return traceProtocol_ != nullptr; }

    // Reads a TCP port text: a whole signed decimal number in 0..65535; the
    // empty text is port 0.
    static bool parseTcpPort(const std::string& text, int& port);

protected:
    // Stops the channel's threads and forgets the channel; the concrete
    // application calls it first thing in its destructor so that no thread
    // delivers into its protocol or endpoint while they are destroyed.
    void disconnectChannel();

    zorn::net::Channel* channel() const { return channel_; }
    const std::shared_ptr<utils::IChannelProvider>& provider() const { return provider_; }
    CommandTable& commandTable() { return commandTable_; }

    const std::string logSource_;

private:
    // Parses, connects and runs the command; run() adds the output report.
    int runCommandLine(int argc, const char* const* argv);
    // Waits for the queued output and says once what could not be written;
    // a lost standard output turns success into 1.
    int finishOutput(int result);

    enum OptionIndex { OPT_CHANNEL, OPT_HOST, OPT_PORT, OPT_HELP, OPT_VERSION, OPT_TRACE, OPTION_COUNT };

    ConsoleOption options_[OPTION_COUNT];
    OptionMap shortOptions_;
    OptionMap longOptions_;
    std::string channelType_;
    std::string host_;
    std::string portName_;
    CommandTable commandTable_;
    std::shared_ptr<utils::IChannelProvider> provider_;
    zorn::net::Channel* channel_ = nullptr;
    std::unique_ptr<zorn::net::Protocol> traceProtocol_;
};

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
