#include <gtest/gtest.h>

#include <cstring>

#include "config/BinaryConfig.h"
#include "drv/ControlBus.h"
#include "drv/FixedPoint.h"
#include "sim/BaseDevice.h"
#include "sim/ConfigRecords.h"
#include "sim/Scenario.h"

using namespace zorn::orbitane::sim;
namespace drv = zorn::drv;

namespace {

class BaseDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { make(defaultScenario()); }

    void make(const Scenario& s) {
        clock = std::make_shared<ManualClock>(1000);
        device.reset(new BaseDevice(s, clock));
    }

    Answer run(std::vector<uint8_t> payload) { return device->execute(payload.data(), payload.size()); }

    template <class T>
    T record(const Answer& a) {
        EXPECT_EQ(a.cmd, ANS_OK);
        EXPECT_EQ(a.payload.size(), sizeof(T));
        T r;
        std::memset(&r, 0, sizeof r);
        std::memcpy(&r, a.payload.data(), std::min(sizeof r, a.payload.size()));
        return r;
    }

    static std::vector<uint8_t> withInt32s(uint8_t code, std::initializer_list<int32_t> values) {
        std::vector<uint8_t> out{code};
        for (int32_t v : values) {
            uint32_t u = static_cast<uint32_t>(v);
            for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
        }
        return out;
    }

    static bool isError(const Answer& a, uint16_t code) {
        return a.cmd == ANS_ERROR && a.payload == std::vector<uint8_t>{static_cast<uint8_t>(code & 0xFF),
                                                                       static_cast<uint8_t>(code >> 8)};
    }

    std::shared_ptr<ManualClock> clock;
    std::unique_ptr<BaseDevice> device;
};

TEST_F(BaseDeviceTest, ConnectAnswersTheIdentity) {
    Scenario s = defaultScenario();
    s.identity.model = "TWELVE-CHARS";  // fills the field, no terminator
    s.identity.serialNumber[0] = 1;
    s.identity.serialNumber[1] = 2;
    s.identity.serialNumber[2] = 0xDEADBEEF;
    make(s);
    auto info = record<drv::base_connect_response_t>(run({0x10, 0x01}));
    EXPECT_EQ(std::string(info.model, 12), "TWELVE-CHARS");
    EXPECT_EQ(info.firmware_version, 0x0102);
    EXPECT_EQ(info.hardware_version, 0x0300);
    EXPECT_EQ(info.serial_number[2], 0xDEADBEEFu);
    // The connect request carries exactly the byte 01.
    EXPECT_TRUE(isError(run({0x10}), ERR_BAD_REQUEST));
    EXPECT_TRUE(isError(run({0x10, 0x02}), ERR_BAD_REQUEST));
}

TEST_F(BaseDeviceTest, UnknownMalformedAndEmptyRequests) {
    EXPECT_TRUE(isError(run({0x99}), ERR_NOT_SUPPORTED));
    EXPECT_TRUE(isError(run({0x30, 0x00}), ERR_BAD_REQUEST));
    EXPECT_TRUE(isError(run({0x34}), ERR_BAD_REQUEST));
    EXPECT_TRUE(isError(run({0x40, 1, 2, 3}), ERR_BAD_REQUEST));
    EXPECT_TRUE(isError(run({0x5F, 0}), ERR_BAD_REQUEST));
    EXPECT_TRUE(isError(run({}), ERR_BAD_REQUEST));
    // A rejected setMotor does not move the wheels.
    EXPECT_TRUE(device->motorCommands().empty());
}

TEST_F(BaseDeviceTest, StatusSensorsBumpersAndBeacons) {
    auto st = record<drv::base_status_response_t>(run({0x30}));
    EXPECT_EQ(st.battery_percentage, 80);
    EXPECT_EQ(st.charging_flags, 3);
    device->setStatus(55, 7);
    EXPECT_EQ(run({0x30}).payload, (std::vector<uint8_t>{55, 7}));

    auto sensors = record<drv::base_sensor_data_response_t>(run({0x32}));
    EXPECT_EQ(sensors.sensor_value[0], static_cast<uint32_t>(350.5 * 65536));
    EXPECT_EQ(sensors.sensor_value[2], static_cast<uint32_t>(800.25 * 65536));
    EXPECT_EQ(sensors.sensor_value[3], 0u);

    device->setBumperBits(0x80000005u);
    EXPECT_EQ(run({0x33}).payload, (std::vector<uint8_t>{0x05, 0, 0, 0x80}));

    auto home = record<drv::base_autohome_response_t>(run({0x34, 0x00}));
    EXPECT_EQ(home.beacon_count, 2);
    EXPECT_EQ(home.probe_count, 2);
    EXPECT_EQ(home.probe_data[0], 1);
    EXPECT_EQ(home.probe_data[1], 3);
    EXPECT_EQ(home.probe_data[2], 0);

    Scenario s = defaultScenario();
    s.probeCountOverride = 4;
    make(s);
    EXPECT_EQ(record<drv::base_autohome_response_t>(run({0x34, 0x00})).probe_count, 4);
}

