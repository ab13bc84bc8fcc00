#include "diagnostics/ControlBusTestFixture.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "lib/BaseOverLink.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScriptedDriverRig.h"

using namespace zorn::drv;
using namespace zorn::orbitane::test;
using namespace tests::support;
using nivo::system::util::LOG_ERROR;
using nivo::system::util::LOG_INFO;
using nivo::system::util::LOG_SOURCE_TEST;
using ApiError = ::orbitane::Error;

constexpr int NO_BASE_CODE = -1;

namespace {

const char* const CASES[] = {"connect",       "getConfig",     "getStatus",       "getMotorData", "getSensorData",
                             "getBumperData", "getAutoHomeData", "setMotor",      "sendEvent"};

// Failure lines ("\t\tfail: ...") in the order they were logged.
std::vector<std::string> failures(const std::vector<LogLine>& lines) {
    std::vector<std::string> out;
    for (const LogLine& line : lines) {
        if (line.message.rfind("\t\tfail: ", 0) == 0) out.push_back(line.message.substr(8));
    }
    return out;
}

class ControlBusFixtureRun : public ::testing::Test {
protected:
    TestResult run() { return runFixture(fixture); }
    std::vector<std::string> failureLines() const { return failures(log.lines()); }
    // The cases whose request failed, by requestFailure.
    std::vector<std::string> casesWithRequestFailure() const {
        std::vector<std::string> out;
        ApiError failure("", 0, "");
        for (const char* name : CASES) {
            if (fixture.requestFailure(name, failure)) out.push_back(name);
        }
        return out;
    }

    // The library's Base over the rig's link, as the console lends it its
    // own; its connect request is not one of the cases'.
    static ::orbitane::Base baseOver(ScriptedDriverRig& rig) {
        ::orbitane::Base base = ::orbitane::detail::baseOverLink(rig.link, "tcp:127.0.0.1:11331", {}, false);
        rig.base.clearRequests();
        return base;
    }

