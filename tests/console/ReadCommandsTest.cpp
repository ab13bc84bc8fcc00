// The identity lines and the status, motor and beacon commands, run through
// the real frame against a scripted base on loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drv/ControlBus.h"
#include "net/Result.h"
#include "tests/console/ConsoleRig.h"

using namespace tests::console;
using namespace zorn::drv;

namespace {

const std::string OK_LINE = "[INFO] Successfully executed command";

class ReadCommands : public ::testing::Test {
protected:
    ConsoleRig rig;
};

}  // namespace

TEST_F(ReadCommands, IdentityLinesFollowTheConnectAnswer) {
    base_connect_response_t identity = {};
    std::memcpy(identity.model, "ABCDEFGHIJKL", 12);  // all 12 bytes, no terminator
    identity.firmware_version = 0x0102;
    identity.hardware_version = 0x0A0B;
    identity.serial_number[0] = 1;
    identity.serial_number[1] = 2;
    identity.serial_number[2] = 3;
    rig.base.answerRecord(REQ_CONNECT, identity);

    ASSERT_EQ(0, rig.run({"status"}));
    std::vector<std::string> identityLines;
    for (const LogLine& line : rig.lines()) {
        if (line.source == nivo::system::util::LOG_SOURCE_BASE_CONSOLE_APP) identityLines.push_back(line.tagged());
    }
    identityLines.resize(5);
    EXPECT_EQ(identityLines, (Lines{"[INFO] Connected to Control Bus Device at tcp:127.0.0.1:" +
                                        std::to_string(rig.tcp.port()),
                                    "[INFO] Model: ABCDEFGHIJKL", "[INFO] Firmware Version: 1.2",
                                    "[INFO] Hardware version: 10.11",
                                    "[INFO] Serial Number: 000000010000000200000003"}));
    const std::vector<BaseRequest> all = rig.base.requests();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().payload, (Bytes{REQ_CONNECT, 0x01})) << "connect is the first request";
}

// ---------------------------------------------------------------- status

struct ChargingCase {
    uint8_t flags;
    const char* line;
};

void PrintTo(const ChargingCase& c, std::ostream* os) { *os << "flags " << static_cast<int>(c.flags); }

class StatusCharging : public ReadCommands, public ::testing::WithParamInterface<ChargingCase> {};

