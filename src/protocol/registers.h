// The controller's register map: every register the system uses, its name
// for messages, and, for parameters, the encoding class and the readable name
// scripts use. The one place register numbers are written down. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tecreg {

enum class EncClass {
    T,  // temperature: signed 16-bit, divided by tempScale
    D,  // tenths: signed 16-bit, divided by 10
    I,  // integer: signed 16-bit as is
    B,  // byte code: low byte only
};

// Holding registers of the parameters.
constexpr std::uint16_t kSetValue = 0x0000;
constexpr std::uint16_t kOutputLevel = 0x0001;
constexpr std::uint16_t kCtrlFunc = 0x0002;  // control function; 5 starts the step program, 0 stops it
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
constexpr std::uint16_t kTolBand = 0x0036;       // step program's tolerance band
constexpr std::uint16_t kFirstStep = 0x0037;     // then five registers per step
constexpr std::uint16_t kKeypad = 0x005F;
// Live values and identity.
constexpr std::uint16_t kPv = 0x1000;
constexpr std::uint16_t kWorkingSv = 0x1001;
constexpr std::uint16_t kStatus = 0x1003;        // high byte run mode, low byte segment code or alarm bits
constexpr std::uint16_t kIdentity = 0x1F00;      // high byte model code, low byte identity

// Register of PID term t (1..5) or the boundary (t = 6, sets 1..3) of set n (1..4).
constexpr std::uint16_t PidRegister(int n, int t) { return static_cast<std::uint16_t>(kPidSet1 + 6 * (n - 1) + (t - 1)); }

// "0x002A (decimal point)"; registers without a name give the hex number alone.
std::string RegisterName(std::uint16_t reg);

// A parameter a script can name ("sv", "alarm-high", "pid2.p", "unit").
struct NamedParameter {
    std::string name;
    std::uint16_t reg;
    EncClass cls;
    const char* unit;  // "temperature", "%", "s", "" (code or plain number)
};
// Every parameter that can be read or written one at a time, in read-all order.
const std::vector<NamedParameter>& NamedParameters();
// The parameter of that name, or nullptr.
const NamedParameter* FindParameter(const std::string& name);

} // namespace tecreg
