// The command line of the base console: the option parser and the frame's
// validation of the channel options. Nothing is ever connected.
//
// Input: the words, separated by NUL bytes (at most 64 words).
//
// Properties checked besides the sanitizers:
// - the positional words come out in their order on the command line, each
//   one a word of the input;
// - a positional word never starts with "-" unless it is a negative number;
// - a validated command line names the serial or the tcp channel; for tcp
//   the port text reads as a port number, serial has no host.
// The usage text (option and command listing) is printed for every rejected
// line, as the program does; run the target with -close_fd_mask=2.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "app/OptionParser.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "lib/BaseOverLink.h"

using zorn::orbitane::test::OrbitaneBaseConsoleApplication;
using zorn::orbitane::test::OrbitaneConsoleApplication;

namespace {

constexpr size_t MAX_WORDS = 64;

bool negativeNumber(const std::string& word) {
    if (word.size() < 2 || word[0] != '-') return false;
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    return digit(word[1]) || (word[1] == '.' && word.size() >= 3 && digit(word[2]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"orbitane_console base"};
    size_t start = 0;
    for (size_t i = 0; i <= size && words.size() <= MAX_WORDS; ++i) {
        if (i == size || data[i] == 0) {
            if (i > start || i < size) {
                words.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
            }
            start = i + 1;
        }
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    OrbitaneBaseConsoleApplication application(
        [](zorn::net::Link& link, const std::string& channel, bool showDecodedConfig) {
            return orbitane::detail::baseOverLink(link, channel, zorn::orbitane::test::consoleMotionHooks(),
                                                  showDecodedConfig);
        });
    std::vector<std::string> args;
    const bool valid = application.parseOptions(argc, argv.data(), args);

    // Positional words: an ordered selection of the input words.
    size_t next = 1;
    for (const std::string& arg : args) {
        while (next < words.size() && words[next] != arg) ++next;
        FUZZ_CHECK(next < words.size(), "positional word \"%s\" out of order or not typed", arg.c_str());
        ++next;
        FUZZ_CHECK(arg.empty() || arg[0] != '-' || negativeNumber(arg), "option \"%s\" taken as a positional word",
                   arg.c_str());
    }

    if (valid) {
        const std::string& channel = application.channelType();
        FUZZ_CHECK(channel == "serial" || channel == "tcp", "channel \"%s\" accepted", channel.c_str());
        if (channel == "tcp") {
            int port = -1;
            FUZZ_CHECK(OrbitaneConsoleApplication::parseTcpPort(application.portName(), port),
                       "tcp port \"%s\" accepted", application.portName().c_str());
            FUZZ_CHECK(port >= 0 && port <= 65535, "tcp port %d", port);
        } else {
            FUZZ_CHECK(application.host().empty(), "serial with a host");
        }
    } else {
        application.printUsage(words[0]);
    }
    return 0;
}
