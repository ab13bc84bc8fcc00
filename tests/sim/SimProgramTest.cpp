// The simulator and the console as programs: ready lines, log lines, stop
// signals, and a scripted reading seen through the console.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <poll.h>

#include <fstream>
#include <memory>
#include <regex>

#include "sim/SimServer.h"
#include "tests/sim/SimTestClient.h"
#include "tests/support/ChildProcess.h"

using namespace zorn::orbitane::sim;
using namespace tests::support;
using tests::sim::repeatedRequest;
using std::chrono::milliseconds;

namespace {

TEST(SimProgramTest, EveryStopSignalEndsCleanlyAndRemovesThePtyLink) {
    const std::string link = "/tmp/orbitane-simprog-" + std::to_string(::getpid());
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
        RunningChild sim(builtProgram("orbitane_base_sim"),
                         {"--tcp", "127.0.0.1:0", "--pty", link, "--state-every", "0.05"});
        ASSERT_TRUE(sim.waitForOutput("link " + link, milliseconds(5000))) << sim.outputSoFar();
        ASSERT_TRUE(sim.waitForOutput("state: wheels", milliseconds(5000))) << sim.outputSoFar();
        struct stat st;
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        sim.signal(sig);
        ChildResult r = sim.wait(milliseconds(5000));
        EXPECT_EQ(r.status, 0) << strsignal(sig);
        EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind after " << strsignal(sig);
        // The ready line once; every log line starts with the seconds since
        // the start.
        size_t ready = 0;
        const std::regex logLine(R"(^\d+\.\d{3} \[[^\]]+\] \[(DBUG|INFO|WARN|ERRO|FATL)\] .*)");
        for (const std::string& line : ChildResult::lines(r.out + r.err)) {
            if (line.rfind("listening on tcp 127.0.0.1:", 0) == 0) {
                ++ready;
            } else if (line.rfind("pty ", 0) != 0 && line.rfind("link ", 0) != 0 && line.rfind("stopped on ", 0) != 0) {
                EXPECT_TRUE(std::regex_match(line, logLine)) << line;
            }
        }
        EXPECT_EQ(ready, 1u) << r.out;
        EXPECT_NE(r.out.find(std::string("stopped on SIG")), std::string::npos) << r.out;
    }
}

TEST(SimProgramTest, VersionIsTheConsolesVersion) {
    const ChildResult console = runChild(builtProgram("orbitane_console"), {"base", "-c", "tcp", "-v"});
    const ChildResult sim = runChild(builtProgram("orbitane_base_sim"), {"--version"});
    EXPECT_EQ(sim.status, 0) << sim.err;
    EXPECT_FALSE(console.out.empty()) << console.err;
    EXPECT_EQ(sim.out, console.out);
}

