#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ConsoleCommand.h"
#include "app/ExitStatus.h"
#include "app/OptionParser.h"

using namespace zorn::orbitane::test;

namespace {

// The console's option set, as the frame builds it.
struct Options {
    ConsoleOption channel{"channel", "", "c", "channel", true, false, ""};
    ConsoleOption host{"host", "", "", "host", true, false, ""};
    ConsoleOption port{"port", "", "p", "port", true, false, ""};
    ConsoleOption help{"help", "", "h", "help", false, false, ""};
    OptionMap shortMap{{"c", &channel}, {"p", &port}, {"h", &help}};
    OptionMap longMap{{"channel", &channel}, {"host", &host}, {"port", &port}, {"help", &help}};

    bool parse(std::vector<std::string> words, std::vector<std::string>& args) {
        words.insert(words.begin(), "prog");
        std::vector<const char*> argv;
        for (auto& w : words) argv.push_back(w.c_str());
        return parseCommandLine(static_cast<int>(argv.size()), argv.data(), args, shortMap, longMap);
    }
};

std::string captureStderr(const std::function<void()>& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(OptionParser, OptionsAndWordsInterleaveAndLaterValuesWin) {
    Options o;
    std::vector<std::string> args;
    ASSERT_TRUE(o.parse({"status", "-c", "serial", "x", "--channel", "tcp", "", "--host", "1.2.3.4"}, args));
    EXPECT_EQ(args, (std::vector<std::string>{"status", "x", ""}));
    EXPECT_TRUE(o.channel.isSet);
    EXPECT_EQ(o.channel.value, "tcp");
    EXPECT_EQ(o.host.value, "1.2.3.4");
    EXPECT_FALSE(o.port.isSet);
}

TEST(OptionParser, ValueIsTheNextWordWhateverItLooksLike) {
    Options o;
    std::vector<std::string> args;
    ASSERT_TRUE(o.parse({"-p", "-5", "-c", "--help"}, args));
    EXPECT_EQ(o.port.value, "-5");
    EXPECT_EQ(o.channel.value, "--help");
    EXPECT_FALSE(o.help.isSet);
    EXPECT_TRUE(args.empty());
}

TEST(OptionParser, NegativeNumbersArePositionalWords) {
    Options o;
    std::vector<std::string> args;
    ASSERT_TRUE(o.parse({"vrun", "-0.1", "-.5", "0", "-100", "-c", "tcp"}, args));
    EXPECT_EQ(args, (std::vector<std::string>{"vrun", "-0.1", "-.5", "0", "-100"}));
    EXPECT_EQ(o.channel.value, "tcp");
}

TEST(OptionParser, UnknownOptionsFailWithTheWordAsTyped) {
    for (const char* word : {"--", "-", "-ctcp", "--bogus", "-.", "-x5", "--5"}) {
        Options o;
        std::vector<std::string> args;
        bool ok = true;
        std::string err = captureStderr([&] { ok = o.parse({"status", word}, args); });
        EXPECT_FALSE(ok) << word;
        EXPECT_EQ(err, std::string("Unknown option: ") + word + "\n");
    }
}

TEST(OptionParser, MissingArgumentNamesTheOptionAsTyped) {
    for (const char* word : {"-p", "--port"}) {
        Options o;
        std::vector<std::string> args;
        bool ok = true;
        std::string err = captureStderr([&] { ok = o.parse({"status", word}, args); });
        EXPECT_FALSE(ok);
        EXPECT_TRUE(o.port.isSet) << "stays marked as set";
        EXPECT_EQ(err, std::string("Option ") + word + " accepts an argument, but not specified\n");
    }
}

TEST(OptionParser, ListingPutsShortNamedOptionsFirstThenLongOnlyOnes) {
    ConsoleOption a{"alpha", "Alpha help", "a", "", false, false, ""};
    ConsoleOption z{"zulu", "", "z", "zulu", false, false, ""};
    ConsoleOption l{"long only", "Long help", "", "long", true, false, ""};
    OptionMap shortMap{{"z", &z}, {"a", &a}};
    OptionMap longMap{{"long", &l}, {"zulu", &z}};
    std::string err = captureStderr([&] { printOptions(shortMap, longMap); });
    EXPECT_EQ(err,
              "              -a alpha\n"
              "                 Alpha help\n\n"
              "       --zulu,-z zulu\n"
              "          --long long only\n"
              "                 Long help\n\n");
}

TEST(CommandTableTest, LooksUpByExactNameAndListsInByteOrder) {
    std::string source = "test.table";
    CommandTable table(source);
    std::vector<std::string> seen;
    table.addCommand("zeta", "Z", "Zed", [&](const std::vector<std::string>& a) { seen = a; return 7; });
    table.addCommand("Alpha", "A", "Old", [](const std::vector<std::string>&) { return 1; });
    table.addCommand("Alpha", "A2", "New", [](const std::vector<std::string>&) { return 2; });
    table.addCommand("averylongname", "L", "Long", [](const std::vector<std::string>&) { return 3; });

    EXPECT_EQ(table.executeCommand({"zeta", "1", "2"}).status(), 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"zeta", "1", "2"}));
    EXPECT_EQ(table.executeCommand({"Alpha"}).status(), 2) << "the last registration wins";
    EXPECT_EQ(table.executeCommand({"ZETA"}).status(), 5) << "lookup is case-sensitive";

    std::string err = captureStderr([&] { table.printCommands(); });
    EXPECT_EQ(err,
              "Alpha      A2\n           New\n"
              "averylongname L\n           Long\n"
              "zeta       Z\n           Zed\n");
}

TEST(ExitStatusTest, LowBitsExceptFailuresThatWouldReadAsSuccess) {
    EXPECT_EQ(toProcessStatus(0), 0);
    EXPECT_EQ(toProcessStatus(5), 5);
    EXPECT_EQ(toProcessStatus(-1), 255);
    EXPECT_EQ(toProcessStatus(static_cast<int>(0x80008000u)), 1);
    EXPECT_EQ(toProcessStatus(static_cast<int>(0x80008001u)), 1);
    EXPECT_EQ(toProcessStatus(static_cast<int>(0x80008002u)), 2);
    EXPECT_EQ(toProcessStatus(static_cast<int>(0x80008004u)), 4);
    EXPECT_EQ(toProcessStatus(256), 1);
    EXPECT_EQ(toProcessStatus(130), 130);
}
