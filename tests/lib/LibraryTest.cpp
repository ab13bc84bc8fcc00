// The public C++ API, from the outside: URIs and the console's options,
// opening a link (and why it fails), and the motion scope's rules, against
// the simulator in this process. The readings and the failure kinds are
// tested through the Python package (tests/python), which reads them
// through this API.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "drv/ControlBus.h"
#include "orbitane/orbitane.h"
#include "sim/Scenario.h"
#include "sim/SimServer.h"

namespace {

using orbitane::Endpoint;
using std::chrono::milliseconds;
using zorn::orbitane::sim::SimServer;

// The error `f` throws; fails the test when it throws none.
template <class F>
orbitane::Error errorOf(F f) {
    try {
        f();
    } catch (const orbitane::Error& e) {
        return e;
    }
    ADD_FAILURE() << "no orbitane::Error";
    return orbitane::Error("", 0, "");
}

// ---------------------------------------------------------------------------
// URIs and options

TEST(EndpointTest, ReadsEveryFormOfUri) {
    const struct {
        const char* uri;
        const char* described;
    } cases[] = {
        {"tcp://127.0.0.1:11331", "tcp:127.0.0.1:11331"},
        {"tcp://127.0.0.1", "tcp:127.0.0.1:11331"},
        {"tcp://127.0.0.1:4000/", "tcp:127.0.0.1:4000"},
        {"TCP://base-7.local:1", "tcp:base-7.local:1"},
        {"tcp://[::1]:11332", "tcp:[::1]:11332"},
        {"tcp://[fe80::1%eth0]", "tcp:[fe80::1%eth0]:11331"},
        {"tcp:127.0.0.1:65535", "tcp:127.0.0.1:65535"},
        {"tcp:[::1]:11331", "tcp:[::1]:11331"},
        {"tcp:robot", "tcp:robot:11331"},
        {"serial:///dev/ttyUSB0", "serial:/dev/ttyUSB0"},
        {"serial:/dev/serial/by-id/usb-X-if00", "serial:/dev/serial/by-id/usb-X-if00"},
        {"serial:ttyS0", "serial:ttyS0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Endpoint::parse(c.uri).describe(), c.described) << c.uri;
        // What describe() gives reads back as the same endpoint.
        EXPECT_EQ(Endpoint::parse(c.described).describe(), c.described) << c.uri;
    }
}

TEST(EndpointTest, RefusesBadUrisSayingWhy) {
    const struct {
        std::string uri;
        const char* why;
    } cases[] = {
        {"", "it is empty"},
        {"127.0.0.1:11331", "\"127.0.0.1\" is neither tcp nor serial"},
        {"/dev/ttyUSB0", "it names no channel"},
        {"udp://127.0.0.1:1", "\"udp\" is neither tcp nor serial"},
        {"tcp://", "the host is missing"},
        {"tcp://:11331", "the host is missing"},
        {"tcp://127.0.0.1:", "the port is empty"},
        {"tcp://127.0.0.1:0", "not a number from 1 to 65535"},
        {"tcp://127.0.0.1:65536", "not a number from 1 to 65535"},
        {"tcp://127.0.0.1:+80", "not a number from 1 to 65535"},
        {"tcp://127.0.0.1:0x50", "not a number from 1 to 65535"},
        {"tcp://::1:11331", "an IPv6 address goes in brackets"},
        {"tcp://[::1", "no closing bracket"},
        {"tcp://[::1]x", "a port follows the address"},
        {"tcp://[robot]:1", "is not an IPv6 address"},
        {"tcp://user@robot:1", "a host and a port only"},
        {"tcp://robot:1/status", "a host and a port only"},
        {"tcp://ro bot:1", "a blank or a control character"},
        {std::string("tcp://robot\0:1", 14), "\"tcp://robot\\x00:1\": it holds a blank or a control character"},
        {"tcp://rob$ot:1", "is not a host name or address"},
        {"serial://dev/ttyUSB0", "three slashes"},
        {"serial:", "the device path is missing"},
        {"serial:///" + std::string(300, 'x'), "longer than 259 characters"},
    };
    for (const auto& c : cases) {
        const orbitane::Error e = errorOf([&] { Endpoint::parse(c.uri); });
        EXPECT_EQ(e.kind(), orbitane::kind::USAGE) << c.uri;
        EXPECT_EQ(e.result(), 2) << c.uri;
        EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << c.uri << ": " << e.what();
    }
}

TEST(EndpointTest, TakesTheConsolesChannelOptions) {
    using Opt = std::optional<std::string>;
    const struct {
        const char* channel;
        Opt host, port;
        const char* described;  // or the error's words
        bool refused;
    } cases[] = {
        {"tcp", std::nullopt, std::nullopt, "tcp:192.168.11.1:11331", false},
        {"tcp", Opt("127.0.0.1"), Opt("4000"), "tcp:127.0.0.1:4000", false},
        {"tcp", Opt("::1"), std::nullopt, "tcp:[::1]:11331", false},
        {"tcp", Opt("127.0.0.1"), Opt(""), "tcp:127.0.0.1:0", false},
        {"serial", std::nullopt, Opt("/dev/ttyUSB0"), "serial:/dev/ttyUSB0", false},
        {"serial", Opt("ignored"), Opt("/tmp/orbitane-base"), "serial:/tmp/orbitane-base", false},
        {"serial", std::nullopt, std::nullopt, "Configured to use serial channel, but port not specified", true},
        {"usb", std::nullopt, std::nullopt, "Unsupported channel: usb", true},
        {"tcp", std::nullopt, Opt("65536"), "Invalid port 65536 for tcp channel", true},
        {"tcp", std::nullopt, Opt("-1"), "Invalid port -1 for tcp channel", true},
        {"tcp", std::nullopt, Opt("80x"), "Invalid port 80x for tcp channel", true},
    };
    for (const auto& c : cases) {
        if (!c.refused) {
            EXPECT_EQ(Endpoint::fromOptions(c.channel, c.host, c.port).describe(), c.described);
            continue;
        }
        const orbitane::Error e = errorOf([&] { Endpoint::fromOptions(c.channel, c.host, c.port); });
        EXPECT_EQ(e.kind(), orbitane::kind::USAGE);
        EXPECT_EQ(std::string(e.what()), c.described);
    }
}

// ---------------------------------------------------------------------------
// Opening

orbitane::OpenOptions quick() {
    orbitane::OpenOptions options;
    options.syncPauseFirst = options.syncPauseSecond = milliseconds(0);
    return options;
}

TEST(OpenTest, SaysWhyALinkCannotBeOpened) {
    // A port nobody listens on: bound, then given up.
    uint16_t freePort = 0;
    {
        SimServer probe;
        ASSERT_TRUE(probe.startTcp("127.0.0.1", 0));
        freePort = probe.port();
    }
    const struct {
        std::string uri;
        const char* kind;
        int32_t result;
        const char* words;
    } cases[] = {
        {"tcp://127.0.0.1:" + std::to_string(freePort), orbitane::kind::CONNECT_FAILED, 4,
         "connection refused; nothing listens on that port (is the base, or the simulator, running?)"},
        {"tcp://base-7.invalid:11331", orbitane::kind::HOST_NOT_FOUND, 4, "host name not found: base-7.invalid"},
        {"serial:///dev/orbitane-no-such-device", orbitane::kind::CONNECT_FAILED, 4,
         "no such device; check the device path"},
        {"serial:///dev/null", orbitane::kind::CONNECT_FAILED, 4, "failed to connect to serial:/dev/null"},
    };
    for (const auto& c : cases) {
        const orbitane::Error e = errorOf([&] { orbitane::Base::open(c.uri, quick()); });
        EXPECT_EQ(e.kind(), c.kind) << c.uri;
        EXPECT_EQ(e.result(), c.result) << c.uri;
        EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << c.uri << ": " << e.what();
    }
    orbitane::OpenOptions longPause;
    longPause.syncPauseFirst = milliseconds(-1);
    EXPECT_EQ(errorOf([&] { orbitane::Base::open("tcp://127.0.0.1:1", longPause); }).kind(), orbitane::kind::USAGE);
}

TEST(OpenTest, ABaseThatDoesNotAnswerTheConnectRequestIsNoLink) {
    zorn::orbitane::sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(zorn::orbitane::sim::parseScenarioText(R"({"faults": [{"request": "connect", "kind": "error",
        "error_code": 9}]})", scenario, error)) << error;
    SimServer sim(scenario);
    ASSERT_TRUE(sim.startTcp("127.0.0.1", 0));
    const orbitane::Error e =
        errorOf([&] { orbitane::Base::open("tcp://127.0.0.1:" + std::to_string(sim.port()), quick()); });
    EXPECT_EQ(e.kind(), orbitane::kind::CONNECT_FAILED);
    EXPECT_NE(std::string(e.what()).find("failed to communicate with device at tcp:127.0.0.1:"), std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("(error code 9)"), std::string::npos) << e.what();
}

