#include "protocol/registers.h"

#include <cstdio>

namespace tecreg {

std::string RegisterName(std::uint16_t reg)
{
    struct Named {
        std::uint16_t reg;
        const char* name;
    };
    static const Named kNames[] = {
        {kSetValue, "set value"},        {kOutputLevel, "output level"},     {kCtrlFunc, "control function"},
        {kAlarmHigh, "high alarm"},      {kAlarmSwitch, "alarm switch"},     {kAlarmComp20, "alarm switch"},
        {kAlarmLow, "low alarm"},        {kAlarmComp23, "alarm switch"},     {kAlarmComp27, "alarm switch"},
        {kSensorType, "sensor type"},    {kCfUnit, "temperature unit"},      {kDecimalPnt, "decimal point"},
        {kDirRev, "hot/cold direction"}, {kRangeLow, "range low"},           {kRangeHigh, "range high"},
        {kReg30, "sensor setting 30"},   {kReg31, "sensor setting 31"},      {kSwFilter, "SW filter"},
        {kTolBand, "tolerance band"},    {kKeypad, "keypad enable"},         {kPv, "process value"},
        {kWorkingSv, "working set value"}, {kStatus, "status word"},         {kIdentity, "controller identity"},
    };
    std::string name;
    for (const Named& n : kNames) {
        if (n.reg == reg) {
            name = n.name;
            break;
        }
    }
    if (name.empty()) {
        if (reg >= kPidSet1 && reg <= PidRegister(4, 5)) {
            const int set = (reg - kPidSet1) / 6 + 1;
            const int term = (reg - kPidSet1) % 6 + 1;
            name = term == 6 ? "PID set " + std::to_string(set) + " boundary"
                             : "PID set " + std::to_string(set) + " term " + std::to_string(term);
        } else if (reg >= kFirstStep && reg < kFirstStep + 40) {
            name = "step " + std::to_string((reg - kFirstStep) / 5 + 1);
        }
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(reg));
    return name.empty() ? std::string(hex) : std::string(hex) + " (" + name + ")";
}

const std::vector<NamedParameter>& NamedParameters()
{
    static const std::vector<NamedParameter> kList = [] {
        std::vector<NamedParameter> v = {
            {"decimal-point", kDecimalPnt, EncClass::B, ""},
            {"sv", kSetValue, EncClass::T, "temperature"},
            {"alarm-high", kAlarmHigh, EncClass::T, "temperature"},
            {"alarm-low", kAlarmLow, EncClass::T, "temperature"},
            {"output", kOutputLevel, EncClass::D, "%"},
            {"function", kCtrlFunc, EncClass::B, ""},
        };
        for (int n = 1; n <= 4; ++n) {
            const std::string p = "pid" + std::to_string(n) + ".";
            v.push_back({p + "p", PidRegister(n, 1), EncClass::D, "%"});
            v.push_back({p + "i", PidRegister(n, 2), EncClass::I, "s"});
            v.push_back({p + "d", PidRegister(n, 3), EncClass::I, "s"});
            v.push_back({p + "t4", PidRegister(n, 4), EncClass::D, ""});
            v.push_back({p + "t5", PidRegister(n, 5), EncClass::D, "%"});
            if (n < 4)
                v.push_back({p + "bound", PidRegister(n, 6), EncClass::T, "temperature"});
        }
        const NamedParameter tail[] = {
            {"sensor", kSensorType, EncClass::B, ""},
            {"reg30", kReg30, EncClass::T, "temperature"},
            {"reg31", kReg31, EncClass::T, "temperature"},
            {"direction", kDirRev, EncClass::B, ""},
            {"unit", kCfUnit, EncClass::B, ""},
            {"range-low", kRangeLow, EncClass::T, "temperature"},
            {"range-high", kRangeHigh, EncClass::T, "temperature"},
            {"filter", kSwFilter, EncClass::D, ""},
            {"alarm-switch", kAlarmSwitch, EncClass::B, ""},
            {"keypad", kKeypad, EncClass::B, ""},
            {"band", kTolBand, EncClass::T, "temperature"},
        };
        v.insert(v.end(), std::begin(tail), std::end(tail));
        return v;
    }();
    return kList;
}

const NamedParameter* FindParameter(const std::string& name)
{
    for (const NamedParameter& p : NamedParameters())
        if (p.name == name)
            return &p;
    return nullptr;
}

} // namespace tecreg
