#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "log/LogLevel.h"
#include "sim/SimServer.h"
#include "tests/sim/SimTestClient.h"

using namespace zorn::orbitane::sim;
using tests::sim::le32Bytes;
using tests::sim::SimTestClient;
using std::chrono::milliseconds;

namespace {

// The lines a server logs from its threads, from level `least` up. Declare
// it before the server, which logs into it until it ends.
struct SimLog {
    std::function<void(int, const std::string&)> sink(int least = 0) {
        return [this, least](int level, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            if (level >= least) lines.push_back(line);
        };
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

TEST(SimServerTest, ServesRequestsOverLoopbackTcp) {
    SimServer sim;
    std::string error;
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0, &error)) << error;
    ASSERT_NE(sim.port(), 0);
    EXPECT_EQ(sim.host(), "127.0.0.1");
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    Frame answer;
    const int64_t sentNs = SteadyClock().nowNs();
    ASSERT_TRUE(host.request(0x10, {0x01}, answer));
    const int64_t answeredNs = SteadyClock().nowNs();
    EXPECT_EQ(answer.cmd, ANS_OK);
    EXPECT_EQ(answer.payload.size(), 28u);
    // Receipt is stamped on the steady clock, between sending and answer.
    ASSERT_EQ(sim.device().requests().size(), 1u);
    EXPECT_GE(sim.device().requests()[0].atNs, sentNs);
    EXPECT_LE(sim.device().requests()[0].atNs, answeredNs);
    ASSERT_TRUE(host.request(0x30, {}, answer));
    EXPECT_EQ(answer.payload, (std::vector<uint8_t>{80, 3}));
    EXPECT_TRUE(sim.waitFor([&] { return sim.device().requestCount(0x30) == 1; }, milliseconds(2000)));
    EXPECT_TRUE(sim.connectionOpen());
    EXPECT_EQ(sim.connectionsAccepted(), 1);
}

TEST(SimServerTest, HostsAreServedAtOnceAndShareOneRobot) {
    Scenario s = defaultScenario();
    s.stopOnDisconnect = true;
    SimServer sim(s);
    ASSERT_TRUE(sim.startTcp("localhost", 0));
    SimTestClient idle, first, second;
    // An idle connection holds up nobody.
    ASSERT_TRUE(idle.connectTcp(sim.port()));
    ASSERT_TRUE(first.connectTcp(sim.port()));
    ASSERT_TRUE(second.connectTcp(sim.port()));
    // Each connection has its own framing: half a frame on one does not
    // disturb the other.
    std::vector<uint8_t> status = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, {0x30});
    ASSERT_TRUE(first.sendRaw(std::vector<uint8_t>(status.begin(), status.begin() + 2)));
    Frame answer;
    ASSERT_TRUE(second.request(0x40, le32Bytes({300, 300, 0, 0}), answer, 10000));
    ASSERT_TRUE(first.sendRaw(std::vector<uint8_t>(status.begin() + 2, status.end())));
    ASSERT_TRUE(first.readFrame(answer, 10000));
    EXPECT_EQ(answer.payload, (std::vector<uint8_t>{80, 3}));
    // One robot: the wheels the second host started turn for the first.
    EXPECT_TRUE(sim.device().moving());
    ASSERT_TRUE(first.request(0x31, {}, answer, 10000));
    EXPECT_EQ(answer.payload.size(), 9u);
    EXPECT_EQ(sim.connectionsOpen(), 3);
    second.close();
    EXPECT_TRUE(sim.waitFor([&] { return sim.connectionsOpen() == 2; }, milliseconds(2000)));
    EXPECT_FALSE(sim.device().moving());
    EXPECT_EQ(sim.connectionsAccepted(), 3);
}

