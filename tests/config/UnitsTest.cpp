#include <gtest/gtest.h>

#include <stdexcept>

#include "config/Units.h"

using namespace nivo::system::config;

namespace {

double asDouble(const std::string& text) {
    double value = -12345.0;
    EXPECT_TRUE(parseDoubleWithUnits(text, value)) << text;
    return value;
}

int32_t asInt(const std::string& text) {
    int32_t value = -12345;
    EXPECT_TRUE(parseIntWithUnits(text, value)) << text;
    return value;
}

bool parsesAsDouble(const std::string& text) {
    double value = 0.0;
    return parseDoubleWithUnits(text, value);
}

bool parsesAsInt(const std::string& text) {
    int32_t value = 0;
    return parseIntWithUnits(text, value);
}

}  // namespace

TEST(Units, LengthsConvertToMetresAndIntegersTruncate) {
    EXPECT_DOUBLE_EQ(0.25, asDouble("250 mm"));
    EXPECT_EQ(0, asInt("250 mm"));
    EXPECT_EQ(1, asInt("1500mm"));
    EXPECT_DOUBLE_EQ(-0.9144, asDouble("-3 foot"));
    EXPECT_EQ(-1, asInt("-1500 mm"));  // toward zero, not down
    EXPECT_DOUBLE_EQ(1609.344, asDouble("1 mile"));
    EXPECT_DOUBLE_EQ(0.34, asDouble("34 cm"));
}

TEST(Units, AnglesUseTheTableRatios) {
    EXPECT_NEAR(1.570796325, asDouble("90 deg"), 1e-12);
    EXPECT_NEAR(1.570796325, asDouble("90 degree"), 1e-12);
    EXPECT_EQ(1, asInt("90 deg"));
    EXPECT_NEAR(1.570796326795, asDouble("0.5 pi"), 1e-12);
    EXPECT_NEAR(6.2831853, asDouble("360 deg"), 1e-7);
}

TEST(Units, CompoundUnitsMultiplyAndDivide) {
    EXPECT_NEAR(2000.0 / 3600.0, asDouble("2 km/hour"), 1e-15);
    EXPECT_DOUBLE_EQ(0.5, asDouble("0.5 m/s"));
    EXPECT_EQ(3, asInt("10800 s/hour"));
}

TEST(Units, OperatorStaysInForceUntilTheNextOne) {
    // Both the milliseconds and the minute divide.
    EXPECT_NEAR(1000.0 / 0.06, asDouble("1 km/ms minute"), 1e-6);
    EXPECT_EQ(16666, asInt("1 km/ms minute"));
    // "*" switches back to multiplying.
    EXPECT_DOUBLE_EQ(0.001, asDouble("1 m/s*ms"));
    EXPECT_DOUBLE_EQ(1.0, asDouble("1000 g*m"));
}

TEST(Units, MassesAndTemperatures) {
    EXPECT_DOUBLE_EQ(1.0, asDouble("1 kg"));
    EXPECT_DOUBLE_EQ(0.5, asDouble("500 g"));
    EXPECT_NEAR(50.0 / 9.0, asDouble("10 fahrenheit"), 1e-12);
    EXPECT_DOUBLE_EQ(10.0, asDouble("10 celsius"));
    EXPECT_FALSE(parsesAsDouble("1 m/celsius"));
    EXPECT_FALSE(parsesAsInt("1 m/fahrenheit"));
}

TEST(Units, MalformedTextsFail) {
    for (const char* text : {"10 m2", "10 parsec", "m", "1e3", "1 m / s", "1 m/", "1 *", "1.5.5", "1-2", "-", ".",
                             "1 M", "1 m*/s", "x1"}) {
        EXPECT_FALSE(parsesAsDouble(text)) << text;
    }
    EXPECT_TRUE(parsesAsDouble("1 m /s"));
    EXPECT_TRUE(parsesAsDouble("1 m/s"));
    EXPECT_FALSE(parsesAsInt("1.5"));
    EXPECT_FALSE(parsesAsInt("0.5 m/s"));
}

TEST(Units, BlankTextIsZero) {
    EXPECT_EQ(0, asInt(""));
    EXPECT_EQ(0, asInt("   "));
    EXPECT_DOUBLE_EQ(0.0, asDouble("\t "));
    EXPECT_DOUBLE_EQ(0.5, asDouble(".5"));
    EXPECT_DOUBLE_EQ(7.0, asDouble("+7"));
}

TEST(Units, QuantityGrammarSplitsNumberAndUnits) {
    std::string number;
    std::vector<UnitId> numerator;
    std::vector<UnitId> denominator;
    ASSERT_TRUE(parseQuantity("  12.5km*kg/s hour", number, numerator, denominator));
    EXPECT_EQ("12.5", number);
    EXPECT_EQ((std::vector<UnitId>{5, 13}), numerator);
    EXPECT_EQ((std::vector<UnitId>{19, 23}), denominator);
}

TEST(Units, IntegerOverflowIsRejectedNotWrapped) {
    // 10^10 * 314159265359 leaves 64 bits.
    EXPECT_FALSE(parsesAsInt("10000000000 pi"));
    EXPECT_FALSE(parsesAsInt("99999999999999999999"));  // number itself too long
    EXPECT_FALSE(parsesAsInt("3000000000"));             // fits 64, not 32 bits
    EXPECT_FALSE(parsesAsInt("-3 day day day day"));
    EXPECT_EQ(INT32_MAX, asInt("2147483647"));
    EXPECT_EQ(INT32_MIN, asInt("-2147483648"));
    EXPECT_EQ(86400, asInt("1 day"));
}

TEST(Units, NonFiniteRealResultsAreRejected) {
    EXPECT_FALSE(parsesAsDouble(std::string(400, '9')));
    EXPECT_FALSE(parsesAsDouble("1" + std::string(300, '0') + " km km km"));
    float f = 0.0f;
    EXPECT_FALSE(parseFloatWithUnits("1" + std::string(40, '0'), f));  // beyond float
    EXPECT_TRUE(parseFloatWithUnits("250 mm", f));
    EXPECT_FLOAT_EQ(0.25f, f);
}

TEST(Units, FailureLeavesTheTargetUntouched) {
    int32_t i = 77;
    double d = 77.0;
    EXPECT_FALSE(parseIntWithUnits("10 parsec", i));
    EXPECT_FALSE(parseDoubleWithUnits("10 parsec", d));
    EXPECT_EQ(77, i);
    EXPECT_EQ(77.0, d);
}

TEST(Units, LookupAndRatioTables) {
    UnitId id = -1;
    EXPECT_TRUE(lookupUnit("deg", id));
    EXPECT_EQ(11, id);
    EXPECT_TRUE(lookupUnit("cd", id));
    EXPECT_EQ(32, id);
    EXPECT_FALSE(lookupUnit("", id));
    EXPECT_FALSE(lookupUnit("Deg", id));
    for (UnitId unit = 0; unit < UNIT_COUNT; ++unit) {
        const auto exact = unitRatio(unit);
        const auto real = unitRatioReal(unit);
        EXPECT_EQ(static_cast<double>(exact.first), real.first) << unit;
        EXPECT_EQ(static_cast<double>(exact.second), real.second) << unit;
    }
    EXPECT_EQ((std::pair<int64_t, int64_t>{5, 9}), unitRatio(30));
    try {
        unitRatio(33);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("invalid unit", e.what());
    }
    EXPECT_THROW(unitRatioReal(33), std::invalid_argument);
    EXPECT_THROW(unitRatio(-1), std::invalid_argument);
}
