// The request frame, its CRC and the checks on answers. Pure functions on
// bytes: no port, no Qt.
//
// The controller speaks a Modbus RTU dialect: every request is 8 bytes, and
// its answer to a read of n registers carries two extra bytes before the data
// (2n + 6 bytes in all), so a generic Modbus reply parser does not fit.
#pragma once

#include <cstdint>

// The controller link's namespace is `comlink`, not `link`: POSIX <unistd.h>
// (pulled in by the C++20 standard library) declares a global function
// link(), and a global namespace of the same name cannot coexist with it.
namespace comlink {

enum : std::uint8_t { FN_READ = 0x03, FN_WRITE = 0x06 };

struct Crc {
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;
};

// CRC-16/Modbus over the first n bytes (n at most 255).
Crc CalcCRC16(const std::uint8_t* bytes, int n);

// The 8-byte request.
struct ModbusFrame {
    std::uint8_t b[8] = {0x01, 0, 0, 0, 0, 0, 0, 0};
    // Puts the CRC of bytes 0..5 into bytes 6 (low) and 7 (high).
    void seal();
    // Sets the controller's address (byte 0) and reseals.
    void setAddress(std::uint8_t address);
    // Sets register (bytes 2, 3) and value or count (bytes 4, 5) and reseals.
    void setRegister(std::uint16_t reg);
    void setValue(std::uint16_t value);
};

ModbusFrame ReadFrame(std::uint8_t address, std::uint16_t reg, std::uint16_t count);
ModbusFrame WriteFrame(std::uint8_t address, std::uint16_t reg, std::uint16_t value);

// Answer length of a read of n registers in this dialect: 2n + 6.
constexpr int ReadAnswerLength(int registers) { return 2 * registers + 6; }

// True when the answer has exactly `expected` bytes and its last two bytes are
// the CRC (low, high) of the bytes before them.
bool AnswerIsGood(const std::uint8_t* answer, int count, int expected);
// True when the bytes so far form an exception answer: function + 0x80 in
// byte 1, either the standard 5-byte form (address, function, code, CRC) or
// the dialect's 8-byte form, each with a good CRC.
bool IsExceptionAnswer(const std::uint8_t* answer, int count);
// Completion test for a read: done at `expected` bytes, or as soon as the
// bytes form a 5-byte exception answer.
bool AnswerComplete(const std::uint8_t* answer, int count, int expected);

// Register value k of a read answer: bytes 4 + 2k (high) and 5 + 2k (low).
inline std::uint16_t RegisterValue(const std::uint8_t* answer, int k)
{
    return static_cast<std::uint16_t>((answer[4 + 2 * k] << 8) | answer[5 + 2 * k]);
}

} // namespace comlink