TEST_F(BaseDeviceTest, BinaryConfigDecodesToTheScenarioDocument) {
    Answer a = run({0x21});
    ASSERT_EQ(a.cmd, ANS_OK);
    Json::Value decoded;
    ASSERT_TRUE(nivo::system::config::parseBinaryConfig(a.payload.size(), a.payload.data(), decoded));
    EXPECT_EQ(decoded["base"]["model_name"].asString(), "ORB-BASE");
    EXPECT_EQ(decoded["base"]["manufacture_id"].asInt(), 4660);
    EXPECT_EQ(decoded["base"]["sensors"].size(), 7u);
    EXPECT_EQ(decoded["base"]["sensors"][5]["type"].asString(), "cliff");
    EXPECT_DOUBLE_EQ(decoded["base"]["robot_size"].asDouble(), 0.34);
    EXPECT_EQ(decoded["motion_plan"]["bump_handle_strategy"].asString(), "stop");
    EXPECT_LE(a.payload.size(), 2048u);  // fits the console's buffer

    Scenario s = defaultScenario();
    s.legacyBase = true;
    make(s);
    EXPECT_TRUE(isError(run({0x21}), ERR_NOT_SUPPORTED));
}

TEST_F(BaseDeviceTest, LegacyRecordCarriesTheFixedPointGeometry) {
    auto conf = record<drv::base_conf_response_t>(run({0x20}));
    EXPECT_EQ(conf.base_type, drv::CIRCLE);
    EXPECT_EQ(conf.base_motor_type, drv::TWO_WHEEL);
    // A packed field is read into a value first: binding it to the const
    // reference of EXPECT_EQ would be a misaligned access.
    const uint32_t radius = conf.base_radius_q8;
    EXPECT_EQ(radius, 170u * 256u);
    EXPECT_EQ(conf.base_sensor_num, 3);
    EXPECT_EQ(conf.base_bumper_num, 4);
    drv::base_sensor_entry_t cliff = conf.bumpers[2];
    EXPECT_EQ(cliff.z_q8, -10 * 256);
    EXPECT_EQ(cliff.x_q8, 140 * 256);
    drv::base_sensor_entry_t right = conf.sensors[2];
    EXPECT_EQ(right.yaw_q8, 315u * 256u);  // -45 degrees
    drv::base_sensor_entry_t unused = conf.sensors[3];
    EXPECT_EQ(unused.x_q8, 0);
}

TEST(ConfigRecordsTest, CountsOverridesAndSaturation) {
    LegacyConfig legacy;
    legacy.radiusMm = 10.0;
    legacy.bumpers.resize(8);
    legacy.bumperCountOverride = 10;
    legacy.sensors.push_back(LegacySensor{1e9, -1e9, 0.5 / 256, -720.0});
    drv::base_conf_response_t rec = buildLegacyRecord(legacy);
    const uint32_t radius = rec.base_radius_q8;  // packed: read into a value
    EXPECT_EQ(radius, 2560u);
    EXPECT_EQ(rec.base_bumper_num, 10);
    EXPECT_EQ(rec.base_sensor_num, 1);
    drv::base_sensor_entry_t e = rec.sensors[0];
    EXPECT_EQ(e.x_q8, INT32_MAX);
    EXPECT_EQ(e.y_q8, INT32_MIN);
    EXPECT_EQ(e.yaw_q8, 0u);
    EXPECT_EQ(drv::toQ8(-1.0), -256);
}

TEST_F(BaseDeviceTest, SetMotorDrivesTheOdometersInTime) {
    ASSERT_EQ(run(withInt32s(0x40, {100, -100, 0, 0})).cmd, ANS_OK);
    EXPECT_TRUE(device->moving());
    clock->advanceMs(1000);
    auto m = record<drv::base_motor_status_response_t>(run({0x31}));
    EXPECT_EQ(m.left_wheel_odometry, 100);
    EXPECT_EQ(m.right_wheel_odometry, -100);
    run(withInt32s(0x40, {0, 0, 0, 0}));
    clock->advanceMs(1000);
    EXPECT_EQ(device->leftOdometer(), 100);
    auto cmds = device->motorCommands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].right_speed, -100);
    EXPECT_EQ(cmds[1].left_speed, 0);
}