TEST(SimProgramTest, BadScenarioFilesAndOptionValuesEndWithStatusTwo) {
    const std::string file = "/tmp/orbitane-simprog-" + std::to_string(::getpid()) + ".json";
    struct Case {
        std::string scenario;  // written to `file` and passed with --scenario when not empty
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {std::string(1000, '['), {}, "not valid JSON"},
        {"{} {\"close_after\": 1}", {}, "not valid JSON"},
        {"", {"--baud", "0"}, "--baud expects"},
        {"", {"--latency", "soon"}, "--latency expects"},
        {"", {"--bit-errors", "2"}, "--bit-errors expects"},
        {"", {"--seed", "-5"}, "--seed expects"},
        // Input files are read within a bound, whatever they are.
        {std::string(kMaxScenarioFileBytes + 1, ' '), {}, "refused, larger than 4 MiB"},
        {"", {"--scenario", "/dev/zero"}, "cannot read scenario file /dev/zero: refused, larger than 4 MiB"},
        {"", {"--replay", "/dev/zero"}, "cannot replay /dev/zero: refused, larger than 64 MiB"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (!c.scenario.empty()) {
            std::ofstream(file) << c.scenario;
            args.insert(args.end(), {"--scenario", file});
        }
        ChildResult r = runChild(builtProgram("orbitane_base_sim"), args, milliseconds(10000));
        EXPECT_EQ(r.status, 2) << c.message << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    ::unlink(file.c_str());
}

// The TCP port of a simulator started with "--tcp 127.0.0.1:0", once it
// printed its ready line; 0 when it did not.
uint16_t readyPort(RunningChild& sim) {
    if (!sim.waitForOutput("listening on tcp 127.0.0.1:", milliseconds(5000))) return 0;
    std::smatch port;
    const std::string out = sim.outputSoFar();
    if (!std::regex_search(out, port, std::regex(R"(listening on tcp 127\.0\.0\.1:(\d+)\n)"))) return 0;
    return static_cast<uint16_t>(std::stoi(port[1]));
}

TEST(SimProgramTest, MemoryStaysFlatOverTwoHundredThousandRequests) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's quarantine and shadow memory say nothing about the simulator's own";
#endif
    RunningChild sim(builtProgram("orbitane_base_sim"), {"--tcp", "127.0.0.1:0", "--quiet"});
    const uint16_t port = readyPort(sim);
    ASSERT_NE(port, 0) << sim.outputSoFar();
    tests::sim::SimTestClient host;
    ASSERT_TRUE(host.connectTcp(port));
    // Requests go in batches; the answers are read and dropped as they come.
    constexpr int kBatch = 500;
    const std::vector<uint8_t> batch = repeatedRequest(0x30, kBatch);
    auto runBatches = [&](int batches) {
        std::vector<uint8_t> buffer(65536);
        for (int b = 0; b < batches; ++b) {
            if (!host.sendRaw(batch)) return false;
            size_t got = 0;
            while (got < 6u * kBatch) {
                pollfd p{host.fd(), POLLIN, 0};
                if (::poll(&p, 1, 5000) <= 0) return false;
                ssize_t n = ::read(host.fd(), buffer.data(), buffer.size());
                if (n <= 0) return false;
                got += static_cast<size_t>(n);
            }
        }
        return true;
    };
    // Past the warm-up the kept history is full.
    ASSERT_TRUE(runBatches(40));
    const long before = memoryKiB(sim.pid());
    ASSERT_TRUE(runBatches(360));
    const long after = memoryKiB(sim.pid());
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 2048) << before << " KiB after 20,000 requests, " << after << " KiB after 200,000";
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(milliseconds(5000)).status, 0);
}

// Sends `batch` over and over on every host without reading, as long as
// the simulator takes it, up to `cap` bytes each. True once no host could
// send more for a second: all are held back. `sent` counts each one's bytes.
bool sendUntilHeldBack(std::vector<tests::sim::SimTestClient>& hosts, const std::vector<uint8_t>& batch, size_t cap,
                       std::vector<size_t>& sent) {
    sent.assign(hosts.size(), 0);
    for (;;) {
        std::vector<pollfd> waiting;
        for (size_t i = 0; i < hosts.size(); ++i) {
            while (sent[i] < cap) {
                const ssize_t n = ::send(hosts[i].fd(), batch.data() + sent[i] % batch.size(),
                                         batch.size() - sent[i] % batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n <= 0) break;
                sent[i] += static_cast<size_t>(n);
            }
            if (sent[i] < cap) waiting.push_back({hosts[i].fd(), POLLOUT, 0});
        }
        if (waiting.empty()) return false;
        if (::poll(waiting.data(), waiting.size(), 1000) == 0) return true;
    }
}

TEST(SimProgramTest, HostsThatDoNotReadAreHeldBackAndTheOthersStillServed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's quarantine and shadow memory say nothing about the simulator's own";
#endif
    RunningChild sim(builtProgram("orbitane_base_sim"), {"--tcp", "127.0.0.1:0", "--quiet"});
    const uint16_t port = readyPort(sim);
    ASSERT_NE(port, 0) << sim.outputSoFar();
    // Three hosts ask for the configuration (264 bytes an answer) in
    // batches and read nothing: the simulator stops reading them once their
    // answers pile up, and their writes block.
    std::vector<tests::sim::SimTestClient> hogs(3);
    for (auto& hog : hogs) ASSERT_TRUE(hog.connectTcp(port));
    constexpr size_t kCap = 4 << 20;  // 800,000 requests, far more answers than any buffer holds
    std::vector<size_t> sent;
    EXPECT_TRUE(sendUntilHeldBack(hogs, repeatedRequest(0x20, 1000), kCap, sent));
    for (size_t bytes : sent) EXPECT_LT(bytes, kCap);
    EXPECT_LT(memoryKiB(sim.pid(), "VmHWM"), 24 * 1024);
    // The fourth host is served as if they were not there.
    tests::sim::SimTestClient host;
    ASSERT_TRUE(host.connectTcp(port));
    for (int i = 0; i < 20; ++i) {
        Frame answer;
        ASSERT_TRUE(host.request(0x30, {}, answer, 10000)) << "request " << i;
        EXPECT_EQ(answer.payload.size(), 2u);
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(milliseconds(10000)).status, 0);
}

