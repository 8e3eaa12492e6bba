// Request frames, CRC and answer checks: bytes in, bytes out.
#include "protocol/modbus.h"
#include "support/hex.h"

#include <gtest/gtest.h>

namespace {

using comlink::CalcCRC16;

struct CrcCase {
    const char* frame;
    std::uint8_t lo, hi;
};

class CrcWorkedValues : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CrcWorkedValues, MatchTheController)
{
    const auto bytes = Bytes(GetParam().frame);
    const comlink::Crc crc = CalcCRC16(bytes.data(), 6);
    EXPECT_EQ(crc.lo, GetParam().lo);
    EXPECT_EQ(crc.hi, GetParam().hi);
}

INSTANTIATE_TEST_SUITE_P(Frames, CrcWorkedValues,
                         ::testing::Values(CrcCase{"01 03 1F 00 00 01", 0x83, 0xDE},
                                           CrcCase{"01 06 00 02 00 00", 0x28, 0x0A},
                                           CrcCase{"01 03 10 00 00 01", 0x80, 0xCA}));

TEST(ModbusFrame, IdentityRequestOnTheWire)
{
    const comlink::ModbusFrame f = comlink::ReadFrame(1, 0x1F00, 1);
    EXPECT_EQ(Hex(f.b, 8), "01 03 1F 00 00 01 83 DE");
}

TEST(ModbusFrame, OnlyTheLowByteOfTheAddressIsSent)
{
    const comlink::ModbusFrame f = comlink::ReadFrame(0x0105, 0x1F00, 1);
    EXPECT_EQ(f.b[0], 0x05);
    const comlink::ModbusFrame same = comlink::ReadFrame(5, 0x1F00, 1);
    EXPECT_EQ(Hex(f.b, 8), Hex(same.b, 8));
}

TEST(ModbusFrame, ChangingBytesReseals)
{
    comlink::ModbusFrame f = comlink::WriteFrame(1, 0x0002, 0);
    EXPECT_EQ(Hex(f.b, 8), "01 06 00 02 00 00 28 0A");
    f.setRegister(0x1000);
    f.setValue(1);
    f.b[1] = comlink::FN_READ;
    f.seal();
    EXPECT_EQ(Hex(f.b, 8), "01 03 10 00 00 01 80 CA");
}

TEST(AnswerCheck, StandardSevenByteReadAnswerFails)
{
    // Standard Modbus: address, function, byte count, value, CRC at 5 and 6.
    std::vector<std::uint8_t> a = Bytes("01 03 02 00 FA");
    const comlink::Crc crc = CalcCRC16(a.data(), 5);
    a.push_back(crc.lo);
    a.push_back(crc.hi);
    EXPECT_FALSE(comlink::AnswerIsGood(a.data(), 7, 8));
    // Padded with a zero (a cleared buffer) its CRC happens to check out over
    // six bytes, which is why the count must be exactly 8 as well.
    a.push_back(0);
    EXPECT_TRUE(comlink::AnswerIsGood(a.data(), 8, 8));
}

TEST(AnswerCheck, DialectAnswerOfSixRegisters)
{
    std::vector<std::uint8_t> a = Bytes("01 03 00 0C 00 0A 00 14 FF FE 00 01 7F FF 80 00");
    const comlink::Crc crc = CalcCRC16(a.data(), 16);
    a.push_back(crc.lo);
    a.push_back(crc.hi);
    ASSERT_EQ(static_cast<int>(a.size()), comlink::ReadAnswerLength(6));
    EXPECT_TRUE(comlink::AnswerIsGood(a.data(), 18, 18));
    EXPECT_EQ(comlink::RegisterValue(a.data(), 0), 0x000A);
    EXPECT_EQ(static_cast<std::int16_t>(comlink::RegisterValue(a.data(), 2)), -2);
    EXPECT_EQ(comlink::RegisterValue(a.data(), 5), 0x8000);
    a[9] ^= 0x01;
    EXPECT_FALSE(comlink::AnswerIsGood(a.data(), 18, 18));
}

TEST(AnswerCheck, ExceptionForms)
{
    std::vector<std::uint8_t> five = Bytes("01 86 02");
    const comlink::Crc c5 = CalcCRC16(five.data(), 3);
    five.push_back(c5.lo);
    five.push_back(c5.hi);
    EXPECT_TRUE(comlink::IsExceptionAnswer(five.data(), 5));
    EXPECT_TRUE(comlink::AnswerComplete(five.data(), 5, 8));
    EXPECT_FALSE(comlink::AnswerComplete(five.data(), 4, 8));

    std::vector<std::uint8_t> eight = Bytes("01 86 00 02 00 00");
    const comlink::Crc c8 = CalcCRC16(eight.data(), 6);
    eight.push_back(c8.lo);
    eight.push_back(c8.hi);
    EXPECT_TRUE(comlink::IsExceptionAnswer(eight.data(), 8));

    // A normal write echo is no refusal.
    const comlink::ModbusFrame echo = comlink::WriteFrame(1, 0x0002, 0);
    EXPECT_FALSE(comlink::IsExceptionAnswer(echo.b, 8));
}

} // namespace
