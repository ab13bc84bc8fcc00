#include <gtest/gtest.h>

#include "config/BinaryConfig.h"

using namespace nivo::system::config;
using nivo::system::serialization::BufferStreamAdaptor;

namespace {

bool decode(const std::vector<uint8_t>& bytes, Json::Value& out) {
    return parseBinaryConfig(bytes.size(), bytes.data(), out);
}

Json::Value decodeOk(const std::vector<uint8_t>& bytes) {
    Json::Value value;
    EXPECT_TRUE(decode(bytes, value));
    return value;
}

bool fails(const std::vector<uint8_t>& bytes) {
    Json::Value value(7);
    const bool ok = decode(bytes, value);
    return !ok && value.isNull();
}

}  // namespace

TEST(BinaryConfig, ObjectWithUnsignedMember) {
    const Json::Value value = decodeOk({0x50, 0x01, 0x00, 0x12, 0x2A, 0x00, 0x00, 0x00});
    ASSERT_TRUE(value.isObject());
    ASSERT_EQ(1u, value.size());
    EXPECT_EQ(Json::uintValue, value["base"].type());
    EXPECT_EQ(42u, value["base"].asUInt());
}

TEST(BinaryConfig, ScalarsAndTheirJsonTypes) {
    EXPECT_EQ(Json::Value(true), decodeOk({0x60}));
    EXPECT_EQ(Json::Value(false), decodeOk({0x61}));
    EXPECT_TRUE(decodeOk({0x00}).isNull());
    EXPECT_EQ(Json::Value(""), decodeOk({0x30, 0x00}));
    EXPECT_EQ(Json::Value("ab"), decodeOk({0x30, 0x02, 'a', 'b'}));
    EXPECT_EQ(Json::Value("irtower_2p"), decodeOk({0x31, 0x25}));
    EXPECT_EQ(Json::Value(255), decodeOk({0x10, 0xFF}));           // zero-extended, signed JSON type
    EXPECT_EQ(Json::Value(65535), decodeOk({0x11, 0xFF, 0xFF}));
    EXPECT_EQ(Json::Value(-1), decodeOk({0x18, 0xFF}));            // sign-extended
    EXPECT_EQ(Json::Value(-2), decodeOk({0x19, 0xFE, 0xFF}));
    EXPECT_EQ(Json::Value(-3), decodeOk({0x1A, 0xFD, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Json::Value(0xFFFFFFFFu), decodeOk({0x12, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Json::Value(1.5), decodeOk({0x20, 0x00, 0x00, 0xC0, 0x3F}));
    EXPECT_EQ(Json::Value(-2.0), decodeOk({0x21, 0, 0, 0, 0, 0, 0, 0x00, 0xC0}));
}

TEST(BinaryConfig, SixtyFourBitTagsKeepTheLowThirtyTwoBits) {
    const Json::Value u = decodeOk({0x13, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(Json::uintValue, u.type());
    EXPECT_EQ(1u, u.asUInt());
    const Json::Value s = decodeOk({0x1B, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(Json::intValue, s.type());
    EXPECT_EQ(-2, s.asInt());
}

TEST(BinaryConfig, ContainersKeepOrderAndLaterKeysReplaceEarlierOnes) {
    const Json::Value array = decodeOk({0x40, 0x03, 0x60, 0x00, 0x10, 0x07});
    ASSERT_EQ(3u, array.size());
    EXPECT_EQ(Json::Value(true), array[0]);
    EXPECT_TRUE(array[1].isNull());
    EXPECT_EQ(Json::Value(7), array[2]);
    const Json::Value object = decodeOk({0x50, 0x02, 0x19, 0x10, 0x01, 0x19, 0x10, 0x02});
    ASSERT_EQ(1u, object.size());
    EXPECT_EQ(Json::Value(2), object["id"]);
    EXPECT_EQ(Json::Value(Json::objectValue), decodeOk({0x50, 0x00}));
}

TEST(BinaryConfig, MalformedInputsFailCleanly) {
    EXPECT_TRUE(fails({}));
    EXPECT_TRUE(fails({0x60, 0x00}));              // trailing byte
    EXPECT_TRUE(fails({0x31, 0x26}));              // key index 38
    EXPECT_TRUE(fails({0x50, 0x01, 0x26, 0x60}));  // member key 38
    EXPECT_TRUE(fails({0x22}));                    // invalid tag
    EXPECT_TRUE(fails({0x12, 0x01, 0x02}));        // body cut short
    EXPECT_TRUE(fails({0x30, 0x05, 'a'}));
    EXPECT_TRUE(fails({0x40, 0x03, 0x60}));        // count past the end
    EXPECT_TRUE(fails({0x50}));
    // A cut body inside a container must not be hidden by later values that
    // happen to end exactly at the end of the data.
    EXPECT_TRUE(fails({0x40, 0x02, 0x30, 0x05, 0x60}));
    EXPECT_TRUE(fails({0x40, 0x02, 0x12, 0x60}));
}

TEST(BinaryConfig, DeepNestingIsBounded) {
    std::vector<uint8_t> deep;
    for (int i = 0; i < 100000; ++i) {
        deep.push_back(0x40);
        deep.push_back(0x01);
    }
    deep.push_back(0x60);
    EXPECT_TRUE(fails(deep));

    std::vector<uint8_t> allowed;
    for (int i = 0; i < BINARY_CONFIG_MAX_DEPTH; ++i) {
        allowed.push_back(0x40);
        allowed.push_back(0x01);
    }
    allowed.push_back(0x60);
    Json::Value value;
    EXPECT_TRUE(decode(allowed, value));
    allowed.insert(allowed.begin(), {0x40, 0x01});
    EXPECT_TRUE(fails(allowed));
}

TEST(BinaryConfig, StreamReadsWholeRequestsOnly) {
    std::vector<uint8_t> buffer{1, 2, 3};
    BufferStreamAdaptor stream(&buffer);
    uint8_t bytes[4] = {9, 9, 9, 9};
    EXPECT_EQ(0u, stream.read(bytes, 4));
    EXPECT_EQ(9, bytes[0]);
    EXPECT_EQ(2u, stream.read(bytes, 2));
    EXPECT_FALSE(stream.isEof());
    EXPECT_EQ(0u, stream.read(bytes, 2));
    EXPECT_EQ(1u, stream.read(bytes, 1));
    EXPECT_TRUE(stream.isEof());
    const uint8_t more[2] = {7, 8};
    EXPECT_EQ(2u, stream.write(more, 2));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 7, 8}), buffer);
    EXPECT_EQ(3u, stream.position());
    EXPECT_FALSE(stream.isEof());
}

TEST(BinaryConfig, EncoderRoundTripsRepresentativeDocuments) {
    Json::Value doc;
    doc["base"]["manufacture_id"] = 0x2A1B;
    doc["base"]["manufacture_name"] = "Acme Robotics";
    doc["base"]["robot_size"] = 0.34;
    doc["base"]["low_battery_auto_homing"] = true;
    doc["base"]["hardware_version"] = Json::Value(3000000000u);
    doc["base"]["model_id"] = -70000;
    Json::Value sensor;
    sensor["id"] = 0;
    sensor["type"] = "sonar";
    sensor["installation_pose"]["x"] = -0.12;
    sensor["installation_pose"]["yaw"] = "90 deg";
    doc["base"]["sensors"].append(sensor);
    doc["base"]["sensors"].append(Json::Value());
    doc["features"]["has_ir_docking_tower"] = false;
    for (const Json::Value& value : {doc, Json::Value(-129), Json::Value(-32769), Json::Value(65536),
                                     Json::Value(Json::arrayValue), Json::Value(std::string(255, 'x'))}) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(encodeBinaryConfig(value, bytes));
        Json::Value back;
        ASSERT_TRUE(decode(bytes, back));
        EXPECT_EQ(value, back) << value.toStyledString();
    }
}

TEST(BinaryConfig, EncoderPicksTheSmallestTag) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encodeBinaryConfig(Json::Value(200), bytes));
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0xC8}), bytes);
    ASSERT_TRUE(encodeBinaryConfig(Json::Value(-100), bytes));
    EXPECT_EQ((std::vector<uint8_t>{0x18, 0x9C}), bytes);
    ASSERT_TRUE(encodeBinaryConfig(Json::Value(-300), bytes));
    EXPECT_EQ((std::vector<uint8_t>{0x19, 0xD4, 0xFE}), bytes);
    ASSERT_TRUE(encodeBinaryConfig(Json::Value("stop"), bytes));
    EXPECT_EQ((std::vector<uint8_t>{0x31, 0x1D}), bytes);
}

TEST(BinaryConfig, EncoderRejectsWhatTheFormatCannotHold) {
    std::vector<uint8_t> bytes{1};
    Json::Value unknownKey;
    unknownKey["wheel_base"] = 1;
    EXPECT_FALSE(encodeBinaryConfig(unknownKey, bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(encodeBinaryConfig(Json::Value(std::string(256, 'x')), bytes));
    EXPECT_FALSE(encodeBinaryConfig(Json::Value(Json::Int64(1) << 40), bytes));
    EXPECT_FALSE(encodeBinaryConfig(Json::Value(Json::UInt64(1) << 33), bytes));
    Json::Value big(Json::arrayValue);
    big.resize(256);
    EXPECT_FALSE(encodeBinaryConfig(big, bytes));
}