TEST(SimProgramTest, ConnectionsPastTheDescriptorLimitAreTurnedAwayWithAWarning) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's runtime needs descriptors of its own (its reports, its
    // type checks): with none left it reports faults the simulator does not
    // have (valgrind finds none in this path).
    GTEST_SKIP() << "an exhausted descriptor table starves the sanitizer's runtime";
#endif
    RunningChild sim("/bin/sh", {"-c", "ulimit -n 16 && exec " + builtProgram("orbitane_base_sim") +
                                           " --tcp 127.0.0.1:0 --quiet --max-clients 100"});
    const uint16_t port = readyPort(sim);
    ASSERT_NE(port, 0) << sim.outputSoFar();
    // Served until the descriptors run out; the next host is closed at once
    // instead of being left waiting.
    std::vector<std::unique_ptr<tests::sim::SimTestClient>> served;
    bool turnedAway = false;
    while (!turnedAway && served.size() < 40) {
        std::unique_ptr<tests::sim::SimTestClient> host(new tests::sim::SimTestClient);
        ASSERT_TRUE(host->connectTcp(port));
        Frame answer;
        if (host->request(0x30, {}, answer, 10000)) {
            served.push_back(std::move(host));
        } else {
            turnedAway = host->waitClosed(10000);
        }
    }
    ASSERT_TRUE(turnedAway) << served.size() << " hosts served";
    // Those served go on being served, and a host that leaves frees a place.
    ASSERT_FALSE(served.empty());
    Frame answer;
    EXPECT_TRUE(served.front()->request(0x30, {}, answer, 10000));
    served.pop_back();
    bool again = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!again && std::chrono::steady_clock::now() < deadline) {
        tests::sim::SimTestClient host;
        again = host.connectTcp(port) && host.request(0x30, {}, answer, 10000);
    }
    EXPECT_TRUE(again);
    sim.signal(SIGTERM);
    const ChildResult r = sim.wait(milliseconds(10000));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("refused: no file descriptor left (Too many open files)"), std::string::npos) << r.err;
}

TEST(SimProgramTest, OutputNobodyReadsHoldsUpNeitherServingNorStopping) {
    // The simulator's standard output is a FIFO that the test reads up to
    // the ready line and then leaves alone.
    const std::string fifo = "/tmp/orbitane-simprog-" + std::to_string(::getpid()) + ".fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    RunningChild sim("/bin/sh", {"-c", "exec " + builtProgram("orbitane_base_sim") + " --tcp 127.0.0.1:0 >" + fifo});
    const int out = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(out, 0);
    std::string ready;
    std::smatch port;
    char c;
    while (!std::regex_search(ready, port, std::regex(R"(listening on tcp 127\.0\.0\.1:(\d+)\n)"))) {
        pollfd p{out, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1) << ready;
        ASSERT_EQ(::read(out, &c, 1), 1) << ready;
        ready += c;
    }
    // Each request is logged in a line of its own: far more than the pipe holds.
    tests::sim::SimTestClient host;
    ASSERT_TRUE(host.connectTcp(static_cast<uint16_t>(std::stoi(port[1]))));
    for (int i = 0; i < 3000; ++i) {
        Frame answer;
        ASSERT_TRUE(host.request(0x30, {}, answer, 5000)) << "request " << i;
    }
    sim.signal(SIGHUP);
    ChildResult r = sim.wait(milliseconds(5000));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\[WARN\] \d+ log lines dropped in all)"))) << r.err;
    ::close(out);
    ::unlink(fifo.c_str());
}

TEST(SimProgramTest, StateLineCountsTheBitErrors) {
    RunningChild sim(builtProgram("orbitane_base_sim"), {"--tcp", "127.0.0.1:0", "--quiet", "--bit-errors", "0.02",
                                                          "--seed", "5", "--state-every", "0.05"});
    const uint16_t port = readyPort(sim);
    ASSERT_NE(port, 0) << sim.outputSoFar();
    tests::sim::SimTestClient host;
    ASSERT_TRUE(host.connectTcp(port) && host.sendRaw(repeatedRequest(0x30, 50)));
    const std::regex counted(R"(line errors: [1-9]\d* bits in [1-9]\d* answers sent, [1-9]\d* bits in [1-9]\d* frames received)");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::regex_search(sim.outputSoFar(), counted) && std::chrono::steady_clock::now() < deadline) {
        sim.waitForOutput("\n\n", milliseconds(100));  // never printed: just waits for more output
    }
    EXPECT_TRUE(std::regex_search(sim.outputSoFar(), counted)) << sim.outputSoFar();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(milliseconds(5000)).status, 0);
}

