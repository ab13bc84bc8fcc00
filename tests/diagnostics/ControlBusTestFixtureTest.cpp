#include "diagnostics/ControlBusTestFixture.h"

#include <gtest/gtest.h>

#include <memory>

#include "drv/ControlBus.h"
#include "drv/QuindleBaseDrv.h"
#include "net/ControlEndpoint.h"
#include "net/InterchipProtocol.h"
#include "net/Socket.h"
#include "net/TCPChannel.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedDriverRig.h"
#include "tests/support/ScriptedTcpBase.h"

using namespace zorn::drv;
using namespace zorn::orbitane::test;
using nivo::system::util::LOG_SOURCE_TEST;
using namespace tests::support;
using nivo::system::util::LOG_ERROR;
using nivo::system::util::LOG_INFO;

namespace {

// Failure lines ("\t\tfail: ...") in the order they were logged.
std::vector<std::string> failures(const std::vector<LogLine>& lines) {
    std::vector<std::string> out;
    for (const LogLine& line : lines) {
        if (line.message.rfind("\t\tfail: ", 0) == 0) {
            out.push_back(line.message.substr(8));
        }
    }
    return out;
}

class ControlBusFixtureRun : public ::testing::Test {
protected:
    void SetUp() override { rig.base.scriptHealthyBase(); }

    TestResult run() {
        ControlBusTestFixture fixture(&rig.driver);
        return runFixture(fixture);
    }

    LogCapture log{LOG_SOURCE_TEST};
    ScriptedDriverRig rig;
};

TEST_F(ControlBusFixtureRun, HealthyBasePassesAllNineCasesWithOneRequestEach) {
    TestResult r = run();
    EXPECT_EQ(r.total, 9);
    EXPECT_EQ(r.skipped, 0);
    EXPECT_EQ(r.pass, 9);
    EXPECT_EQ(r.failed, 0);

    std::vector<LogLine> lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().message, "Test Fixture: ControlBus");
    EXPECT_EQ(lines.back().message, "ControlBus: 9 total, 0 skipped, 9 pass, 0 failed");
    EXPECT_EQ(lines.back().level, LOG_INFO);
    std::vector<std::string> names;
    for (const LogLine& line : lines) {
        if (line.message.rfind("\tTesting ", 0) == 0) {
            names.push_back(line.message);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"\tTesting connect...", "\tTesting getConfig...",
                                               "\tTesting getStatus...", "\tTesting getMotorData...",
                                               "\tTesting getSensorData...", "\tTesting getBumperData...",
                                               "\tTesting getAutoHomeData...", "\tTesting setMotor...",
                                               "\tTesting sendEvent..."}));

    std::vector<BaseRequest> requests = rig.base.requests();
    std::vector<Bytes> payloads;
    for (const BaseRequest& request : requests) {
        payloads.push_back(request.payload);
    }
    const Bytes go{REQ_SET_MOTOR, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes stop{REQ_SET_MOTOR, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(payloads, (std::vector<Bytes>{{REQ_CONNECT, 0x01},
                                            {REQ_GET_CONFIG},
                                            {REQ_GET_STATUS},
                                            {REQ_GET_MOTOR_DATA},
                                            {REQ_GET_SENSOR_DATA},
                                            {REQ_GET_BUMPER_DATA},
                                            {REQ_GET_AUTOHOME_DATA, 0},
                                            go,
                                            stop,
                                            {REQ_SEND_EVENT, 99}}));
}

TEST_F(ControlBusFixtureRun, RadiusOfExactly2560FailsGetConfigAndStopsItsChecks) {
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    conf.base_radius_q8 = 2560;
    conf.base_motor_type = 7;  // would fail a later check of the same case
    rig.base.answerRecord(REQ_GET_CONFIG, conf);

    TestResult r = run();
    EXPECT_EQ(r.pass, 8);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(failures(log.lines()),
              std::vector<std::string>{"(int)conf.base_radius_q8>2560: actual 2560 <= 2560"});
    EXPECT_EQ(log.lines().back().message, "ControlBus: 9 total, 0 skipped, 8 pass, 1 failed");
    EXPECT_EQ(log.lines().back().level, LOG_ERROR);
}

struct ConfigDefect {
    const char* what;
    void (*spoil)(base_conf_response_t&);
    const char* message;
};

class ControlBusConfigChecks : public ControlBusFixtureRun,
                               public ::testing::WithParamInterface<ConfigDefect> {};

TEST_P(ControlBusConfigChecks, EachLimitOfTheLegacyConfigurationIsChecked) {
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    GetParam().spoil(conf);
    rig.base.answerRecord(REQ_GET_CONFIG, conf);
    TestResult r = run();
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(failures(log.lines()), std::vector<std::string>{GetParam().message});
}

INSTANTIATE_TEST_SUITE_P(
    Defects, ControlBusConfigChecks,
    ::testing::Values(
        ConfigDefect{"square", [](base_conf_response_t& c) { c.base_type = 1; },
                     "(int)conf.base_type==(int)CIRCLE: actual 1 != 0"},
        ConfigDefect{"radius1000mm", [](base_conf_response_t& c) { c.base_radius_q8 = 256000; },
                     "(int)conf.base_radius_q8<256000: actual 256000 >= 256000"},
        ConfigDefect{"radiusNegativeAsInt", [](base_conf_response_t& c) { c.base_radius_q8 = 0x80000000u; },
                     "(int)conf.base_radius_q8>2560: actual -2147483648 <= 2560"},
        ConfigDefect{"drive", [](base_conf_response_t& c) { c.base_motor_type = 2; },
                     "(int)conf.base_motor_type==(int)TWO_WHEEL: actual 2 != 0"},
        ConfigDefect{"sensors", [](base_conf_response_t& c) { c.base_sensor_num = 9; },
                     "(int)conf.base_sensor_num<=8: actual 9 > 8"},
        ConfigDefect{"bumpers", [](base_conf_response_t& c) { c.base_bumper_num = 255; },
                     "(int)conf.base_bumper_num<=8: actual 255 > 8"}),
    [](const ::testing::TestParamInfo<ConfigDefect>& info) { return std::string(info.param.what); });

TEST_F(ControlBusFixtureRun, UnsupportedLegacyConfigurationFailsWithTheResultInDecimal) {
    rig.base.fail(REQ_GET_CONFIG, 0x8000);
    TestResult r = run();
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(failures(log.lines()),
              std::vector<std::string>{"(int)dev_->getConfig(conf)==(int)RESULT_OK: actual -2147450876 != 0"});
}

TEST_F(ControlBusFixtureRun, FailedFirstSetMotorIsStillFollowedByTheStop) {
    // The base may have acted on a start whose answer was lost: the stop is
    // sent anyway, retried while refused, and the start's failure reported.
    rig.base.fail(REQ_SET_MOTOR, 0x0001);
    TestResult r = run();
    EXPECT_EQ(r.pass, 8);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(rig.base.requestCount(REQ_SET_MOTOR), 4u);
    EXPECT_EQ(rig.base.requestCount(REQ_SEND_EVENT), 1u);  // the next case still ran
    EXPECT_EQ(failures(log.lines()),
              std::vector<std::string>{"(int)dev_->setMotor(req)==(int)RESULT_OK: actual -2147450879 != 0"});
}

TEST_F(ControlBusFixtureRun, FailedStopRequestIsReportedToo) {
    rig.base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
    rig.base.fail(REQ_SET_MOTOR, 0x8000);
    TestResult r = run();
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(rig.base.requestCount(REQ_SET_MOTOR), 4u);  // the start, then three stops
}

TEST_F(ControlBusFixtureRun, AutoHomeCountsAreCheckedAgainstTheirLimits) {
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{8, 4, 0, 0, 0});
    run();
    EXPECT_EQ(failures(log.lines()), std::vector<std::string>{
                                         "(int)response.probe_count<=(int)sizeof(response.probe_data): actual 4 > 3"});

    log.clear();
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{9, 3, 0, 0, 0});
    run();
    EXPECT_EQ(failures(log.lines()), std::vector<std::string>{"(int)response.beacon_count<=(int)8: actual 9 > 8"});
}

