// The register map's encoding classes and the decimal-point rule. Pure.
#pragma once

#include "protocol/registers.h"

#include <cstdint>

namespace params {

using tecreg::EncClass;
// Holding registers, from the register map.
namespace reg = tecreg;

// The decimal-point code of whole units.
constexpr int kWholeUnits = 30;

// 1.0 for decimal-point code 30, 10.0 for every other code.
float TempScaleFor(int decimalPnt);
// Display precision for a decimal-point code: 0 for 30, 1 otherwise.
int PrecisionFor(int decimalPnt);

// Rounds to the nearest integer, halves to the even neighbour (the run-time's
// RoundRealToNearestInteger, without depending on it).
double RoundHalfEven(double value);

// Display value of a raw register value (high, low bytes) for the class.
double Decode(EncClass cls, std::uint8_t hi, std::uint8_t lo, float tempScale);
// The 16-bit register value for a display value: T and D rounded with
// RoundRealToNearestInteger and cut to their low 16 bits, I as a signed
// 16-bit value, B as its low byte. A value that is not finite encodes as 0.
std::uint16_t Encode(EncClass cls, double value, float tempScale);
// The scaled integer before it is cut to 16 bits (for range checks). Values
// beyond any register (and non-finite ones) saturate at the long limits.
long ScaledValue(EncClass cls, double value, float tempScale);
// True when the scaled value fits a signed 16-bit register (-32768..32767).
bool FitsRegister(EncClass cls, double value, float tempScale);
// The smallest and largest display values whose scaled number fits a
// register of the class (for the operator's range messages).
double LowestDisplayValue(EncClass cls, float tempScale);
double HighestDisplayValue(EncClass cls, float tempScale);

// alarmWatch from the low byte of register 0x001C: 7 is off, anything else on.
std::uint16_t AlarmWatchFromByte(std::uint8_t lo);

// The four alarm-mode writes for a switch state, in the order they are sent.
struct RegisterWrite {
    std::uint16_t reg;
    std::uint16_t value;
};
struct AlarmSwitchWrites {
    RegisterWrite w[4];
};
AlarmSwitchWrites AlarmSwitchWritesFor(bool on);

} // namespace params
