#include "protocol/encoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using params::EncClass;

namespace {

struct DecodeCase {
    EncClass cls;
    std::uint8_t hi, lo;
    float scale;
    double expected;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesRawBytes)
{
    const DecodeCase& c = GetParam();
    EXPECT_FLOAT_EQ(static_cast<float>(params::Decode(c.cls, c.hi, c.lo, c.scale)), static_cast<float>(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Classes, DecodeTest,
    ::testing::Values(
        // Negative temperatures are two's complement, divided by the scale.
        DecodeCase{EncClass::T, 0xFF, 0x38, 1.0f, -200.0}, DecodeCase{EncClass::T, 0xFF, 0x38, 10.0f, -20.0},
        DecodeCase{EncClass::T, 0x00, 0xFA, 10.0f, 25.0}, DecodeCase{EncClass::T, 0x00, 0xFA, 1.0f, 250.0},
        DecodeCase{EncClass::T, 0x80, 0x00, 10.0f, -3276.8}, DecodeCase{EncClass::T, 0x7F, 0xFF, 1.0f, 32767.0},
        // Tenths ignore the decimal point.
        DecodeCase{EncClass::D, 0x00, 0x63, 1.0f, 9.9}, DecodeCase{EncClass::D, 0x00, 0x63, 10.0f, 9.9},
        DecodeCase{EncClass::D, 0xFF, 0xCE, 1.0f, -5.0},
        // Integers are signed.
        DecodeCase{EncClass::I, 0x01, 0x2C, 10.0f, 300.0}, DecodeCase{EncClass::I, 0xFF, 0xFF, 10.0f, -1.0},
        // Byte codes drop the high byte.
        DecodeCase{EncClass::B, 0x01, 0x23, 1.0f, 35.0}, DecodeCase{EncClass::B, 0x00, 0xFF, 1.0f, 255.0}));

struct EncodeCase {
    EncClass cls;
    double value;
    float scale;
    std::uint16_t expected;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, EncodesDisplayValue)
{
    const EncodeCase& c = GetParam();
    EXPECT_EQ(params::Encode(c.cls, c.value, c.scale), c.expected) << c.value << " scale " << c.scale;
}

INSTANTIATE_TEST_SUITE_P(
    Classes, EncodeTest,
    ::testing::Values(
        EncodeCase{EncClass::T, 25.0, 1.0f, 0x0019}, EncodeCase{EncClass::T, 25.0, 10.0f, 0x00FA},
        EncodeCase{EncClass::T, 25.4, 1.0f, 0x0019},
        // 25.04 as the float a numeric control holds, one decimal shown.
        EncodeCase{EncClass::T, static_cast<double>(25.04f), 10.0f, 250},
        EncodeCase{EncClass::T, -10.0, 10.0f, 0xFF9C}, EncodeCase{EncClass::T, -5.0, 10.0f, 0xFFCE},
        // Past the register: only the low 16 bits travel.
        EncodeCase{EncClass::T, static_cast<double>(3276.8f), 10.0f, 0x8000},
        EncodeCase{EncClass::T, 100.0, 10.0f, 1000}, EncodeCase{EncClass::T, 100.0, 1.0f, 100},
        // Halves go to the even neighbour.
        EncodeCase{EncClass::T, 2.5, 1.0f, 2}, EncodeCase{EncClass::T, 3.5, 1.0f, 4},
        EncodeCase{EncClass::T, -2.5, 1.0f, 0xFFFE},
        EncodeCase{EncClass::D, static_cast<double>(9.9f), 1.0f, 99},
        EncodeCase{EncClass::D, static_cast<double>(9.9f), 10.0f, 99},
        EncodeCase{EncClass::D, static_cast<double>(12.3f), 1.0f, 123},
        EncodeCase{EncClass::D, static_cast<double>(12.34f), 1.0f, 123},
        EncodeCase{EncClass::D, -5.0, 1.0f, 0xFFCE},
        EncodeCase{EncClass::I, 300, 10.0f, 0x012C}, EncodeCase{EncClass::I, 7, 10.0f, 0x0007},
        EncodeCase{EncClass::I, -1, 10.0f, 0xFFFF},
        // Selections above 255 lose their high byte.
        EncodeCase{EncClass::B, 0x0102, 1.0f, 0x0002}, EncodeCase{EncClass::B, 0x0101, 1.0f, 0x0001},
        EncodeCase{EncClass::B, 31, 1.0f, 31}, EncodeCase{EncClass::B, 30, 10.0f, 0x001E}));

TEST(TempScale, OnlyCode30IsWholeUnits)
{
    EXPECT_EQ(params::TempScaleFor(30), 1.0f);
    EXPECT_EQ(params::PrecisionFor(30), 0);
    for (int code : {0, 29, 31, 32, 255, -1}) {
        EXPECT_EQ(params::TempScaleFor(code), 10.0f) << code;
        EXPECT_EQ(params::PrecisionFor(code), 1) << code;
    }
}

TEST(TempScale, SameRawReadsDifferentlyAfterCodeChange)
{
    EXPECT_FLOAT_EQ(static_cast<float>(params::Decode(EncClass::T, 0x00, 0xFA, params::TempScaleFor(30))), 250.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(params::Decode(EncClass::T, 0x00, 0xFA, params::TempScaleFor(31))), 25.0f);
}

TEST(AlarmSwitch, OnlySevenIsOff)
{
    EXPECT_EQ(params::AlarmWatchFromByte(7), 0);
    for (int b : {8, 0, 255, 6, 0x17})
        EXPECT_EQ(params::AlarmWatchFromByte(static_cast<std::uint8_t>(b)), 1) << b;
}

TEST(AlarmSwitch, WritesInOrder)
{
    const auto on = params::AlarmSwitchWritesFor(true);
    const auto off = params::AlarmSwitchWritesFor(false);
    const std::uint16_t regs[4] = {0x001C, 0x0023, 0x0020, 0x0027};
    const std::uint16_t onValues[4] = {8, 9, 21, 21};
    const std::uint16_t offValues[4] = {7, 7, 20, 20};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(on.w[i].reg, regs[i]);
        EXPECT_EQ(on.w[i].value, onValues[i]);
        EXPECT_EQ(off.w[i].reg, regs[i]);
        EXPECT_EQ(off.w[i].value, offValues[i]);
    }
}

TEST(RegisterFit, BoundariesOfSignedSixteenBits)
{
    EXPECT_TRUE(params::FitsRegister(EncClass::T, static_cast<double>(3276.7f), 10.0f));
    EXPECT_FALSE(params::FitsRegister(EncClass::T, static_cast<double>(3276.8f), 10.0f));
    EXPECT_TRUE(params::FitsRegister(EncClass::T, static_cast<double>(-3276.8f), 10.0f));
    EXPECT_FALSE(params::FitsRegister(EncClass::T, static_cast<double>(-3276.9f), 10.0f));
    EXPECT_TRUE(params::FitsRegister(EncClass::T, 32767.0, 1.0f));
    EXPECT_FALSE(params::FitsRegister(EncClass::T, 32768.0, 1.0f));
    // 32767.5 rounds to the even 32768.
    EXPECT_FALSE(params::FitsRegister(EncClass::T, 32767.5, 1.0f));
    EXPECT_TRUE(params::FitsRegister(EncClass::T, -32768.4, 1.0f));
    EXPECT_TRUE(params::FitsRegister(EncClass::D, 3276.7, 1.0f));
    EXPECT_FALSE(params::FitsRegister(EncClass::D, 3276.8, 1.0f));
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(params::FitsRegister(EncClass::T, inf, 10.0f));
    EXPECT_FALSE(params::FitsRegister(EncClass::D, std::nan(""), 10.0f));
    EXPECT_FALSE(params::FitsRegister(EncClass::T, 1e30, 10.0f));
    EXPECT_EQ(params::Encode(EncClass::T, inf, 10.0f), 0);
    EXPECT_EQ(params::ScaledValue(EncClass::T, static_cast<double>(3276.8f), 10.0f), 32768);
}

TEST(RegisterFit, LimitsShownToTheOperator)
{
    EXPECT_DOUBLE_EQ(params::LowestDisplayValue(EncClass::T, 10.0f), -3276.8);
    EXPECT_DOUBLE_EQ(params::HighestDisplayValue(EncClass::T, 10.0f), 3276.7);
    EXPECT_DOUBLE_EQ(params::HighestDisplayValue(EncClass::T, 1.0f), 32767.0);
    EXPECT_DOUBLE_EQ(params::HighestDisplayValue(EncClass::D, 1.0f), 3276.7);
}

TEST(RegisterMap, PidRegisters)
{
    EXPECT_EQ(params::reg::PidRegister(1, 1), 0x0003);
    EXPECT_EQ(params::reg::PidRegister(1, 6), 0x0008);
    EXPECT_EQ(params::reg::PidRegister(2, 6), 0x000E);
    EXPECT_EQ(params::reg::PidRegister(3, 2), 0x0010);
    EXPECT_EQ(params::reg::PidRegister(4, 1), 0x0015);
    EXPECT_EQ(params::reg::PidRegister(4, 5), 0x0019);
}

} // namespace
