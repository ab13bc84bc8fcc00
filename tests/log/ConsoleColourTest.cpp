#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/ConsoleLogAppender.h"

using namespace nivo::system::util;

namespace {

// Runs `body` with an appender whose standard output is a real terminal
// and returns what reached the terminal.
std::string onTerminal(void (*body)(ConsoleLogAppender&)) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return "openpty failed";
    }
    FILE* terminal = fdopen(slave, "w");
    {
        ConsoleLogAppender appender(terminal, terminal);
        body(appender);
    }
    std::fclose(terminal);
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = read(master, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(master);
    return text;
}

void logTwoLines(ConsoleLogAppender& appender) {
    appender.append("s", LOG_INFO, "i");
    appender.append("s", LOG_ERROR, "e");
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value) setenv(name, value, 1); else unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_) setenv(name_, old_.c_str(), 1); else unsetenv(name_);
    }

private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

}  // namespace

TEST(ConsoleColour, TerminalLinesAreColouredUnlessDisabled) {
    ScopedEnv term("TERM", "xterm-256color");
    {
        ScopedEnv noColour("NO_COLOR", nullptr);
        // The terminal turns "\n" into "\r\n".
        EXPECT_EQ(onTerminal(logTwoLines), "\033[32m[s] [INFO] i\033[0m\r\n\033[91m[s] [ERRO] e\033[0m\r\n");
    }
    {
        ScopedEnv noColour("NO_COLOR", "");  // present but empty: colour stays on
        EXPECT_EQ(onTerminal(logTwoLines), "\033[32m[s] [INFO] i\033[0m\r\n\033[91m[s] [ERRO] e\033[0m\r\n");
    }
    {
        ScopedEnv noColour("NO_COLOR", "1");
        EXPECT_EQ(onTerminal(logTwoLines), "[s] [INFO] i\r\n[s] [ERRO] e\r\n");
    }
    {
        ScopedEnv dumb("TERM", "dumb");
        EXPECT_EQ(onTerminal(logTwoLines), "[s] [INFO] i\r\n[s] [ERRO] e\r\n");
    }
}