TEST_F(ControlBusFixtureRun, ShortAutoHomeAnswerIsCheckedOnAClearedRecord) {
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{1});
    TestResult r = run();
    EXPECT_EQ(r.failed, 0);
}

TEST_F(ControlBusFixtureRun, ShortAnswersOfFixedRecordsFailTheirCases) {
    rig.base.answer(REQ_CONNECT, Bytes(27, 0x41));
    rig.base.answer(REQ_GET_STATUS, Bytes{50});
    TestResult r = run();
    EXPECT_EQ(r.failed, 2);
    EXPECT_EQ(failures(log.lines()),
              (std::vector<std::string>{"(int)dev_->connect(info)==(int)RESULT_OK: actual -2147450880 != 0",
                                        "(int)dev_->getStatus(status)==(int)RESULT_OK: actual -2147450880 != 0"}));
}

TEST(ControlBusFixtureWithoutDriver, EveryCaseFailsWithoutCrashing) {
    LogCapture log{LOG_SOURCE_TEST};
    ControlBusTestFixture fixture(nullptr);
    TestResult r = runFixture(fixture);
    EXPECT_EQ(r.total, 9);
    EXPECT_EQ(r.failed, 9);
    EXPECT_EQ(failures(log.lines()).size(), 9u);
}

// The whole path over a loopback TCP connection: channel threads, socket,
// synchronisation message and the scripted peer's own server.
TEST(ControlBusFixtureOverTcp, HealthyBaseOnLoopbackPassesAllCases) {
    LogCapture log{LOG_SOURCE_TEST};
    ScriptedBase base;
    base.scriptHealthyBase();
    ScriptedTcpBase server(base);

    // dispose() releases a socket (it deletes itself).
    auto disposeSocket = [](zorn::net::StreamSocket* s) { s->dispose(); };
    std::unique_ptr<zorn::net::StreamSocket, decltype(disposeSocket)> socket(zorn::net::StreamSocket::createSocket(),
                                                                          disposeSocket);
    ASSERT_NE(socket, nullptr);
    ASSERT_EQ(socket->connect(zorn::net::SocketAddress("127.0.0.1", server.port())), zorn::net::RESULT_OK);
    ASSERT_TRUE(server.waitForConnections(1, std::chrono::seconds(5)));

    zorn::net::InterchipProtocol protocol;
    {
        zorn::net::TCPChannel channel(&protocol);
        ASSERT_EQ(channel.bind(socket.get()), zorn::net::RESULT_OK);
        zorn::net::ControlEndpoint endpoint;
        endpoint.bindChannel(&channel);
        {
            QuindleBaseDrv driver(&endpoint);
            ControlBusTestFixture fixture(&driver);
            TestResult r = runFixture(fixture);
            EXPECT_EQ(r.pass, 9);
            EXPECT_EQ(r.failed, 0);
        }
        endpoint.unbindChannel();
        channel.stop();
    }
    socket.reset();
    EXPECT_EQ(log.lines().back().message, "ControlBus: 9 total, 0 skipped, 9 pass, 0 failed");
    EXPECT_EQ(base.requestCount(), 10u);
    EXPECT_EQ(base.otherFrameCount(), 2u);  // the two synchronisation messages
    EXPECT_EQ(base.badFrameCount(), 0u);
}

}  // namespace