TEST(SimServerTest, ConnectionPastTheClientLimitIsClosedAtOnce) {
    SimLog log;
    SimServer sim;
    sim.setLogSink(log.sink());
    sim.setMaxClients(2);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient a, b, c;
    ASSERT_TRUE(a.connectTcp(sim.port()));
    ASSERT_TRUE(b.connectTcp(sim.port()));
    ASSERT_TRUE(sim.waitFor([&] { return sim.connectionsOpen() == 2; }, milliseconds(2000)));
    ASSERT_TRUE(c.connectTcp(sim.port()));
    EXPECT_TRUE(c.waitClosed(10000));  // nothing else closes it: there is no idle time-out
    EXPECT_EQ(sim.connectionsRefused(), 1);
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        ASSERT_FALSE(log.lines.empty());
        EXPECT_NE(log.lines.back().find("refused: already serving 2 clients (--max-clients 2)"), std::string::npos)
            << log.lines.back();
    }
    // Once one leaves, a newcomer is served again.
    a.close();
    ASSERT_TRUE(sim.waitFor([&] { return sim.connectionsOpen() == 1; }, milliseconds(2000)));
    SimTestClient d;
    ASSERT_TRUE(d.connectTcp(sim.port()));
    Frame answer;
    EXPECT_TRUE(d.request(0x30, {}, answer, 10000));
}

TEST(SimServerTest, ClientThatSendsNothingIsClosedAfterTheIdleTimeout) {
    SimLog log;
    SimServer sim;
    sim.setLogSink(log.sink());
    sim.setIdleTimeout(300 * 1000 * 1000);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    Frame answer;
    // The time-out runs from the last byte the host sent.
    const auto lastSent = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.request(0x30, {}, answer, 10000));
    EXPECT_TRUE(host.waitClosed(5000));
    EXPECT_GE(std::chrono::steady_clock::now() - lastSent, milliseconds(300));
    EXPECT_TRUE(sim.waitFor([&] { return sim.connectionsOpen() == 0; }, milliseconds(2000)));
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                            [](const std::string& line) {
                                return line.find(": nothing received for 0.3 s, connection closed (--idle-timeout)") !=
                                       std::string::npos;
                            }),
              1);
}

TEST(SimServerTest, CloseAfterEndsTheConnectionAndTheNextOneStartsAfresh) {
    Scenario s = defaultScenario();
    s.closeAfter = 1;
    SimServer sim(s);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    for (int run = 0; run < 2; ++run) {
        SimTestClient host;
        ASSERT_TRUE(host.connectTcp(sim.port()));
        Frame answer;
        ASSERT_TRUE(host.request(0x10, {0x01}, answer)) << "run " << run;
        EXPECT_TRUE(host.waitClosed(2000));
    }
    EXPECT_TRUE(sim.waitFor([&] { return !sim.connectionOpen(); }, milliseconds(2000)));

    sim.device().setCloseAfter(0);
    SimTestClient refused;
    ASSERT_TRUE(refused.connectTcp(sim.port()));
    EXPECT_TRUE(refused.waitClosed(2000));
}

TEST(SimServerTest, DelayedAnswerArrivesLate) {
    Scenario s = defaultScenario();
    FaultRule delay{0x30, FaultKind::Delay};
    delay.delayMs = 300;
    s.faults.push_back(delay);
    SimServer sim(s);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    auto start = std::chrono::steady_clock::now();
    Frame answer;
    ASSERT_TRUE(host.request(0x30, {}, answer, 3000));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(290));
    EXPECT_LT(took, milliseconds(2000));
}

