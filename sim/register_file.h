// The controller's holding registers: the parameter block 0x0000..0x005F,
// the live block 0x1000..0x1003 and the identity register 0x1F00, with the
// values the controller leaves the factory with.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

namespace reg {
enum : std::uint16_t {
    SV = 0x0000,
    OUTPUT_LEVEL = 0x0001,
    CTRL_FUNC = 0x0002,
    PID_BASE = 0x0003,     // set n (0..3) starts at PID_BASE + 6n; the boundary is its sixth register
    ALARM_HIGH = 0x001A,
    ALARM_SW = 0x001C,
    ALARM_COMP1 = 0x0020,
    ALARM_LOW = 0x0021,
    ALARM_COMP2 = 0x0023,
    ALARM_COMP3 = 0x0027,
    SENSOR_TYPE = 0x0028,
    UNIT = 0x0029,
    DECIMAL_PNT = 0x002A,
    DIR_REV = 0x002B,
    RANGE_LOW = 0x002C,
    RANGE_HIGH = 0x002D,
    REG30 = 0x0030,
    REG31 = 0x0031,
    SW_FILTER = 0x0032,
    TOL_BAND = 0x0036,
    STEP_BASE = 0x0037,    // step k (1..8) starts at STEP_BASE + 5(k-1)
    KEYPAD = 0x005F,
    PV = 0x1000,
    SV_IN_USE = 0x1001,
    OUTPUT_NOW = 0x1002,   // the output in force, tenths of a percent
    STATUS = 0x1003,
    IDENTITY = 0x1F00,
};
}

// Control functions held in register 0x0002.
enum CtrlFunction : int { FN_OFF = 0, FN_AUTOTUNE = 1, FN_MANUAL = 3, FN_PID = 4, FN_PROGRAM = 5 };

// Step action codes.
enum : int { ACTION_LOOP_FIRST = 44, ACTION_LOOP_LAST = 51, ACTION_END = 52, ACTION_NEXT = 54, LOOPS_ENDLESS = 9999 };

class RegisterFile {
public:
    static constexpr std::uint16_t PARAM_COUNT = 0x60;
    static constexpr std::uint16_t LIVE_COUNT = 4;

    // Factory values; identity = modelCode << 8 | identLow.
    RegisterFile(std::uint8_t modelCode, std::uint8_t identLow);

    // True when every register first..first+count-1 exists.
    static bool InMap(std::uint16_t first, int count);
    // True when the register may be written by a request (the parameter block).
    static bool Writable(std::uint16_t address);

    // The raw value; 0 for a register outside the map.
    std::uint16_t get(std::uint16_t address) const;
    // Signed view of the raw value.
    std::int16_t signedAt(std::uint16_t address) const { return static_cast<std::int16_t>(get(address)); }
    // Low byte only, as byte-coded registers are taken.
    int byteAt(std::uint16_t address) const { return get(address) & 0xFF; }
    // Stores the raw value; ignored for a register outside the map.
    void set(std::uint16_t address, std::uint16_t value);

private:
    std::array<std::uint16_t, PARAM_COUNT> m_params{};
    std::array<std::uint16_t, LIVE_COUNT> m_live{};
    std::uint16_t m_identity = 0;
};

} // namespace sim
