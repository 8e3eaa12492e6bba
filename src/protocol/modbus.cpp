#include "protocol/modbus.h"

namespace comlink {

Crc CalcCRC16(const std::uint8_t* bytes, int n)
{
    std::uint32_t crc = 0xFFFF;
    for (int i = 0; i < (n & 0xFF); ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = crc & 1u;
            crc >>= 1;
            if (lsb)
                crc ^= 0xA001;
        }
    }
    return Crc{static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};
}

void ModbusFrame::seal()
{
    const Crc crc = CalcCRC16(b, 6);
    b[6] = crc.lo;
    b[7] = crc.hi;
}

void ModbusFrame::setAddress(std::uint8_t address)
{
    b[0] = address;
    seal();
}

void ModbusFrame::setRegister(std::uint16_t reg)
{
    b[2] = static_cast<std::uint8_t>(reg >> 8);
    b[3] = static_cast<std::uint8_t>(reg & 0xFF);
    seal();
}

void ModbusFrame::setValue(std::uint16_t value)
{
    b[4] = static_cast<std::uint8_t>(value >> 8);
    b[5] = static_cast<std::uint8_t>(value & 0xFF);
    seal();
}

static ModbusFrame MakeFrame(std::uint8_t address, std::uint8_t function, std::uint16_t reg, std::uint16_t value)
{
    ModbusFrame f;
    f.b[0] = address;
    f.b[1] = function;
    f.b[2] = static_cast<std::uint8_t>(reg >> 8);
    f.b[3] = static_cast<std::uint8_t>(reg & 0xFF);
    f.b[4] = static_cast<std::uint8_t>(value >> 8);
    f.b[5] = static_cast<std::uint8_t>(value & 0xFF);
    f.seal();
    return f;
}

ModbusFrame ReadFrame(std::uint8_t address, std::uint16_t reg, std::uint16_t count)
{
    return MakeFrame(address, FN_READ, reg, count);
}

ModbusFrame WriteFrame(std::uint8_t address, std::uint16_t reg, std::uint16_t value)
{
    return MakeFrame(address, FN_WRITE, reg, value);
}

static bool CrcAt(const std::uint8_t* bytes, int dataLength)
{
    const Crc crc = CalcCRC16(bytes, dataLength);
    return bytes[dataLength] == crc.lo && bytes[dataLength + 1] == crc.hi;
}

bool AnswerIsGood(const std::uint8_t* answer, int count, int expected)
{
    return count == expected && expected >= 3 && CrcAt(answer, expected - 2);
}

bool IsExceptionAnswer(const std::uint8_t* answer, int count)
{
    if (count < 5 || (answer[1] & 0x80) == 0)
        return false;
    if (count == 5)
        return CrcAt(answer, 3);
    if (count == 8)
        return CrcAt(answer, 6) || CrcAt(answer, 3);
    return CrcAt(answer, 3);
}

bool AnswerComplete(const std::uint8_t* answer, int count, int expected)
{
    if (count >= expected)
        return true;
    // A refusal in the standard 5-byte form ends the read as soon as it is whole;
    // otherwise an 8-byte refusal arrives as an ordinary 8-byte answer.
    return count == 5 && expected > 5 && (answer[1] & 0x80) != 0 && CrcAt(answer, 3);
}

} // namespace comlink