TEST(SimServerTest, FloodReachesTheHostWholeOnBothLinks) {
    Scenario s = defaultScenario();
    FaultRule flood{0x30, FaultKind::Flood};
    flood.size = 300000;  // far more than a socket or terminal buffer holds
    s.faults.push_back(flood);
    SimServer sim(s);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    ASSERT_TRUE(sim.startPty());
    for (bool serial : {false, true}) {
        SimTestClient host;
        ASSERT_TRUE(serial ? host.openSerial(sim.ptyPath()) : host.connectTcp(sim.port()));
        ASSERT_TRUE(host.sendRaw(FrameCodec::encode(0xF8, std::vector<uint8_t>{0x30})));
        Frame frame;
        size_t noiseFrames = 0;
        while (host.readFrame(frame, 5000) && !frame.good) ++noiseFrames;
        ASSERT_TRUE(frame.good) << (serial ? "serial" : "tcp");
        EXPECT_EQ(frame.payload, (std::vector<uint8_t>{80, 3}));
        EXPECT_GT(noiseFrames, 0u);
        EXPECT_GE(host.rawBytes().size(), 300000u + 6u);
        // Nothing is left over after the answer.
        EXPECT_FALSE(host.readFrame(frame, 100));
    }
}

TEST(SimServerTest, StallLeavesTheLineOpenAndUnreadUntilTheSimulatorStops) {
    Scenario s = defaultScenario();
    FaultRule stall{-1, FaultKind::Stall, 1};  // after the first request
    s.faults.push_back(stall);
    for (bool serial : {false, true}) {
        SimServer sim(s);
        ASSERT_TRUE(serial ? sim.startPty() : sim.startTcp("127.0.0.1", 0));
        SimTestClient host;
        ASSERT_TRUE(serial ? host.openSerial(sim.ptyPath()) : host.connectTcp(sim.port()));
        Frame answer;
        ASSERT_TRUE(host.request(0x30, {}, answer));
        ASSERT_TRUE(host.sendRequest(0x31));
        ASSERT_TRUE(sim.waitFor([&] { return sim.device().requests().size() == 2; }, milliseconds(2000)));
        EXPECT_FALSE(host.readFrame(answer, 100));
        // The host's writes end up blocking: nobody reads the line.
        ::fcntl(host.fd(), F_SETFL, ::fcntl(host.fd(), F_GETFL) | O_NONBLOCK);
        std::vector<uint8_t> chunk(65536, 0x55);
        size_t written = 0;
        bool blocked = false;
        while (!blocked && written < (256u << 20)) {
            ssize_t n = ::write(host.fd(), chunk.data(), chunk.size());
            if (n > 0) written += static_cast<size_t>(n);
            blocked = n < 0 && errno == EAGAIN;
        }
        EXPECT_TRUE(blocked) << (serial ? "serial" : "tcp") << ": " << written << " bytes taken";
        EXPECT_EQ(sim.device().requests().size(), 2u);
        EXPECT_TRUE(serial || sim.connectionOpen());
        if (!serial) {
            // A host that leaves a stalled connection before filling it
            // frees its place.
            SimTestClient brief;
            ASSERT_TRUE(brief.connectTcp(sim.port()));
            ASSERT_TRUE(brief.request(0x30, {}, answer));
            ASSERT_TRUE(brief.sendRequest(0x31));
            ASSERT_TRUE(sim.waitFor([&] { return sim.device().requests().size() == 4; }, milliseconds(2000)));
            EXPECT_EQ(sim.connectionsOpen(), 2);
            brief.close();
            EXPECT_TRUE(sim.waitFor([&] { return sim.connectionsOpen() == 1; }, milliseconds(2000)));
        }
        auto start = std::chrono::steady_clock::now();
        sim.stop();  // with no wake-up the loop would poll without a time-out
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
}

TEST(SimServerTest, RefusesAddressesOtherThanLoopback) {
    SimServer sim;
    std::string error;
    EXPECT_FALSE(sim.startTcp("0.0.0.0", 0, &error));
    EXPECT_NE(error.find("only loopback"), std::string::npos);
    EXPECT_FALSE(sim.startTcp("10.1.2.3", 0, &error));
    EXPECT_FALSE(sim.startTcp("example", 0, &error));
    EXPECT_TRUE(sim.startTcp("127.0.0.2", 0, &error)) << error;
    EXPECT_FALSE(sim.startTcp("127.0.0.1", 0, &error));
    EXPECT_NE(error.find("already serving"), std::string::npos);
}

TEST(SimServerTest, ParallelSimulatorsGetTheirOwnPorts) {
    SimServer a, b;
    ASSERT_TRUE(a.startTcp("127.0.0.1", 0));
    ASSERT_TRUE(b.startTcp("127.0.0.1", 0));
    EXPECT_NE(a.port(), b.port());
    SimServer c;
    std::string error;
    EXPECT_FALSE(c.startTcp("127.0.0.1", a.port(), &error));
    EXPECT_NE(error.find("cannot listen"), std::string::npos);
}

TEST(SimServerTest, StopIsPromptAndIdempotent) {
    auto sim = std::make_unique<SimServer>();
    ASSERT_TRUE(sim->startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim->port()));
    Frame answer;
    ASSERT_TRUE(host.request(0x30, {}, answer));
    auto start = std::chrono::steady_clock::now();
    sim->stop();
    sim->stop();  // with no wake-up the loop would poll without a time-out
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(host.waitClosed(10000));
    EXPECT_FALSE(sim->startTcp("127.0.0.1", 0));
    sim.reset();
}