    LogCapture log{LOG_SOURCE_TEST};
    ScriptedDriverRig rig;
    ::orbitane::Base base = baseOver(rig);
    ControlBusTestFixture fixture{&base};
};

// The console synchronises the link, then runs the nine cases: one request
// each, the motor case a start and its stop.
TEST_F(ControlBusFixtureRun, HealthyBasePassesAllNineCasesWithOneRequestEach) {
    rig.link.sync();
    const TestResult r = run();
    EXPECT_EQ(9, r.total);
    EXPECT_EQ(0, r.skipped);
    EXPECT_EQ(9, r.pass);
    EXPECT_EQ(0, r.failed);
    EXPECT_TRUE(casesWithRequestFailure().empty());

    const std::vector<LogLine> lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Test Fixture: ControlBus", lines.front().message);
    EXPECT_EQ("ControlBus: 9 total, 0 skipped, 9 pass, 0 failed", lines.back().message);
    EXPECT_EQ(LOG_INFO, lines.back().level);
    std::vector<std::string> names, expectedNames;
    for (const LogLine& line : lines) {
        if (line.message.rfind("\tTesting ", 0) == 0) names.push_back(line.message);
    }
    for (const char* name : CASES) expectedNames.push_back(std::string("\tTesting ") + name + "...");
    EXPECT_EQ(expectedNames, names);

    std::vector<Bytes> payloads;
    for (const BaseRequest& request : rig.base.requests()) payloads.push_back(request.payload);
    const Bytes go{REQ_SET_MOTOR, 100, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes stop{REQ_SET_MOTOR, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ((std::vector<Bytes>{{REQ_CONNECT, 0x01},
                                  {REQ_GET_CONFIG},
                                  {REQ_GET_STATUS},
                                  {REQ_GET_MOTOR_DATA},
                                  {REQ_GET_SENSOR_DATA},
                                  {REQ_GET_BUMPER_DATA},
                                  {REQ_GET_AUTOHOME_DATA, 0},
                                  go,
                                  stop,
                                  {REQ_SEND_EVENT, 99}}),
              payloads);
    EXPECT_EQ(2u, rig.base.otherFrameCount()) << "the two synchronisation frames";
    EXPECT_EQ(0u, rig.base.badFrameCount());
}

TEST_F(ControlBusFixtureRun, RadiusOfExactly2560FailsGetConfigAndStopsItsChecks) {
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    conf.base_radius_q8 = 2560;
    conf.base_motor_type = 7;  // would fail a later check of the same case
    rig.base.answerRecord(REQ_GET_CONFIG, conf);

    const TestResult r = run();
    EXPECT_EQ(8, r.pass);
    EXPECT_EQ(1, r.failed);
    EXPECT_EQ(std::vector<std::string>{"(int)conf.base_radius_q8>2560: actual 2560 <= 2560"}, failureLines());
    EXPECT_EQ("ControlBus: 9 total, 0 skipped, 8 pass, 1 failed", log.lines().back().message);
    EXPECT_EQ(LOG_ERROR, log.lines().back().level);
    EXPECT_TRUE(casesWithRequestFailure().empty()) << "the request worked; a value failed";
}

struct ConfigDefect {
    const char* what;
    void (*spoil)(base_conf_response_t&);
    const char* message;
};
void PrintTo(const ConfigDefect& c, std::ostream* os) { *os << c.what; }

class ControlBusConfigChecks : public ControlBusFixtureRun, public ::testing::WithParamInterface<ConfigDefect> {};

TEST_P(ControlBusConfigChecks, EachLimitOfTheLegacyConfigurationIsChecked) {
    base_conf_response_t conf = ScriptedBase::healthyConfig();
    GetParam().spoil(conf);
    rig.base.answerRecord(REQ_GET_CONFIG, conf);
    const TestResult r = run();
    EXPECT_EQ(1, r.failed);
    EXPECT_EQ(std::vector<std::string>{GetParam().message}, failureLines());
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

// A case whose request failed prints the result code in decimal, and
// requestFailure tells why. The motor case sends its stop also when the
// start failed (the base may have acted on it), retrying a refused stop, and
// the cases after a failed one still run.
struct FailedRequest {
    const char* name;
    void (*script)(ScriptedDriverRig&);
    const char* caseName;
    const char* message;
    const char* cause;
    int baseCode;
    size_t motorRequests;  // start and stops
};
void PrintTo(const FailedRequest& c, std::ostream* os) { *os << c.name; }

class ControlBusFailedRequests : public ControlBusFixtureRun, public ::testing::WithParamInterface<FailedRequest> {};

TEST_P(ControlBusFailedRequests, SayTheResultAndWhy) {
    const FailedRequest& c = GetParam();
    c.script(rig);
    const TestResult r = run();
    EXPECT_EQ(8, r.pass);
    EXPECT_EQ(1, r.failed);
    EXPECT_EQ(std::vector<std::string>{c.message}, failureLines());
    EXPECT_EQ(std::vector<std::string>{c.caseName}, casesWithRequestFailure());
    ApiError failure("", 0, "");
    ASSERT_TRUE(fixture.requestFailure(c.caseName, failure));
    ASSERT_TRUE(failure.request());
    EXPECT_EQ(c.cause, failure.request()->cause);
    EXPECT_EQ(c.baseCode, failure.baseError().value_or(NO_BASE_CODE));
    EXPECT_EQ(c.motorRequests, rig.base.requestCount(REQ_SET_MOTOR));
    EXPECT_EQ(1u, rig.base.requestCount(REQ_SEND_EVENT));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlBusFailedRequests,
    ::testing::Values(
        FailedRequest{"connectTimedOut", [](ScriptedDriverRig& r) { r.base.silence(REQ_CONNECT); }, "connect",
                      "(int)dev_->connect(info)==(int)RESULT_OK: actual -2147450878 != 0", "timeout",
                      NO_BASE_CODE, 2},
        FailedRequest{"connectShort", [](ScriptedDriverRig& r) { r.base.answer(REQ_CONNECT, Bytes(27, 0x41)); },
                      "connect", "(int)dev_->connect(info)==(int)RESULT_OK: actual -2147450880 != 0",
                      "invalid_answer", NO_BASE_CODE, 2},
        FailedRequest{"statusShort", [](ScriptedDriverRig& r) { r.base.answer(REQ_GET_STATUS, Bytes{50}); },
                      "getStatus", "(int)dev_->getStatus(status)==(int)RESULT_OK: actual -2147450880 != 0",
                      "invalid_answer", NO_BASE_CODE, 2},
        FailedRequest{"configNotSupported", [](ScriptedDriverRig& r) { r.base.fail(REQ_GET_CONFIG, 0x8000); },
                      "getConfig", "(int)dev_->getConfig(conf)==(int)RESULT_OK: actual -2147450876 != 0",
                      "not_supported", 0x8000, 2},
        // The start's failure is the one reported.
        FailedRequest{"startRefused", [](ScriptedDriverRig& r) { r.base.fail(REQ_SET_MOTOR, 0x0001); }, "setMotor",
                      "(int)dev_->setMotor(req)==(int)RESULT_OK: actual -2147450879 != 0", "refused", 1, 4},
        FailedRequest{"stopNotSupported",
                      [](ScriptedDriverRig& r) {
                          r.base.scriptOnce(REQ_SET_MOTOR, BaseReply::ok());
                          r.base.fail(REQ_SET_MOTOR, 0x8000);
                      },
                      "setMotor", "(int)dev_->setMotor(req)==(int)RESULT_OK: actual -2147450876 != 0",
                      "not_supported", 0x8000, 4}),
    [](const ::testing::TestParamInfo<FailedRequest>& info) { return std::string(info.param.name); });

TEST_F(ControlBusFixtureRun, AutoHomeCountsAreCheckedAgainstTheirLimits) {
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{8, 4, 0, 0, 0});
    run();
    EXPECT_EQ(std::vector<std::string>{"(int)response.probe_count<=(int)sizeof(response.probe_data): actual 4 > 3"},
              failureLines());

    log.clear();
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{9, 3, 0, 0, 0});
    run();
    EXPECT_EQ(std::vector<std::string>{"(int)response.beacon_count<=(int)8: actual 9 > 8"}, failureLines());
    EXPECT_TRUE(casesWithRequestFailure().empty());
}

TEST_F(ControlBusFixtureRun, ShortAutoHomeAnswerIsCheckedOnAClearedRecord) {
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{1});
    EXPECT_EQ(0, run().failed);
}

TEST(ControlBusFixtureWithoutDriver, EveryCaseFailsWithoutCrashing) {
    LogCapture log{LOG_SOURCE_TEST};
    ControlBusTestFixture fixture(nullptr);
    const TestResult r = runFixture(fixture);
    EXPECT_EQ(9, r.total);
    EXPECT_EQ(9, r.failed);
    EXPECT_EQ(9u, failures(log.lines()).size());
    ApiError failure("", 0, "");
    EXPECT_FALSE(fixture.requestFailure("connect", failure)) << "no request was made";
}

}  // namespace
