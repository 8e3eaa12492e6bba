#include "protocol/encoding.h"

#include <cfenv>
#include <climits>
#include <cmath>

namespace params {

float TempScaleFor(int decimalPnt)
{
    return decimalPnt == kWholeUnits ? 1.0f : 10.0f;
}

int PrecisionFor(int decimalPnt)
{
    return decimalPnt == kWholeUnits ? 0 : 1;
}

double RoundHalfEven(double value)
{
    // nearbyint honours the current rounding mode; nothing in this program
    // changes it from round-to-nearest-even, but be explicit about the demand.
    const int mode = std::fegetround();
    if (mode != FE_TONEAREST)
        std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    if (mode != FE_TONEAREST)
        std::fesetround(mode);
    return r;
}

double Decode(EncClass cls, std::uint8_t hi, std::uint8_t lo, float tempScale)
{
    const auto raw = static_cast<std::int16_t>(static_cast<std::uint16_t>((hi << 8) | lo));
    switch (cls) {
    case EncClass::T:
        // Stored as a 32-bit float, so divide in float as the stored value will be.
        return static_cast<float>(raw) / tempScale;
    case EncClass::D:
        return static_cast<float>(raw / 10.0);
    case EncClass::I:
        return raw;
    case EncClass::B:
        return lo;
    }
    return 0;
}

static double Scaled(EncClass cls, double value, float tempScale)
{
    switch (cls) {
    case EncClass::T:
        return RoundHalfEven(value * static_cast<double>(tempScale));
    case EncClass::D:
        return RoundHalfEven(value * 10.0);
    case EncClass::I:
    case EncClass::B:
        return std::trunc(value);
    }
    return 0;
}

long ScaledValue(EncClass cls, double value, float tempScale)
{
    if (std::isnan(value))
        return LONG_MIN;
    const double s = Scaled(cls, value, tempScale);
    if (s >= 9.0e18)
        return LONG_MAX;
    if (s <= -9.0e18)
        return LONG_MIN;
    return static_cast<long>(s);
}

std::uint16_t Encode(EncClass cls, double value, float tempScale)
{
    if (!std::isfinite(value))
        return 0;
    const long s = ScaledValue(cls, value, tempScale);
    if (cls == EncClass::B)
        return static_cast<std::uint16_t>(static_cast<unsigned long>(s) & 0xFFu);
    return static_cast<std::uint16_t>(static_cast<unsigned long>(s) & 0xFFFFu);
}

bool FitsRegister(EncClass cls, double value, float tempScale)
{
    if (!std::isfinite(value))
        return false;
    const long s = ScaledValue(cls, value, tempScale);
    return s >= -32768 && s <= 32767;
}

static double Divisor(EncClass cls, float tempScale)
{
    switch (cls) {
    case EncClass::T:
        return tempScale;
    case EncClass::D:
        return 10.0;
    default:
        return 1.0;
    }
}

double LowestDisplayValue(EncClass cls, float tempScale)
{
    return -32768.0 / Divisor(cls, tempScale);
}

double HighestDisplayValue(EncClass cls, float tempScale)
{
    return 32767.0 / Divisor(cls, tempScale);
}

std::uint16_t AlarmWatchFromByte(std::uint8_t lo)
{
    return lo == 7 ? 0 : 1;
}

AlarmSwitchWrites AlarmSwitchWritesFor(bool on)
{
    if (on)
        return {{{reg::kAlarmSwitch, 8}, {reg::kAlarmComp23, 9}, {reg::kAlarmComp20, 21}, {reg::kAlarmComp27, 21}}};
    return {{{reg::kAlarmSwitch, 7}, {reg::kAlarmComp23, 7}, {reg::kAlarmComp20, 20}, {reg::kAlarmComp27, 20}}};
}

} // namespace params