TEST(SimServerTest, PseudoTerminalCarriesFramesLikeASerialPort) {
    std::string link = "/tmp/orbitane-simtest-" + std::to_string(::getpid());
    {
        SimServer sim;
        std::string error;
        ASSERT_TRUE(sim.startPty(link, &error)) << error;
        std::string path = sim.ptyPath();
        ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
        char target[128] = {0};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(path, target);

        SimTestClient host;
        ASSERT_TRUE(host.openSerial(link));
        Frame answer;
        ASSERT_TRUE(host.request(0x40, le32Bytes({100, 100, 0, 0}), answer));
        ASSERT_TRUE(host.request(0x31, {}, answer));
        EXPECT_EQ(answer.payload.size(), 9u);
        // Bytes cross the line unchanged (no echo, no CR/LF translation).
        ASSERT_TRUE(host.request(0x60, {0x0A}, answer));
        ASSERT_TRUE(host.request(0x60, {0x0D}, answer));
        EXPECT_EQ(sim.device().events(), (std::vector<uint8_t>{0x0A, 0x0D}));
        host.close();
        // The line stays up for the next host program.
        SimTestClient next;
        ASSERT_TRUE(next.openSerial(path));
        ASSERT_TRUE(next.request(0x30, {}, answer));
        EXPECT_EQ(answer.payload.size(), 2u);
    }
    struct stat st;
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(SimServerTest, PseudoTerminalIsRemadeWhenTheBaseClosesTheLine) {
    Scenario s = defaultScenario();
    s.closeAfter = 1;
    SimServer sim(s);
    ASSERT_TRUE(sim.startPty());
    std::string first = sim.ptyPath();
    SimTestClient host;
    ASSERT_TRUE(host.openSerial(first));
    Frame answer;
    ASSERT_TRUE(host.request(0x10, {0x01}, answer));
    EXPECT_TRUE(host.waitClosed(2000));
    ASSERT_TRUE(sim.waitFor([&] { return !sim.ptyPath().empty() && sim.ptyPath() != first; }, milliseconds(2000)));
    SimTestClient again;
    ASSERT_TRUE(again.openSerial(sim.ptyPath()));
    ASSERT_TRUE(again.request(0x30, {}, answer));
}

TEST(SimServerTest, LinkDoesNotReplaceAnOrdinaryFile) {
    std::string path = "/tmp/orbitane-simtest-file-" + std::to_string(::getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    SimServer sim;
    std::string error;
    EXPECT_FALSE(sim.startPty(path, &error));
    EXPECT_NE(error.find("not a symlink"), std::string::npos);
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ::unlink(path.c_str());
}

TEST(SimServerTest, TcpAndSerialAtOnceShareOneRobot) {
    SimServer sim;
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    ASSERT_TRUE(sim.startPty());
    SimTestClient tcp, serial;
    ASSERT_TRUE(tcp.connectTcp(sim.port()));
    ASSERT_TRUE(serial.openSerial(sim.ptyPath()));
    Frame answer;
    ASSERT_TRUE(tcp.request(0x60, {1}, answer));
    ASSERT_TRUE(serial.request(0x60, {2}, answer));
    EXPECT_EQ(sim.device().events(), (std::vector<uint8_t>{1, 2}));
}

// Reads `count` bytes from the host's end; sets `lastNs` to when the last
// of them came (steady clock). False when they did not all come in 10 s.
bool readAll(SimTestClient& host, size_t count, int64_t& lastNs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t got = 0;
    uint8_t buffer[4096];
    while (got < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p{host.fd(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        ssize_t n = ::read(host.fd(), buffer, sizeof buffer);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
        lastNs = SteadyClock().nowNs();
    }
    return true;
}

WireSettings wire(int64_t baud, int latencyMs = 0) {
    WireSettings w;
    w.baud = baud;
    w.latencyMs = latencyMs;
    return w;
}

TEST(SimServerTest, PacedLineMovesATenthOfItsBaudRateInBytesBothWaysOnBothLinks) {
    SimServer sim;
    sim.setWire(wire(9600));  // 1.04 ms a byte: a slow line lets the bounds below leave seconds to spare
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    ASSERT_TRUE(sim.startPty());
    const double byteMs = 10.0 * 1000 / 9600;
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial" : "tcp");
        SimTestClient host;
        ASSERT_TRUE(serial ? host.openSerial(sim.ptyPath()) : host.connectTcp(sim.port()));
        // 100 requests of 5 bytes in one write: 600 answer bytes come back.
        const size_t before = sim.device().requests().size();
        const int64_t sentNs = SteadyClock().nowNs();
        ASSERT_TRUE(host.sendRaw(tests::sim::repeatedRequest(0x30, 100)));
        int64_t lastNs = 0;
        ASSERT_TRUE(readAll(host, 600, lastNs));
        const auto requests = sim.device().requests();
        ASSERT_EQ(requests.size(), before + 100);
        // The last request is taken in no sooner than 500 bytes can cross...
        const double inMs = (requests.back().atNs - sentNs) / 1e6;
        EXPECT_GE(inMs, 500 * byteMs);
        EXPECT_LT(inMs, 4 * 500 * byteMs + 50);
        // ...and the answers, from the first request's on, no sooner than
        // 600 more.
        const double outMs = (lastNs - sentNs) / 1e6;
        EXPECT_GE(outMs, 605 * byteMs);
        EXPECT_LT(outMs, 4 * 605 * byteMs + 50);
    }
}

TEST(SimServerTest, AdapterLatencyHoldsShortAnswers) {
    SimServer sim;
    sim.setWire(wire(0, 60));
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    const auto start = std::chrono::steady_clock::now();
    Frame answer;
    ASSERT_TRUE(host.request(0x30, {}, answer, 3000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(60));
    EXPECT_EQ(answer.payload, (std::vector<uint8_t>{80, 3}));
}

TEST(SimServerTest, RequestSentJustBeforeTheHostLeavesStillReachesTheBase) {
    SimServer sim;
    sim.setWire(wire(9600));  // the 21-byte request takes 22 ms to come in
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    ASSERT_TRUE(host.sendRequest(0x40, le32Bytes({100, 100, 0, 0})));
    host.close();
    EXPECT_TRUE(sim.waitFor([&] { return sim.device().moving() && sim.connectionsOpen() == 0; }, milliseconds(5000)));
}

TEST(SimServerTest, HostThatLeavesStillHasTheRequestsWaitingBehindADelayCarriedOut) {
    Scenario s = defaultScenario();
    FaultRule delay{0x31, FaultKind::Delay};
    delay.delayMs = 60000;  // the host leaves long before
    s.faults.push_back(delay);
    SimServer sim(s);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    // A reading, then the wheels' command behind it.
    ASSERT_TRUE(host.sendRequest(0x31) && host.sendRequest(0x40, le32Bytes({100, 100, 0, 0})));
    ASSERT_TRUE(sim.waitFor([&] { return sim.device().requests().size() == 1; }, milliseconds(10000)));
    EXPECT_FALSE(sim.device().moving());  // busy with the delayed answer
    host.close();
    EXPECT_TRUE(sim.waitFor([&] { return sim.device().moving() && sim.connectionsOpen() == 0; }, milliseconds(10000)));
}

TEST(SimServerTest, HostThatFloodsRequestsTakesTurnsWithTheOthers) {
    SimServer sim;
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    // The flooding host connects first: the loop visits it first.
    SimTestClient flooder, other;
    ASSERT_TRUE(flooder.connectTcp(sim.port()));
    ASSERT_TRUE(other.connectTcp(sim.port()));
    constexpr size_t kFlood = 200000;
    bool sent = false, drained = false;
    std::thread send([&] { sent = flooder.sendRaw(tests::sim::repeatedRequest(0x30, kFlood)); });
    std::thread drain([&] {
        int64_t lastNs = 0;
        drained = readAll(flooder, 6 * kFlood, lastNs);
    });
    // Once the flood is being worked through, one request of another host.
    const bool flooding = sim.waitFor([&] { return sim.device().requestCount(0x30) >= 1000; }, milliseconds(10000));
    const size_t floodBefore = sim.device().requestCount(0x30);
    Frame answer;
    const bool answered = flooding && other.request(0x33, {}, answer, 10000);
    send.join();
    drain.join();
    ASSERT_TRUE(flooding && answered && sent && drained);
    // Taking turns, the other host's request waited for a few turns' share
    // of the flood, not for what one host had sent (up to a whole read of
    // 50,000 requests and more).
    const auto requests = sim.device().requests();
    const auto bumper =
        std::find_if(requests.begin(), requests.end(), [](const ReceivedRequest& r) { return r.code == 0x33; });
    ASSERT_NE(bumper, requests.end());
    const size_t floodAhead = static_cast<size_t>(bumper - requests.begin());
    EXPECT_LT(floodAhead - floodBefore, 20000u) << floodAhead << " flood requests before it, " << floodBefore
                                                 << " when it was sent";
}

TEST(SimServerTest, RepeatedWarningsAreKeptToAFewASecondAndTheRestCounted) {
    SimLog log;
    SimServer sim;
    sim.setLogSink(log.sink(nivo::system::util::LOG_WARN));
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    SimTestClient host;
    ASSERT_TRUE(host.connectTcp(sim.port()));
    std::vector<uint8_t> bad = FrameCodec::encode(zorn::drv::CMD_CONTROL_BUS, {0x30});
    bad.back() ^= 0xFF;
    std::vector<uint8_t> burst;
    for (int i = 0; i < 200; ++i) burst.insert(burst.end(), bad.begin(), bad.end());
    ASSERT_TRUE(host.sendRaw(burst));
    const std::regex report(R"((\d+) more "bad frame" warnings not logged)");
    size_t logged = 0;
    unsigned long leftOut = 0;
    EXPECT_TRUE(sim.waitFor(
        [&] {
            std::lock_guard<std::mutex> lock(log.mutex);
            logged = 0;
            leftOut = 0;
            for (const std::string& line : log.lines) {
                std::smatch m;
                if (line.find("bad frame ignored") != std::string::npos) ++logged;
                if (std::regex_search(line, m, report)) leftOut += std::stoul(m[1]);
            }
            return logged + leftOut == 200;
        },
        milliseconds(10000)))
        << logged << " logged, " << leftOut << " left out";
    EXPECT_LE(logged, 10u);
}

}  // namespace
