#include "sim/register_file.h"

namespace sim {

namespace {

struct Default {
    std::uint16_t address;
    std::int16_t value;
};

// Decimal point 31: temperatures are held in tenths of a degree.
constexpr Default FACTORY[] = {
    {reg::SV, 250},
    {reg::OUTPUT_LEVEL, 0},
    {reg::CTRL_FUNC, FN_OFF},
    // PID sets: proportional band % of span (tenths), integral s, derivative s,
    // output limit % (tenths), integral band % of the proportional band (tenths),
    // boundary (temperature).
    {0x0003, 80}, {0x0004, 40}, {0x0005, 1}, {0x0006, 1000}, {0x0007, 1000}, {0x0008, 200},
    {0x0009, 70}, {0x000A, 40}, {0x000B, 1}, {0x000C, 1000}, {0x000D, 1000}, {0x000E, 600},
    {0x000F, 60}, {0x0010, 35}, {0x0011, 1}, {0x0012, 1000}, {0x0013, 1000}, {0x0014, 1000},
    {0x0015, 50}, {0x0016, 30}, {0x0017, 1}, {0x0018, 1000}, {0x0019, 1000},
    {reg::ALARM_HIGH, 800},
    {reg::ALARM_SW, 7},
    {reg::ALARM_COMP1, 20},
    {reg::ALARM_LOW, 100},
    {reg::ALARM_COMP2, 7},
    {reg::ALARM_COMP3, 20},
    {reg::SENSOR_TYPE, 0},
    {reg::UNIT, 0},
    {reg::DECIMAL_PNT, 31},
    {reg::DIR_REV, 0},
    {reg::RANGE_LOW, -200},
    {reg::RANGE_HIGH, 1500},
    {reg::REG30, 0},
    {reg::REG31, 0},
    {reg::SW_FILTER, 0},
    {reg::TOL_BAND, 10},
    // Demo program: ramp to 40.0 in 60 s, soak 120 s; ramp to 30.0 in 60 s,
    // soak 60 s, back to step 1 twice more; then ramp to 25.0 and end.
    {0x0037, 60}, {0x0038, 400}, {0x0039, 120}, {0x003A, ACTION_NEXT}, {0x003B, 0},
    {0x003C, 60}, {0x003D, 300}, {0x003E, 60}, {0x003F, ACTION_LOOP_FIRST}, {0x0040, 2},
    {0x0041, 60}, {0x0042, 250}, {0x0043, 30}, {0x0044, ACTION_END}, {0x0045, 0},
    {0x0046, 0}, {0x0047, 250}, {0x0048, 0}, {0x0049, ACTION_END}, {0x004A, 0},
    {0x004B, 0}, {0x004C, 250}, {0x004D, 0}, {0x004E, ACTION_END}, {0x004F, 0},
    {0x0050, 0}, {0x0051, 250}, {0x0052, 0}, {0x0053, ACTION_END}, {0x0054, 0},
    {0x0055, 0}, {0x0056, 250}, {0x0057, 0}, {0x0058, ACTION_END}, {0x0059, 0},
    {0x005A, 0}, {0x005B, 250}, {0x005C, 0}, {0x005D, ACTION_END}, {0x005E, 0},
    {reg::KEYPAD, 1},
    {reg::PV, 250},
    {reg::SV_IN_USE, 250},
};

} // namespace

RegisterFile::RegisterFile(std::uint8_t modelCode, std::uint8_t identLow)
{
    for (const Default& d : FACTORY)
        set(d.address, static_cast<std::uint16_t>(d.value));
    m_identity = static_cast<std::uint16_t>(modelCode << 8 | identLow);
}

bool RegisterFile::InMap(std::uint16_t first, int count)
{
    if (count < 1)
        return false;
    const long last = static_cast<long>(first) + count - 1;
    if (last < PARAM_COUNT)
        return true;
    if (first >= reg::PV && last < reg::PV + LIVE_COUNT)
        return true;
    return first == reg::IDENTITY && count == 1;
}

bool RegisterFile::Writable(std::uint16_t address)
{
    return address < PARAM_COUNT;
}

std::uint16_t RegisterFile::get(std::uint16_t address) const
{
    if (address < PARAM_COUNT)
        return m_params[address];
    if (address >= reg::PV && address < reg::PV + LIVE_COUNT)
        return m_live[address - reg::PV];
    if (address == reg::IDENTITY)
        return m_identity;
    return 0;
}

void RegisterFile::set(std::uint16_t address, std::uint16_t value)
{
    if (address < PARAM_COUNT)
        m_params[address] = value;
    else if (address >= reg::PV && address < reg::PV + LIVE_COUNT)
        m_live[address - reg::PV] = value;
    else if (address == reg::IDENTITY)
        m_identity = value;
}

} // namespace sim
