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

// Holding registers of the parameters.
namespace reg {
constexpr std::uint16_t kSetValue = 0x0000;
constexpr std::uint16_t kOutputLevel = 0x0001;
constexpr std::uint16_t kCtrlFunc = 0x0002;
constexpr std::uint16_t kPidSet1 = 0x0003;   // first register of PID set 1; each set is 6 registers apart
constexpr std::uint16_t kAlarmHigh = 0x001A;
constexpr std::uint16_t kAlarmSwitch = 0x001C;
constexpr std::uint16_t kAlarmComp20 = 0x0020;
constexpr std::uint16_t kAlarmLow = 0x0021;
constexpr std::uint16_t kAlarmComp23 = 0x0023;
constexpr std::uint16_t kAlarmComp27 = 0x0027;
constexpr std::uint16_t kSensorType = 0x0028;
constexpr std::uint16_t kCfUnit = 0x0029;
constexpr std::uint16_t kDecimalPnt = 0x002A;
constexpr std::uint16_t kDirRev = 0x002B;
constexpr std::uint16_t kRangeLow = 0x002C;
constexpr std::uint16_t kRangeHigh = 0x002D;
constexpr std::uint16_t kReg30 = 0x0030;
constexpr std::uint16_t kReg31 = 0x0031;
constexpr std::uint16_t kSwFilter = 0x0032;
constexpr std::uint16_t kTolBand = 0x0036;
constexpr std::uint16_t kKeypad = 0x005F;
constexpr std::uint16_t kStatus = 0x1003;

// Register of PID term t (1..5) or the boundary (t = 6, sets 1..3) of set n (1..4).
constexpr std::uint16_t PidRegister(int n, int t) { return static_cast<std::uint16_t>(kPidSet1 + 6 * (n - 1) + (t - 1)); }
} // namespace reg

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