TEST_P(StatusCharging, FlagsGiveTheirTextAndLevel) {
    rig.base.answerRecord(REQ_GET_STATUS, base_status_response_t{57, GetParam().flags});
    ASSERT_EQ(0, rig.run({"status"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Battery: 57%", GetParam().line}));
    EXPECT_EQ(rig.commandCodes(), (std::vector<uint8_t>{REQ_GET_STATUS}));
    EXPECT_EQ(rig.frameLines().back(), OK_LINE);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFlagCombination, StatusCharging,
    ::testing::Values(
        ChargingCase{0, "[INFO] Charging Status: Not connected, discharging"},
        ChargingCase{1, "[WARN] Charging Status: Charging (you are using legacy protocol, please specify "
                        "DcConnected or OnChargingBase bit field"},
        ChargingCase{2, "[INFO] Charging Status: Cable connected but not charging"},
        ChargingCase{3, "[INFO] Charging Status: Charging from cable"},
        ChargingCase{4, "[INFO] Charging Status: On charging dock but not charging"},
        ChargingCase{5, "[INFO] Charging Status: Charging from base"},
        ChargingCase{6, "[INFO] Charging Status: Cable connected but not charging"},
        ChargingCase{7, "[INFO] Charging Status: Charging from cable"},
        // Only the value exactly 1 is the legacy form; unknown bits do not
        // make a charging text.
        ChargingCase{9, "[INFO] Charging Status: Not connected, discharging"},
        ChargingCase{0x83, "[INFO] Charging Status: Charging from cable"}),
    [](const ::testing::TestParamInfo<ChargingCase>& info) { return "Flags" + std::to_string(info.param.flags); });

TEST_F(ReadCommands, StatusFailuresAreReturnedWithoutALineOfTheirOwn) {
    rig.base.fail(REQ_GET_STATUS, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"status"}));
    EXPECT_TRUE(rig.commandLines().empty());
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 80008001");  // then the words

    rig.base.answer(REQ_GET_STATUS, Bytes{80});  // one byte short of the record
    EXPECT_EQ(zorn::net::RESULT_INVALID_DATA, rig.run({"status"}));
    EXPECT_TRUE(rig.commandLines().empty());
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: 80008000");  // then the words
}

// ---------------------------------------------------------------- motor

TEST_F(ReadCommands, MotorLinePadsEachOdometerToEightCharacters) {
    rig.base.answer(REQ_GET_MOTOR_DATA, motorAnswer(1234, -567));
    ASSERT_EQ(0, rig.run({"motor"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Left Wheel: 1234.0  mm Right Wheel: -567.0  mm"}));

    rig.base.answer(REQ_GET_MOTOR_DATA, motorAnswer(INT32_MIN, INT32_MAX));
    ASSERT_EQ(0, rig.run({"motor"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Left Wheel: -2147483648.0mm Right Wheel: 2147483647.0mm"}));

    // A short answer leaves the right odometer at zero.
    rig.base.answer(REQ_GET_MOTOR_DATA, Bytes{0x07, 0, 0, 0});
    ASSERT_EQ(0, rig.run({"motor"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Left Wheel: 7.0     mm Right Wheel: 0.0     mm"}));
}

TEST_F(ReadCommands, MotorFailureIsTheResult) {
    rig.base.fail(REQ_GET_MOTOR_DATA);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_NOT_SUPPORT, rig.run({"motor"}));
    EXPECT_TRUE(rig.commandLines().empty());
}

// ---------------------------------------------------------------- beacon

TEST_F(ReadCommands, BeaconListsEveryProbeOverEveryBeacon) {
    rig.base.answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{2, 3, {0x1, 0x3, 0x2}});
    ASSERT_EQ(0, rig.run({"beacon"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Found 2 beacons and 3 probes", "[INFO] \tProbe #0: 0: yes 1:     ",
                                         "[INFO] \tProbe #1: 0: yes 1: yes ", "[INFO] \tProbe #2: 0:     1: yes "}));
    const std::vector<BaseRequest> requests = rig.commandRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].payload, (Bytes{REQ_GET_AUTOHOME_DATA, 0x00}));
}

TEST_F(ReadCommands, BeaconWithoutBeaconsPrintsEmptyProbeLines) {
    rig.base.answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{0, 2, {0xFF, 0xFF, 0xFF}});
    ASSERT_EQ(0, rig.run({"beacon"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[INFO] Found 0 beacons and 2 probes", "[INFO] \tProbe #0: ", "[INFO] \tProbe #1: "}));
}

TEST_F(ReadCommands, BeaconLimitsThreeProbesAndEightBeacons) {
    // Exactly at both limits: no complaint.
    rig.base.answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{8, 3, {0x80, 0x00, 0x01}});
    ASSERT_EQ(0, rig.run({"beacon"}));
    Lines lines = rig.commandLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "[INFO] \tProbe #0: 0:     1:     2:     3:     4:     5:     6:     7: yes ");

    // More than three probes: error and -1 before any probe line.
    rig.base.answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{10, 4, {1, 1, 1}});
    EXPECT_EQ(-1, rig.run({"beacon"}));
    EXPECT_EQ(rig.commandLines(), (Lines{"[INFO] Found 10 beacons and 4 probes",
                                         "[ERRO] Currently only support no more than 3 probes, but 4 probes found"}));
    EXPECT_EQ(rig.frameLines().rbegin()[1], "[ERRO] Execute command failed: FFFFFFFF");  // then the words

    // More than eight beacons: reported, then listed; beacons 8 and 9 read clear.
    rig.base.answerRecord(REQ_GET_AUTOHOME_DATA, base_autohome_response_t{10, 1, {0xFF, 0, 0}});
    ASSERT_EQ(0, rig.run({"beacon"}));
    EXPECT_EQ(rig.commandLines(),
              (Lines{"[INFO] Found 10 beacons and 1 probes",
                     "[ERRO] Only support no more than 8 beacons, but 10 beacons found",
                     "[INFO] \tProbe #0: 0: yes 1: yes 2: yes 3: yes 4: yes 5: yes 6: yes 7: yes 8:     9:     "}));
}

TEST_F(ReadCommands, BeaconAnswerOfAnotherSizeIsInvalidData) {
    rig.base.answer(REQ_GET_AUTOHOME_DATA, Bytes{1, 1, 1, 0});
    EXPECT_EQ(zorn::net::RESULT_INVALID_DATA, rig.run({"beacon"}));
    EXPECT_TRUE(rig.commandLines().empty());

    rig.base.fail(REQ_GET_AUTOHOME_DATA, 0x0001);
    EXPECT_EQ(zorn::net::RESULT_OPERATION_FAIL, rig.run({"beacon"}));
    EXPECT_TRUE(rig.commandLines().empty());
}
