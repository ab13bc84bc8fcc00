#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/StandardOutput.h"
#include "log/TextEscape.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ThreadMasks.h"

using namespace nivo::system::util;
using tests::support::LogCollector;

namespace {

std::string readAll(FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    return text;
}

}  // namespace

TEST(LogSourceMatching, DottedPrefixRule) {
    EXPECT_TRUE(logSourceMatches("zorn.orbitane", "zorn.orbitane"));
    EXPECT_TRUE(logSourceMatches("zorn.orbitane", "zorn.orbitane.test"));
    EXPECT_FALSE(logSourceMatches("zorn.orbitane", "zorn.orbitanex"));
    EXPECT_FALSE(logSourceMatches("zorn.orbitane", "zorn"));
    EXPECT_FALSE(logSourceMatches("Zorn.orbitane", "zorn.orbitane.test"));  // case-sensitive
}

TEST(LogManagerTest, DropsBelowThresholdExcludedOrUnwanted) {
    LogManager manager;
    EXPECT_TRUE(manager.shouldDrop("a", LOG_FATAL)) << "no appender wants anything";

    auto appender = std::make_shared<LogCollector>();
    appender->level = LOG_WARN;
    appender->excludeLogSources = {"noisy"};
    manager.addAppender(appender);

    EXPECT_TRUE(manager.shouldDrop("a", LOG_DEBUG)) << "below the manager's info threshold";
    EXPECT_TRUE(manager.shouldDrop("a", LOG_INFO)) << "below the appender's threshold";
    EXPECT_FALSE(manager.shouldDrop("a", LOG_WARN));
    EXPECT_TRUE(manager.shouldDrop("noisy.child", LOG_ERROR));
    EXPECT_FALSE(manager.shouldDrop("noisyx", LOG_ERROR));

    manager.setExcludeLogSources({"a"});
    EXPECT_TRUE(manager.shouldDrop("a.b", LOG_FATAL));
}

TEST(LogManagerTest, DispatchReachesEveryInterestedAppenderInOrder) {
    LogManager manager;
    auto everything = std::make_shared<LogCollector>();
    auto errorsOnly = std::make_shared<LogCollector>();
    errorsOnly->level = LOG_ERROR;
    manager.addAppender(everything);
    manager.addAppender(errorsOnly);

    manager.dispatch("s", LOG_INFO, "hello");
    manager.dispatch("s", LOG_ERROR, "bad");
    ASSERT_EQ(everything->lines().size(), 2u);
    ASSERT_EQ(errorsOnly->lines().size(), 1u);
    EXPECT_EQ(errorsOnly->lines()[0].message, "bad");
}

TEST(LogFunctions, DisabledMessagesAreNotFormattedAndLongOnesAreCut) {
    auto recorder = std::make_shared<LogCollector>();
    recorder->excludeLogSources = {"other"};
    LogManager::defaultManager()->addAppender(recorder);

    // %n would write through the pointer if the message were ever formatted.
    int written = -1;
    logDebug("test.cut", "%n", &written);
    EXPECT_EQ(written, -1);
    EXPECT_TRUE(recorder->lines().empty());

    std::string longText(70000, 'x');
    logInfo("test.cut", "%s", longText.c_str());
    ASSERT_EQ(recorder->lines().size(), 1u);
    EXPECT_EQ(recorder->lines()[0].message.size(), 65535u);

    logText("test.cut", LOG_INFO, longText);  // a line that is already text is cut alike
    EXPECT_EQ(recorder->lines().back().message.size(), 65535u);

    logWarn("test.cut", "value %d and %s", 42, "text");
    EXPECT_EQ(recorder->lines().back().message, "value 42 and text");
    EXPECT_EQ(recorder->lines().back().level, LOG_WARN);
}