TEST(SimProgramTest, VrunPoseEqualsTheWheelTravelAtFullPollingSpeed) {
    SimServer sim;
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    ChildResult r = runChild(builtProgram("orbitane_console"),
                             {"base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port()), "vrun",
                              "0.125", "0", "0", "0.3"},
                             milliseconds(20000));
    ASSERT_EQ(r.status, 0) << r.err;
    // The console adds up the answers: "... pose:(x0, y0, t0)->(x, y, t)".
    const std::regex step(R"(->\(\s*(-?\d+\.\d+),\s*(-?\d+\.\d+),)");
    double x = 0, y = 1;
    size_t steps = 0;
    for (const std::string& line : ChildResult::lines(r.out)) {
        std::smatch m;
        if (!std::regex_search(line, m, step)) continue;
        ++steps;
        x = std::stod(m[1]);
        y = std::stod(m[2]);
    }
    // Polled as fast as the answers come: far more answers than units moved
    // per answer.
    ASSERT_GT(steps, 100u) << r.out;
    DeviceState st = sim.device().state();
    const double travel = (st.leftTravelMm + st.rightTravelMm) / 2000.0;
    EXPECT_GT(travel, 0.03);
    // The sum of the answers is the travel to within one unit (the console
    // prints five decimals, so half of its last digit more).
    EXPECT_NEAR(x, travel, 1.0 / 65536 + 0.5e-5);
    EXPECT_NEAR(x * 1000.0, (st.leftOdometer + st.rightOdometer) / 2.0, 0.5 + 1000.0 / 65536);
    EXPECT_EQ(y, 0.0);
}

TEST(SimProgramTest, TwoConsolesAreServedAtOnce) {
    SimServer sim;
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    const std::vector<std::string> base{"base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port())};
    // The first console polls without end; its output goes nowhere, so
    // that it never waits on a full pipe.
    std::string monitor = "exec " + builtProgram("orbitane_console");
    for (const std::string& word : base) monitor += " " + word;
    RunningChild first("/bin/sh", {"-c", monitor + " monitor status >/dev/null 2>&1"});
    ASSERT_TRUE(sim.waitFor([&] { return sim.device().requestCount(0x30) > 5; }, milliseconds(10000)));
    std::vector<std::string> sensor = base;
    sensor.push_back("sensor");
    ChildResult second = runChild(builtProgram("orbitane_console"), sensor, milliseconds(20000));
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(sim.device().requestCount(0x32), 1u);
    // The first console went on polling all the while.
    const size_t polled = sim.device().requestCount(0x30);
    ASSERT_TRUE(sim.waitFor([&] { return sim.device().requestCount(0x30) > polled; }, milliseconds(5000)));
    EXPECT_EQ(sim.connectionsAccepted(), 2);
    first.signal(SIGINT);
    EXPECT_EQ(first.wait(milliseconds(10000)).status, 130);
}

TEST(SimProgramTest, ScriptedBumperPressIsSeenByTheConsoleAtItsTime) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"bumper_bits": 15,
        "timeline": [{"reading": "bumper_bits", "value": 14, "from_s": 2, "to_s": 3}]})",
                                  s, error))
        << error;
    auto clock = std::make_shared<ManualClock>();
    SimServer sim(s, clock);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    const std::vector<std::string> args{"base", "-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(sim.port()),
                                        "bumper"};
    // The first bumper (#3) shows "X" while its bit is clear.
    const std::string pressed = "[X] #3 ";
    const std::string released = "[ ] #3 ";
    struct Step {
        int64_t atMs;
        bool pressed;
    };
    int64_t now = 0;
    for (const Step& step : {Step{1000, false}, Step{2000, true}, Step{2900, true}, Step{3000, false}}) {
        clock->advanceMs(step.atMs - now);
        now = step.atMs;
        ChildResult r = runChild(builtProgram("orbitane_console"), args, milliseconds(20000));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(step.pressed ? pressed : released), std::string::npos) << "at " << step.atMs << " ms\n"
                                                                                     << r.out;
    }
}

}  // namespace
