#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/OrbitaneConsoleApplication.h"
#include "net/LinkObserver.h"
#include "tests/support/LogCapture.h"

using namespace zorn::orbitane::test;

namespace {

// A frame whose device never answers; only option handling is exercised.
class FrameUnderTest : public OrbitaneConsoleApplication {
public:
    // "go" takes an option of its own, --speed; "stay" none.
    FrameUnderTest() {
        ConsoleOption speed;
        speed.name = "speed";
        speed.longName = "speed";
        speed.hasArgument = true;
        speed.appended = true;
        auto none = [](const std::vector<std::string>&) { return CommandResult(0); };
        commandTable().addCommand("go", "Go", "Go", none, true, {speed});
        commandTable().addCommand("stay", "Stay", "Stay", none, true);
    }
    bool onConnected() override { return false; }
    // Nothing connects here: no providers, and a trace that shows nothing.
    std::shared_ptr<zorn::orbitane::utils::IChannelProvider> createSerialProvider(const std::string&) override {
        return nullptr;
    }
    std::shared_ptr<zorn::orbitane::utils::IChannelProvider> createTcpProvider(const std::string&, int) override {
        return nullptr;
    }
    std::unique_ptr<zorn::net::LinkObserver> createTrace() override {
        return std::make_unique<zorn::net::LinkObserver>();
    }

    bool parse(std::vector<std::string> words, std::vector<std::string>& args) {
        words.insert(words.begin(), "orbitane_console base");
        std::vector<const char*> argv;
        for (auto& w : words) argv.push_back(w.c_str());
        return parseOptions(static_cast<int>(argv.size()), argv.data(), args);
    }
};

}  // namespace

TEST(ConsoleFrame, TcpDefaultsToThePrivateHostAndPortWithoutConnecting) {
    FrameUnderTest frame;
    std::vector<std::string> args;
    ASSERT_TRUE(frame.parse({"-c", "tcp", "status"}, args));
    EXPECT_EQ(frame.channelType(), "tcp");
    EXPECT_EQ(frame.host(), "192.168.11.1");
    EXPECT_EQ(frame.portName(), "11331");
    EXPECT_FALSE(frame.traceEnabled());
    EXPECT_EQ(args, std::vector<std::string>{"status"});
}

TEST(ConsoleFrame, ExplicitTcpSettingsAndTrace) {
    FrameUnderTest frame;
    std::vector<std::string> args;
    ASSERT_TRUE(frame.parse({"status", "--host", "127.0.0.1", "-p", "", "-t", "-c", "tcp"}, args));
    EXPECT_EQ(frame.host(), "127.0.0.1");
    EXPECT_EQ(frame.portName(), "") << "the empty port text is port 0";
    EXPECT_TRUE(frame.traceEnabled());
}

TEST(ConsoleFrame, SerialTakesThePortAsDeviceName) {
    FrameUnderTest frame;
    std::vector<std::string> args;
    ASSERT_TRUE(frame.parse({"-c", "serial", "-p", "/dev/ttyUSB0", "motor"}, args));
    EXPECT_EQ(frame.channelType(), "serial");
    EXPECT_EQ(frame.portName(), "/dev/ttyUSB0");
    EXPECT_EQ(frame.host(), "");
}

TEST(ConsoleFrame, TcpPortRule) {
    int port = -1;
    EXPECT_TRUE(OrbitaneConsoleApplication::parseTcpPort("", port));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(OrbitaneConsoleApplication::parseTcpPort(" +80", port));
    EXPECT_EQ(port, 80);
    EXPECT_TRUE(OrbitaneConsoleApplication::parseTcpPort("65535", port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"80x", "65536", "-1", "4294967376", "99999999999999999999", " ", "0x50"}) {
        EXPECT_FALSE(OrbitaneConsoleApplication::parseTcpPort(bad, port)) << bad;
    }
}

TEST(ConsoleFrame, CommandOptionIsParsedWhateverTheCommand) {
    FrameUnderTest frame;
    std::vector<std::string> args;
    ASSERT_TRUE(frame.parse({"-c", "tcp", "stay", "--speed", "3"}, args));
    EXPECT_EQ(args, std::vector<std::string>{"stay"}) << "the option's value is not a word of the command";
    EXPECT_TRUE(frame.commandOption("speed").isSet);
    EXPECT_EQ(frame.commandOption("speed").value, "3");
}

TEST(ConsoleFrame, CommandOptionIsRefusedInASessionLine) {
    FrameUnderTest frame;
    std::vector<std::string> args;
    ASSERT_TRUE(frame.parse({"-c", "tcp", "session"}, args));
    tests::support::LogCapture log;
    bool refused = false;
    EXPECT_EQ(frame.executeSessionLine({"go", "--speed", "3"}, refused).status(), 2);
    EXPECT_TRUE(refused);
    const std::vector<std::string> expected{
        "Option --speed cannot be given in a session line: only --interval and --count can (the others go on the "
        "command line of session)"};
    EXPECT_EQ(log.messages(), expected) << "refused as an option of the console, not as an unknown one";
}