// ---------------------------------------------------------------------------
// The motion scope

class MotionTest : public ::testing::Test {
protected:
    void start(const char* scenarioText = "{}") {
        std::string error;
        ASSERT_TRUE(zorn::orbitane::sim::parseScenarioText(scenarioText, scenario_, error)) << error;
        sim_.emplace(scenario_);
        ASSERT_TRUE(sim_->startTcp("127.0.0.1", 0));
        base_.emplace(orbitane::Base::open("tcp://127.0.0.1:" + std::to_string(sim_->port()), quick()));
    }
    // The last velocity the base was told is zero: the stop reached it.
    bool lastVelocityIsZero() {
        const auto commands = sim_->device().velocityCommands();
        return !commands.empty() && commands.back().vx_q16 == 0 && commands.back().vy_q16 == 0 &&
               commands.back().omega_q16 == 0;
    }
    bool lastWheelsAreZero() {
        const auto commands = sim_->device().motorCommands();
        return !commands.empty() && commands.back().left_speed == 0 && commands.back().right_speed == 0;
    }

    zorn::orbitane::sim::Scenario scenario_;
    std::optional<SimServer> sim_;
    std::optional<orbitane::Base> base_;
};

TEST_F(MotionTest, EveryWayOutOfAScopeThatMovedStopsTheBase) {
    start();
    orbitane::Base& base = *base_;
    // The scope's own stop.
    {
        orbitane::Motion motion = base.motion();
        motion.velocity(0.2, 0.0, 0.1);
        const orbitane::StopOutcome stop = motion.stop();
        EXPECT_TRUE(stop.sent && stop.confirmed);
        EXPECT_EQ(stop.attempts, 1);
        EXPECT_TRUE(motion.ended());
        EXPECT_EQ(motion.stop().attempts, 1);  // once only
        EXPECT_TRUE(lastVelocityIsZero());
    }
    // An exception leaving the block: the destructor's stop, in the way it drove.
    try {
        orbitane::Motion motion = base.motion();
        motion.wheels(0.1, 0.1);
        throw std::runtime_error("the script's own fault");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(lastWheelsAreZero());
    ASSERT_TRUE(base.lastStop().has_value());
    EXPECT_TRUE(base.lastStop()->confirmed);
    // An interrupted call: the stop goes out before the call throws.
    {
        orbitane::Motion motion = base.motion();
        motion.velocity(0.3);
        base.interrupt();
        const orbitane::Error e = errorOf([&] { motion.velocity(0.3); });
        EXPECT_EQ(e.kind(), orbitane::kind::INTERRUPTED);
        EXPECT_TRUE(motion.ended());
        ASSERT_TRUE(motion.outcome().has_value());
        EXPECT_TRUE(motion.outcome()->confirmed);
        EXPECT_TRUE(lastVelocityIsZero());
        EXPECT_EQ(errorOf([&] { base.status(); }).kind(), orbitane::kind::INTERRUPTED);
        base.resetInterrupt();
        EXPECT_EQ(errorOf([&] { motion.velocity(0.3); }).kind(), orbitane::kind::USAGE);  // ended
    }
    // Closing the link with a scope still moving.
    orbitane::Motion motion = base.motion();
    motion.velocity(0.1);
    const size_t before = sim_->device().velocityCommands().size();
    base.close();
    EXPECT_EQ(sim_->device().velocityCommands().size(), before + 1);
    EXPECT_TRUE(lastVelocityIsZero());
    EXPECT_TRUE(motion.ended());
    EXPECT_EQ(errorOf([&] { base.status(); }).kind(), orbitane::kind::USAGE);
}

TEST_F(MotionTest, AScopeDrivesOneWayAndOneAtATime) {
    start();
    orbitane::Base& base = *base_;
    orbitane::Motion motion = base.motion();
    EXPECT_EQ(errorOf([&] { base.motion(); }).kind(), orbitane::kind::USAGE);
    motion.wheels(0.1, -0.1);
    const size_t velocities = sim_->device().velocityCommands().size();
    EXPECT_EQ(errorOf([&] { motion.velocity(0.1); }).kind(), orbitane::kind::USAGE);
    EXPECT_EQ(sim_->device().velocityCommands().size(), velocities);  // nothing sent
    // Words that cannot be sent are refused before anything is.
    EXPECT_EQ(errorOf([&] { motion.wheels(1.0 / 0.0, 0); }).kind(), orbitane::kind::USAGE);
    EXPECT_EQ(errorOf([&] { motion.wheels(3000000, 0); }).kind(), orbitane::kind::USAGE);
    EXPECT_TRUE(motion.stop().confirmed);
    EXPECT_TRUE(lastWheelsAreZero());
    // A new scope, which never moved: nothing to stop, nothing sent.
    orbitane::Motion still = base.motion();
    EXPECT_EQ(errorOf([&] { still.velocity(40000); }).kind(), orbitane::kind::USAGE);
    const size_t sent = sim_->device().requestsReceived();
    const orbitane::StopOutcome stop = still.stop();
    EXPECT_FALSE(stop.sent);
    EXPECT_EQ(sim_->device().requestsReceived(), sent);
    // A scope that takes a base as moving stops it without having moved it.
    orbitane::Motion takeOver = base.motion();
    takeOver.assumeMoving(false);
    EXPECT_EQ(errorOf([&] { takeOver.velocity(0.1); }).kind(), orbitane::kind::USAGE);  // its way is wheels
    EXPECT_TRUE(takeOver.stop().confirmed);
    EXPECT_EQ(sim_->device().requestsReceived(), sent + 1);
    EXPECT_TRUE(lastWheelsAreZero());
}

// What the library throws for a failed request keeps its cause, finer than
// the kind, and whether the base may have acted on it.
TEST_F(MotionTest, AFailedRequestSaysItsCause) {
    struct Case {
        const char* fault;
        const char* kind;
        const char* cause;
        std::optional<int> baseError;
    };
    const Case cases[] = {
        {"bad_checksum", orbitane::kind::INVALID_ANSWER, "corrupted", std::nullopt},
        {"short", orbitane::kind::INVALID_ANSWER, "invalid_answer", std::nullopt},
        {"error", orbitane::kind::BASE_ERROR, "refused", 7},
        {"unsupported", orbitane::kind::NOT_SUPPORTED, "not_supported", 0x8000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string scenario =
            std::string(R"({"faults": [{"request": "getStatus", "error_code": 7, "kind": ")") + c.fault + R"("}]})";
        start(scenario.c_str());
        const orbitane::Error e = errorOf([&] { base_->status(); });
        EXPECT_EQ(e.kind(), c.kind);
        ASSERT_TRUE(e.request().has_value());
        EXPECT_EQ(e.request()->cause, c.cause);
        EXPECT_TRUE(e.request()->written);
        EXPECT_EQ(e.baseError(), c.baseError);
        base_.reset();
        sim_.reset();
    }
    // A usage error is no request's failure.
    start();
    EXPECT_FALSE(errorOf([&] { base_->event(300); }).request().has_value());
}

TEST_F(MotionTest, AStopTheBaseRefusesIsTriedThreeTimesAndReportedAsSuch) {
    // The first velocity is answered; every later one, the stops, refused.
    start(R"({"faults": [{"request": "setVelocity", "kind": "error", "error_code": 7, "after": 1}]})");
    orbitane::Motion motion = base_->motion();
    motion.velocity(0.2);
    const orbitane::StopOutcome stop = motion.stop();
    EXPECT_TRUE(stop.sent);
    EXPECT_FALSE(stop.confirmed);
    EXPECT_EQ(stop.attempts, 3);
    EXPECT_EQ(stop.kind, orbitane::kind::BASE_ERROR);
    EXPECT_EQ(stop.cause, "refused");
    EXPECT_EQ(stop.base_error, 7);
    EXPECT_EQ(stop.result, orbitane::result::OPERATION_FAIL);
    EXPECT_EQ(sim_->device().requestCount(zorn::drv::REQ_SET_VELOCITY), 4u);
}

// A loop that keeps a period bounds each wait, leaves alone a request
// whose late answer is still owed, and ends a scope it stopped itself
// without a further request.
TEST_F(MotionTest, AControlLoopBoundsItsWaitsAndEndsAtRestWithoutAnotherStop) {
    start(R"({"faults": [{"request": "getStatus", "kind": "delay", "delay_ms": 400, "times": 1}]})");
    orbitane::Base& base = *base_;
    for (const std::chrono::nanoseconds bad : {std::chrono::nanoseconds(-1), std::chrono::nanoseconds(999999),
                                                std::chrono::nanoseconds(milliseconds(1001))}) {
        EXPECT_EQ(errorOf([&] { base.setAnswerTimeout(bad); }).kind(), orbitane::kind::USAGE) << bad.count();
    }
    base.setAnswerTimeout(milliseconds(50));
    // The answer comes after 400 ms, well inside the default second: only
    // the call's own limit makes this a time-out.
    const orbitane::Error late = errorOf([&] { base.status(); });
    EXPECT_EQ(late.kind(), orbitane::kind::TIMEOUT);
    EXPECT_EQ(late.request()->waitedMs, 50);
    EXPECT_NE(std::string(late.what()).find("did not answer within 50 ms"), std::string::npos) << late.what();
    // The late status answer is owed: only a request with an answer of its size would wait.
    EXPECT_TRUE(base.wouldWait(orbitane::Request::Status));
    EXPECT_FALSE(base.wouldWait(orbitane::Request::Bumper));
    EXPECT_FALSE(base.wouldWait(orbitane::Request::Velocity));
    const auto giveUp = std::chrono::steady_clock::now() + milliseconds(5000);
    while (base.wouldWait(orbitane::Request::Status) && std::chrono::steady_clock::now() < giveUp) {
        try {
            base.bumperBits();  // a request reads the late answer in
        } catch (const orbitane::Error&) {
            // the base answers in order: the bumper comes after the late status
        }
    }
    EXPECT_FALSE(base.wouldWait(orbitane::Request::Status));
    base.setAnswerTimeout(std::chrono::nanoseconds(0));
    EXPECT_EQ(base.answerTimeout(), milliseconds(1000));
    EXPECT_NO_THROW(base.status());

    orbitane::Motion motion = base.motion();
    motion.velocity(0.2);
    EXPECT_FALSE(motion.atRest());
    motion.velocity(0);
    EXPECT_TRUE(motion.atRest());
    const size_t sent = sim_->device().velocityCommands().size();
    const orbitane::StopOutcome rest = motion.finish();
    EXPECT_TRUE(rest.sent && rest.confirmed);
    EXPECT_EQ(sim_->device().velocityCommands().size(), sent) << "the loop's own zero was the stop";
    // Moving again: finish() is the stop.
    orbitane::Motion moving = base.motion();
    moving.velocity(0.2);
    EXPECT_TRUE(moving.finish().confirmed);
    EXPECT_EQ(sim_->device().velocityCommands().size(), sent + 2);
    EXPECT_TRUE(lastVelocityIsZero());
}

// A base whose configuration cannot be read still gives its raw readings
// and its short record as sent.
TEST_F(MotionTest, RawReadingsNeedNoConfiguration) {
    start(R"({"faults": [{"request": "getBinaryConfig", "kind": "error", "error_code": 3}]})");
    orbitane::Base& base = *base_;
    EXPECT_EQ(errorOf([&] { base.sensor(); }).kind(), orbitane::kind::BASE_ERROR);
    EXPECT_EQ(base.distances().size(), 16u);
    EXPECT_NO_THROW(base.bumperBits());
    const orbitane::ShortRecord record = base.shortRecord();
    EXPECT_EQ(record.base_type, orbitane::ShortRecord::CIRCLE);
    EXPECT_NEAR(record.radius_q8 / 256.0 / 1000.0, base.radius(), 1e-9);
    EXPECT_EQ(base.readIdentity().serial_number, base.identity().serial_number);
}

TEST_F(MotionTest, SeveralThreadsAtOnceOnOneBaseAndOnBasesOfTheirOwn) {
    start();
    orbitane::Base& shared = *base_;
    const std::string uri = "tcp://127.0.0.1:" + std::to_string(sim_->port());
    std::vector<std::thread> threads;
    std::atomic<int> readings{0};
    std::atomic<int> confirmedStops{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            // The calls on the shared base take turns.
            for (int i = 0; i < 30; ++i) {
                if (shared.status().battery_percent == 80) ++readings;
            }
            // A base of its own: its configuration, its readings, its stop.
            orbitane::Base own = orbitane::Base::open(uri, quick());
            for (int i = 0; i < 10; ++i) {
                if (own.sensor().sensors.size() == 3 && own.bumper().sensors.size() == 4) ++readings;
            }
            orbitane::Motion motion = own.motion();
            motion.wheels(0.05, 0.05);
            if (motion.stop().confirmed) ++confirmedStops;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(readings.load(), 3 * 30 + 3 * 10);
    EXPECT_EQ(confirmedStops.load(), 3);
    EXPECT_EQ(shared.linkCounts().answers, shared.linkCounts().requests);
}

}  // namespace