TEST_F(BaseDeviceTest, SetVelocityAnswersTheMotionSinceThePreviousAnswer) {
    int32_t vx = static_cast<int32_t>(0.1 * 65536);
    auto first = record<drv::base_set_velocity_response_t>(run(withInt32s(0x41, {vx, 0, 0})));
    EXPECT_EQ(first.dx_q16, 0);
    clock->advanceMs(500);
    auto second = record<drv::base_set_velocity_response_t>(run(withInt32s(0x41, {0, 0, 65536})));
    EXPECT_NEAR(second.dx_q16 / 65536.0, 0.05, 1e-4);
    EXPECT_EQ(second.dtheta_q16, 0);
    clock->advanceMs(500);
    auto third = record<drv::base_set_velocity_response_t>(run(withInt32s(0x41, {0, 0, 0})));
    EXPECT_NEAR(third.dtheta_q16 / 65536.0, 0.5 * 180.0 / 3.14159265358979, 1e-3);  // degrees
    EXPECT_EQ(third.dx_q16, 0);
    EXPECT_FALSE(device->moving());
    EXPECT_EQ(device->velocityCommands().size(), 3u);
    // Turning on the spot at 1 rad/s moved the wheels by 170 mm/s each way.
    EXPECT_EQ(device->rightOdometer(), 50 + 85);
}

TEST_F(BaseDeviceTest, VelocityAnswersAddUpToTheWheelTravelAtFullPollingSpeed) {
    // Answers every 50 us: far less motion each time than one unit of the
    // fields, so dropping what one answer cannot carry would lose it all.
    struct Case {
        double vx, omega;  // both exact in q16
        double metres, degrees;
    };
    for (const Case& c : {Case{0.125, 0.0, 0.125, 0.0}, Case{0.0078125, 0.0, 0.0078125, 0.0},
                          Case{0.0, 1.0, 0.0, 180.0 / 3.14159265358979323846}}) {
        make(defaultScenario());
        const std::vector<uint8_t> drive = withInt32s(0x41, {drv::toQ16(c.vx), 0, drv::toQ16(c.omega)});
        run(drive);
        int64_t dx = 0, dtheta = 0;
        for (int i = 0; i < 20000; ++i) {
            clock->advanceNs(50000);
            auto r = record<drv::base_set_velocity_response_t>(run(i + 1 < 20000 ? drive : withInt32s(0x41, {0, 0, 0})));
            dx += r.dx_q16;
            dtheta += r.dtheta_q16;
        }
        EXPECT_NEAR(dx / 65536.0, c.metres, 1.0 / 65536) << c.vx;
        EXPECT_NEAR(dtheta / 65536.0, c.degrees, 1.0 / 65536) << c.omega;
        // The same motion as the wheels report (1 s at 125 mm/s; 170 mm each
        // way when turning on the spot at 1 rad/s).
        const double travelMm = (device->leftOdometer() + device->rightOdometer()) / 2.0;
        if (c.vx == 0.125) {
            EXPECT_NEAR(dx / 65536.0, travelMm / 1000.0, 1.0 / 65536);
        }
        if (c.omega != 0.0) {
            EXPECT_EQ(device->rightOdometer() - device->leftOdometer(), 340);
        }
    }
}

TEST_F(BaseDeviceTest, TimelineScriptsTheReadings) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenarioText(R"({"status": {"battery_percentage": 80}, "sonar_mm": [1000],
        "timeline": [{"reading": "battery_percentage", "rate_per_s": -2, "from_s": 1},
                     {"reading": "bumper_bits", "value": 5, "from_s": 2, "to_s": 3},
                     {"reading": "sonar_mm[0]", "ramp_to": 200, "to_s": 4, "every_s": 5},
                     {"reading": "sonar_mm[2]", "value": 42}]})",
                                  s, error))
        << error;
    make(s);
    struct Expect {
        int64_t atMs;
        uint8_t battery;
        uint32_t bumpers;
        double sonar0;
    };
    int64_t now = 0;
    for (const Expect& e : {Expect{0, 80, 0, 1000}, Expect{1999, 78, 0, 600.2}, Expect{2000, 78, 5, 600},
                            Expect{2999, 76, 5, 400.2}, Expect{3000, 76, 0, 400}, Expect{4500, 73, 0, 200},
                            Expect{5000, 72, 0, 1000}, Expect{100000, 0, 0, 1000}}) {
        clock->advanceMs(e.atMs - now);
        now = e.atMs;
        EXPECT_EQ(record<drv::base_status_response_t>(run({0x30})).battery_percentage, e.battery) << e.atMs;
        auto bumpers = record<drv::base_bumper_data_response_t>(run({0x33}));
        EXPECT_EQ(bumpers.bumper_bits, e.bumpers) << e.atMs;
        auto sonar = record<drv::base_sensor_data_response_t>(run({0x32}));
        EXPECT_NEAR(sonar.sensor_value[0] / 65536.0, e.sonar0, 0.01) << e.atMs;
        EXPECT_EQ(sonar.sensor_value[2], 42u * 65536u);
    }
    EXPECT_NE(describeState(device->state()).find("battery 0%, charging flags 0x03, bumpers 0x0, sonar 1000.0/0.0/42.0 mm"),
              std::string::npos)
        << describeState(device->state());
}

