#include "tests/console/ConsoleRig.h"

#include "net/Link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/Interrupt.h"
#include "config/BinaryConfig.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "lib/BaseOverLink.h"
#include "tests/support/JsonText.h"

namespace tests {
namespace console {

using namespace nivo::system::util;

namespace {

// As the program makes it: the library's Base over the console's link.
orbitane::Base baseOverConsoleLink(zorn::net::Link& link, const std::string& channel, bool showDecodedConfig) {
    return orbitane::detail::baseOverLink(link, channel, zorn::orbitane::test::consoleMotionHooks(),
                                          showDecodedConfig);
}

// Points standard output and error at /dev/null while alive: every in-process
// run adds one more console appender to the process-wide log manager, and
// their copies of each line are of no interest here. ORBITANE_TEST_VERBOSE
// keeps the streams.
class QuietStreams {
public:
    QuietStreams() {
        if (std::getenv("ORBITANE_TEST_VERBOSE") != nullptr) {
            return;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0) {
            return;
        }
        savedOut_ = ::dup(STDOUT_FILENO);
        savedErr_ = ::dup(STDERR_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    ~QuietStreams() {
        std::fflush(stdout);
        std::fflush(stderr);
        if (savedOut_ >= 0) {
            ::dup2(savedOut_, STDOUT_FILENO);
            ::close(savedOut_);
        }
        if (savedErr_ >= 0) {
            ::dup2(savedErr_, STDERR_FILENO);
            ::close(savedErr_);
        }
    }
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;

private:
    int savedOut_ = -1;
    int savedErr_ = -1;
};

void ignoreSignal(int) {}

std::vector<std::string> taggedOf(const std::vector<LogLine>& lines, const std::string& source) {
    std::vector<std::string> out;
    for (const LogLine& line : lines) {
        if (line.source == source) {
            out.push_back(line.tagged());
        }
    }
    return out;
}

void putWord(Bytes& bytes, int32_t word) {
    uint32_t u = static_cast<uint32_t>(word);
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
}

}  // namespace

SignalWhen::SignalWhen(int sig, std::function<bool()> ready) {
    thread_ = std::thread([this, sig, ready] {
        if (ready()) {
            sent_ = true;
            ::kill(::getpid(), sig);
        }
    });
}

SignalWhen::~SignalWhen() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ignoreStraySignals() {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

ConsoleRig::ConsoleRig() {
    LogCollector::instance().clear();
    base.scriptHealthyBase();
}

int ConsoleRig::run(const std::vector<std::string>& command) { return run(command, nullptr); }

int ConsoleRig::run(const std::vector<std::string>& command,
                    const std::function<void(zorn::orbitane::test::OrbitaneBaseConsoleApplication&)>& prepare) {
    return run(command, tcp.port(), prepare);
}

int ConsoleRig::run(const std::vector<std::string>& command, uint16_t port,
                    const std::function<void(zorn::orbitane::test::OrbitaneBaseConsoleApplication&)>& prepare) {
    std::vector<std::string> words = {"orbitane_console base", "-c", "tcp", "--host", host,
                                      "-p", std::to_string(port)};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    base.clearRequests();
    LogCollector::instance().clear();
    zorn::orbitane::test::clearInterrupt();
    int result;
    {
        QuietStreams quiet;
        zorn::orbitane::test::OrbitaneBaseConsoleApplication application(baseOverConsoleLink);
        // The scripted base needs no time to settle after the synchronisation.
        application.whenLinked([](zorn::net::Link& link) { link.setSyncPauses({}, {}); });
        if (prepare) prepare(application);
        result = application.run(static_cast<int>(argv.size()), argv.data());
    }
    zorn::orbitane::test::clearInterrupt();
    lines_ = LogCollector::instance().lines();
    return result;
}

namespace {

bool isRunSummary(const std::string& line) {
    return line.rfind("[INFO] Run finished: ", 0) == 0 || line.rfind("[INFO] Vector run finished: ", 0) == 0;
}

}  // namespace

std::vector<std::string> ConsoleRig::commandLines() const {
    std::vector<std::string> all = taggedOf(lines_, LOG_SOURCE_BASE_CONSOLE_APP);
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].rfind("[INFO] Serial Number: ", 0) == 0) {
            all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            break;
        }
    }
    std::vector<std::string> lines;
    for (const std::string& line : all) {
        if (!isRunSummary(line)) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ConsoleRig::summaryLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : taggedOf(lines_, LOG_SOURCE_BASE_CONSOLE_APP)) {
        if (isRunSummary(line)) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ConsoleRig::frameLines() const { return taggedOf(lines_, LOG_SOURCE_CONSOLE_APP); }

std::vector<BaseRequest> ConsoleRig::commandRequests() const {
    std::vector<BaseRequest> all = base.requests();
    if (!all.empty() && all.front().code == zorn::drv::REQ_CONNECT) {
        all.erase(all.begin());
    }
    return all;
}

std::vector<uint8_t> ConsoleRig::commandCodes() const {
    std::vector<uint8_t> codes;
    for (const BaseRequest& request : commandRequests()) {
        codes.push_back(request.code);
    }
    return codes;
}

Bytes motorAnswer(int32_t left, int32_t right) {
    Bytes bytes;
    putWord(bytes, left);
    putWord(bytes, right);
    bytes.push_back(0);
    return bytes;
}

Bytes velocityAnswer(int32_t dx, int32_t dy, int32_t dtheta) {
    Bytes bytes;
    putWord(bytes, dx);
    putWord(bytes, dy);
    putWord(bytes, dtheta);
    bytes.push_back(0);
    return bytes;
}

Bytes binaryConfig(const std::string& jsonText) {
    Bytes bytes;
    EXPECT_TRUE(nivo::system::config::encodeBinaryConfig(tests::support::parseJson(jsonText), bytes))
        << jsonText;
    return bytes;
}

std::vector<int32_t> argWords(const BaseRequest& request) {
    std::vector<int32_t> words;
    for (size_t i = 0; i + 4 <= request.args.size(); i += 4) {
        uint32_t u = 0;
        for (int b = 0; b < 4; ++b) {
            u |= static_cast<uint32_t>(request.args[i + static_cast<size_t>(b)]) << (8 * b);
        }
        words.push_back(static_cast<int32_t>(u));
    }
    return words;
}

}  // namespace console
}  // namespace tests
