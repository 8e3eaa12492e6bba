// The register map's encoding classes and the decimal-point rule. Pure.
#pragma once

#include <cstdint>

namespace params {

enum class EncClass {
    T,  // temperature: signed 16-bit, divided by tempScale
    D,  // tenths: signed 16-bit, divided by 10
    I,  // integer: signed 16-bit as is
    B,  // byte code: low byte only
};

// 1.0 for decimal-point code 30, 10.0 for every other code.
float TempScaleFor(int decimalPnt);
// Display precision for a decimal-point code: 0 for 30, 1 otherwise.
int PrecisionFor(int decimalPnt);

// Display value of a raw register value (high, low bytes) for the class.
double Decode(EncClass cls, std::uint8_t hi, std::uint8_t lo, float tempScale);
// The 16-bit register value for a display value: T and D rounded with
// RoundRealToNearestInteger and cut to their low 16 bits, I as a signed
// 16-bit value, B as its low byte.
std::uint16_t Encode(EncClass cls, double value, float tempScale);
// The scaled integer before it is cut to 16 bits (for range checks).
long ScaledValue(EncClass cls, double value, float tempScale);
// True when the scaled value fits a signed 16-bit register (-32768..32767).
bool FitsRegister(EncClass cls, double value, float tempScale);

} // namespace params