TEST_F(BaseDeviceTest, HistoryIsBoundedButCountsCoverEverything) {
    constexpr size_t kLimit = 1000;
    device->setHistoryLimit(kLimit);
    for (int i = 0; i < 2500; ++i) {
        ReceivedRequest r;
        r.code = i % 2 ? 0x30 : 0x60;
        r.atNs = i;
        device->noteReceived(r);
        run({0x60, static_cast<uint8_t>(i)});
    }
    auto kept = device->requests();
    ASSERT_EQ(kept.size(), kLimit);
    EXPECT_EQ(kept.back().atNs, 2499);
    EXPECT_EQ(kept.front().atNs, 2500 - static_cast<int64_t>(kLimit));
    EXPECT_EQ(device->events().size(), kLimit);
    EXPECT_EQ(device->events().back(), static_cast<uint8_t>(2499 % 256));
    EXPECT_EQ(device->requestCount(0x30), 1250u);
    EXPECT_EQ(device->requestsReceived(), 2500u);
    device->setHistoryLimit(10);
    EXPECT_EQ(device->requests().size(), 10u);
    EXPECT_EQ(device->requests().back().atNs, 2499);
}

TEST_F(BaseDeviceTest, GetInfoAnswerClearsThePendingQuestion) {
    device->setPendingCommand(drv::BASE_CMD_GET_INFO);
    EXPECT_EQ(run({0x50}).payload, std::vector<uint8_t>{0x51});
    drv::base_get_info_answer_t info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.model, "Q7N3", 4);
    info.info_flag = 1;
    std::memcpy(info.host_address, "192.168.1.2", 11);
    std::vector<uint8_t> payload{0x5F};
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&info);
    payload.insert(payload.end(), p, p + sizeof info);
    ASSERT_EQ(run(payload).cmd, ANS_OK);
    EXPECT_EQ(device->pendingCommand(), 0);
    EXPECT_EQ(run({0x50}).payload, std::vector<uint8_t>{0x00});
    auto answers = device->getInfoAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(std::string(answers[0].model), "Q7N3");
    EXPECT_EQ(std::string(answers[0].host_address), "192.168.1.2");

    // Another pending command stays until the base drops it itself.
    device->setPendingCommand(0x42);
    run(payload);
    EXPECT_EQ(device->pendingCommand(), 0x42);
}

TEST_F(BaseDeviceTest, EventsAreRecordedInOrder) {
    run({0x60, 99});
    run({0x60, 44});
    EXPECT_TRUE(isError(run({0x60}), ERR_BAD_REQUEST));
    EXPECT_EQ(device->events(), (std::vector<uint8_t>{99, 44}));
}

TEST_F(BaseDeviceTest, WheelsKeepTurningAfterTheHostLeavesUnlessTheScenarioStopsThem) {
    run(withInt32s(0x40, {200, 200, 0, 0}));
    device->hostGone();
    EXPECT_TRUE(device->moving());

    Scenario s = defaultScenario();
    s.stopOnDisconnect = true;
    make(s);
    run(withInt32s(0x40, {200, 200, 0, 0}));
    device->hostGone();
    EXPECT_FALSE(device->moving());
}

TEST_F(BaseDeviceTest, ZeroRadiusReachesTheConfigurationRecord) {
    Scenario s = defaultScenario();
    s.legacy.radiusMm = 0.0;
    make(s);
    auto conf = record<drv::base_conf_response_t>(run({0x20}));
    const uint32_t radius = conf.base_radius_q8;  // packed: read into a value
    EXPECT_EQ(radius, 0u);
    // The drive still turns at a finite rate.
    run(withInt32s(0x40, {-100, 100, 0, 0}));
    clock->advanceMs(100);
    EXPECT_EQ(device->rightOdometer(), 10);
}

}  // namespace