TEST(ConsoleLogAppenderTest, StreamsTagsAndPlainFormat) {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    {
        ConsoleLogAppender appender(out, err);
        appender.append("zorn.a", LOG_DEBUG, "d");
        appender.append("zorn.a", LOG_INFO, "i");
        appender.append("zorn.a", LOG_WARN, "w");
        appender.append("zorn.a", LOG_ERROR, "e");
        appender.append("zorn.a", LOG_FATAL, "f");
        appender.append("zorn.a", 7, "odd");
        appender.append("zorn.a", -3, "neg");
    }
    // Temporary files are not terminals: lines carry no colour sequences.
    EXPECT_EQ(readAll(out), "[zorn.a] [DBUG] d\n[zorn.a] [INFO] i\n[zorn.a] [DBUG] neg\n");
    EXPECT_EQ(readAll(err), "[zorn.a] [WARN] w\n[zorn.a] [ERRO] e\n[zorn.a] [FATL] f\n[zorn.a] [DBUG] odd\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(ConsoleLogAppenderTest, TwoAppendersPrintEveryMessageTwice) {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    LogManager manager;
    manager.addAppender(std::make_shared<ConsoleLogAppender>(out, err));
    manager.addAppender(std::make_shared<ConsoleLogAppender>(out, err));
    manager.dispatch("x", LOG_INFO, "twice");
    EXPECT_EQ(readAll(out), "[x] [INFO] twice\n[x] [INFO] twice\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(ConsoleLogAppenderTest, ControlCharactersAndBytesThatAreNotUtf8AreEscaped) {
    struct Case {
        std::string message;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"\tTesting connect...", "\tTesting connect..."},  // the layout of existing lines stays
        {"Parsed JSON:\n{}", "Parsed JSON:\n{}"},
        {"Grad 25\xC2\xB0 \xE2\x82\xAC \xF0\x9F\x98\x80", "Grad 25\xC2\xB0 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"red \x1B[31mtext\r\x7F", "red \\x1B[31mtext\\x0D\\x7F"},
        {"csi \xC2\x9B" "2J", "csi \\u009B2J"},
        {"bad \xFF\xFE, cut \xE2\x82, overlong \xC0\xAF, surrogate \xED\xA0\x80",
         "bad \\xFF\\xFE, cut \\xE2\\x82, overlong \\xC0\\xAF, surrogate \\xED\\xA0\\x80"},
        {std::string("nul\0end", 7), "nul\\x00end"},
    };
    for (const Case& c : cases) {
        FILE* out = std::tmpfile();
        ASSERT_TRUE(out);
        ConsoleLogAppender(out, out).append("src\x1B", LOG_INFO, c.message);
        EXPECT_EQ(readAll(out), "[src\\x1B] [INFO] " + c.written + "\n") << c.written;
        std::fclose(out);
    }
}

// Text is looked at eight bytes at a time: a byte to escape is found at
// every offset within and after a word, and the printable edges are kept.
TEST(TextEscapeTest, EachByteToEscapeIsFoundAtEveryOffset) {
    struct Case {
        char byte;
        std::string written;
    };
    const std::vector<Case> cases = {
        {'\0', "\\x00"}, {'\x1B', "\\x1B"}, {'\x1F', "\\x1F"}, {'\x7F', "\\x7F"},
        {'\x80', "\\x80"}, {'\xFF', "\\xFF"}, {' ', " "},       {'~', "~"},
    };
    for (const Case& c : cases) {
        for (size_t at = 0; at < 19; ++at) {
            std::string text(19, 'a');
            text[at] = c.byte;
            const std::string expected = std::string(at, 'a') + c.written + std::string(18 - at, 'a');
            EXPECT_EQ(escapeControlAndInvalid(text, KeepLayout::No), expected) << int(c.byte) << " at " << at;
        }
    }
    EXPECT_EQ(escapeControlAndInvalid("0123456789\tab\n", KeepLayout::TabAndNewline), "0123456789\tab\n");
    EXPECT_EQ(escapeControlAndInvalid("0123456789\tab\n", KeepLayout::No), "0123456789\\x09ab\\x0A");
}

// Signals are the main thread's: the output's writer thread blocks every one
// from its start.
TEST(StandardOutputTest, TheWriterThreadBlocksEverySignalFromItsStart) {
    const std::set<pid_t> before = tests::support::otherThreads();
    StandardOutput::instance().write(1, "[writer thread check]\n");
    size_t started = 0;
    for (pid_t tid : tests::support::otherThreads()) {
        if (before.count(tid)) continue;
        ++started;
        EXPECT_TRUE(tests::support::blocksEverySignal(tid)) << "thread " << tid;
    }
    EXPECT_GE(started, 1u);  // a sanitizer may start a thread of its own
    StandardOutput::instance().flush();
}

TEST(LogManagerTest, ARegistrationRemovesItsAppenderWhenItGoes) {
    LogManager manager;
    auto appender = std::make_shared<LogCollector>();
    LogManager::Registration outer;
    {
        LogManager::Registration registration = manager.attach(appender);
        manager.dispatch("s", LOG_INFO, "while registered");
        outer = std::move(registration);  // moving keeps it registered
    }
    manager.dispatch("s", LOG_INFO, "moved");
    outer.reset();
    manager.dispatch("s", LOG_INFO, "after");
    EXPECT_TRUE(manager.shouldDrop("s", LOG_FATAL)) << "nobody listens any more";
    ASSERT_EQ(appender->lines().size(), 2u);
    EXPECT_EQ(appender->lines()[1].message, "moved");
}

// Lines are held back while any hold lives and then reach the appenders in
// the order they came; lines nobody wants are not kept.
TEST(LogManagerTest, HeldBackLinesAreReplayedInOrderWhenTheLastHoldGoes) {
    LogManager manager;
    auto appender = std::make_shared<LogCollector>();
    LogManager::Registration registration = manager.attach(appender);
    {
        LogManager::HoldBack hold(manager);
        manager.dispatch("s", LOG_INFO, "one");
        {
            LogManager::HoldBack nested(manager);
            manager.dispatch("s", LOG_DEBUG, "below the threshold");
            manager.dispatch("s", LOG_WARN, "two");
        }
        EXPECT_TRUE(appender->lines().empty());
    }
    manager.dispatch("s", LOG_INFO, "three");
    std::vector<std::string> messages;
    for (const auto& line : appender->lines()) messages.push_back(line.message);
    EXPECT_EQ(messages, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(manager.droppedHeldLines(), 0u);
}

// A write that blocks (a full pipe, a stuck terminal) holds no lock: another
// thread's line to the other stream still goes out.
TEST(ConsoleLogAppenderTest, ABlockedWriteHoldsNoLock) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool open = false;
    } gate;
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char*, size_t size) -> ssize_t {
        Gate& g = *static_cast<Gate*>(cookie);
        std::unique_lock<std::mutex> lock(g.mutex);
        g.entered = true;
        g.changed.notify_all();
        g.changed.wait(lock, [&g] { return g.open; });
        return static_cast<ssize_t>(size);
    };
    FILE* stuck = fopencookie(&gate, "w", io);
    FILE* err = std::tmpfile();
    ASSERT_TRUE(stuck && err);
    ConsoleLogAppender appender(stuck, err);
    std::thread writer([&] { appender.append("s", LOG_INFO, "stuck"); });
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.entered; }));
    }
    auto other = std::async(std::launch::async, [&] { appender.append("s", LOG_ERROR, "through"); });
    const bool through = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.changed.notify_all();
    writer.join();
    other.wait();
    EXPECT_TRUE(through);
    EXPECT_EQ(readAll(err), "[s] [ERRO] through\n");
    std::fclose(stuck);
    std::fclose(err);
}
