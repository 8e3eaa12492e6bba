"""The controller's register map as scripts name it (the names ``tecctl``
uses), the encoding classes and the words for coded values."""

import math
import struct
from collections import namedtuple

# Encoding classes.
T = "T"  # temperature: signed 16-bit, divided by the temperature scale
D = "D"  # tenths: signed 16-bit, divided by 10
I = "I"  # integer: signed 16-bit as is  # noqa: E741
B = "B"  # byte code: low byte only

SET_VALUE = 0x0000
OUTPUT_LEVEL = 0x0001
CTRL_FUNC = 0x0002
PID_SET1 = 0x0003
ALARM_HIGH = 0x001A
ALARM_SWITCH = 0x001C
ALARM_COMP20 = 0x0020
ALARM_LOW = 0x0021
ALARM_COMP23 = 0x0023
ALARM_COMP27 = 0x0027
SENSOR_TYPE = 0x0028
CF_UNIT = 0x0029
DECIMAL_PNT = 0x002A
DIR_REV = 0x002B
RANGE_LOW = 0x002C
RANGE_HIGH = 0x002D
REG30 = 0x0030
REG31 = 0x0031
SW_FILTER = 0x0032
TOL_BAND = 0x0036
FIRST_STEP = 0x0037
KEYPAD = 0x005F
PV = 0x1000
WORKING_SV = 0x1001
STATUS = 0x1003
IDENTITY = 0x1F00

MODEL_VEXA = 0xF0
MODEL_VEXAMAX = 0xF1
WHOLE_UNITS = 30  # the decimal-point code of whole units


def pid_register(n, t):
    """Register of PID term t (1..5) or the boundary (t = 6) of set n (1..4)."""
    return PID_SET1 + 6 * (n - 1) + (t - 1)


Parameter = namedtuple("Parameter", "name register cls unit")
Parameter.__doc__ = """A parameter a script can name. ``unit`` is "temperature"
(the controller's unit, read from it), "%" or "" (a code or a plain number)."""


def _table():
    v = [
        Parameter("decimal-point", DECIMAL_PNT, B, ""),
        Parameter("sv", SET_VALUE, T, "temperature"),
        Parameter("alarm-high", ALARM_HIGH, T, "temperature"),
        Parameter("alarm-low", ALARM_LOW, T, "temperature"),
        Parameter("output", OUTPUT_LEVEL, D, "%"),
        Parameter("function", CTRL_FUNC, B, ""),
    ]
    for n in range(1, 5):
        p = "pid%d." % n
        v += [
            Parameter(p + "p", pid_register(n, 1), D, "%"),
            Parameter(p + "i", pid_register(n, 2), I, "s"),
            Parameter(p + "d", pid_register(n, 3), I, "s"),
            Parameter(p + "t4", pid_register(n, 4), D, ""),
            Parameter(p + "t5", pid_register(n, 5), D, "%"),
        ]
        if n < 4:
            v.append(Parameter(p + "bound", pid_register(n, 6), T, "temperature"))
    v += [
        Parameter("sensor", SENSOR_TYPE, B, ""),
        Parameter("reg30", REG30, T, "temperature"),
        Parameter("reg31", REG31, T, "temperature"),
        Parameter("direction", DIR_REV, B, ""),
        Parameter("unit", CF_UNIT, B, ""),
        Parameter("range-low", RANGE_LOW, T, "temperature"),
        Parameter("range-high", RANGE_HIGH, T, "temperature"),
        Parameter("filter", SW_FILTER, D, ""),
        Parameter("alarm-switch", ALARM_SWITCH, B, ""),
        Parameter("keypad", KEYPAD, B, ""),
        Parameter("band", TOL_BAND, T, "temperature"),
    ]
    return v


#: Every parameter that can be read or written one at a time, in read-all order.
PARAMETERS = _table()
#: The process value: readable (``get("pv")``), never written.
PV_PARAMETER = Parameter("pv", PV, T, "temperature")
READ_ONLY = {"pv"}

_BY_NAME = {p.name: p for p in PARAMETERS}
_BY_NAME["pv"] = PV_PARAMETER


def find(name):
    """The parameter of that name (``"sv"``, ``"pid2.p"``, ``"pid2_p"``); KeyError otherwise."""
    key = str(name).strip().lower().replace("_", "-")
    if key not in _BY_NAME and key.startswith("pid") and "-" in key:
        key = key.replace("-", ".", 1)
    try:
        return _BY_NAME[key]
    except KeyError:
        raise KeyError("unknown parameter %r" % (name,)) from None


# Words for coded values (case-insensitive on input; codes accepted too).
WORDS = {
    "function": {"off": 0, "autotune": 1, "manual": 3, "pid": 4, "program": 5},
    "unit": {"c": 0, "f": 1},
    "direction": {"normal": 0, "reversed": 1},
    "sensor": {"thermocouple": 0, "pt100": 1, "thermistor": 2},
}
_SHOWN = {
    "function": {0: "off", 1: "autotune", 3: "manual", 4: "pid", 5: "program"},
    "unit": {0: "C", 1: "F"},
    "direction": {0: "normal", 1: "reversed"},
    "sensor": {0: "thermocouple", 1: "pt100", 2: "thermistor"},
}


def word_for(name, code):
    """The word of a coded value, or the code itself when it has none."""
    return _SHOWN.get(name, {}).get(int(code), int(code))


def code_for(name, value):
    """The number a value stands for: words of coded parameters become their code."""
    if isinstance(value, str):
        words = WORDS.get(name)
        key = value.strip().lower().lstrip("\u00b0")
        if words is not None and key in words:
            return words[key]
        try:
            return float(value)
        except ValueError:
            choices = ", ".join(sorted(words)) if words else "a number"
            raise ValueError("%s: %r is not one of %s" % (name, value, choices)) from None
    if isinstance(value, bool):
        return int(value)
    return value


def unit_text(parameter, cf_unit):
    if parameter.unit == "temperature":
        return {0: "\u00b0C", 1: "\u00b0F"}.get(cf_unit, "degrees")
    return parameter.unit


# ---- encoding ----

def f32(x):
    """x as the 32-bit float the controller's values are held in."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def temp_scale_for(decimal_point):
    return 1.0 if decimal_point == WHOLE_UNITS else 10.0


def _signed(raw):
    return raw - 0x10000 if raw & 0x8000 else raw


def decode(cls, hi, lo, scale):
    raw = _signed((hi << 8) | lo)
    if cls == T:
        return f32(f32(raw) / scale)
    if cls == D:
        return f32(raw / 10.0)
    if cls == I:
        return raw
    return lo


def _scaled(cls, value, scale):
    if cls == T:
        return round(value * scale)  # halves to even, as the controller's rounding
    if cls == D:
        return round(value * 10.0)
    return math.trunc(value)


def fits(cls, value, scale):
    """True when the value's scaled number fits a signed 16-bit register."""
    if not math.isfinite(value):
        return False
    return -32768 <= _scaled(cls, value, scale) <= 32767


def encode(cls, value, scale):
    """The 16-bit register value for a display value (the caller checked it fits)."""
    if not math.isfinite(value):
        return 0
    s = _scaled(cls, value, scale)
    return s & (0xFF if cls == B else 0xFFFF)


def lowest(cls, scale):
    return -32768.0 / (scale if cls == T else 10.0 if cls == D else 1.0)


def highest(cls, scale):
    return 32767.0 / (scale if cls == T else 10.0 if cls == D else 1.0)


def check_sendable(what, cls, value, scale):
    """Raises ValueError when the value does not fit its register at this scale."""
    if fits(cls, value, scale):
        return
    decimals = 0 if (cls == T and scale == 1.0) else 1
    raise ValueError(
        "The %s %.*f cannot be sent: it must lie between %.*f and %.*f."
        % (what, decimals + 1, value, decimals, lowest(cls, scale), decimals, highest(cls, scale))
    )


def alarm_watch_from_byte(lo):
    return 0 if lo == 7 else 1


def alarm_switch_writes(on):
    if on:
        return [(ALARM_SWITCH, 8), (ALARM_COMP23, 9), (ALARM_COMP20, 21), (ALARM_COMP27, 21)]
    return [(ALARM_SWITCH, 7), (ALARM_COMP23, 7), (ALARM_COMP20, 20), (ALARM_COMP27, 20)]


_NAMES = {
    SET_VALUE: "set value", OUTPUT_LEVEL: "output level", CTRL_FUNC: "control function",
    ALARM_HIGH: "high alarm", ALARM_SWITCH: "alarm switch", ALARM_COMP20: "alarm switch",
    ALARM_LOW: "low alarm", ALARM_COMP23: "alarm switch", ALARM_COMP27: "alarm switch",
    SENSOR_TYPE: "sensor type", CF_UNIT: "temperature unit", DECIMAL_PNT: "decimal point",
    DIR_REV: "hot/cold direction", RANGE_LOW: "range low", RANGE_HIGH: "range high",
    REG30: "sensor setting 30", REG31: "sensor setting 31", SW_FILTER: "SW filter",
    TOL_BAND: "tolerance band", KEYPAD: "keypad enable", PV: "process value",
    WORKING_SV: "working set value", STATUS: "status word", IDENTITY: "controller identity",
}


def register_name(reg):
    """"0x002A (decimal point)", as the program names registers in messages."""
    name = _NAMES.get(reg)
    if name is None and PID_SET1 <= reg <= pid_register(4, 5):
        s, t = (reg - PID_SET1) // 6 + 1, (reg - PID_SET1) % 6 + 1
        name = "PID set %d boundary" % s if t == 6 else "PID set %d term %d" % (s, t)
    elif name is None and FIRST_STEP <= reg < FIRST_STEP + 40:
        name = "step %d" % ((reg - FIRST_STEP) // 5 + 1)
    return "0x%04X" % reg + (" (%s)" % name if name else "")


# ---- what a value may be ----

def value_range(parameter):
    """(codes, lo, hi): the codes a coded parameter takes (lo and hi None),
    or the span of the others, before any scale applies. Temperatures also
    have to fit their register at the controller's scale."""
    n = parameter.name
    codes = {"function": (0, 1, 3, 4), "unit": (0, 1), "direction": (0, 1), "alarm-switch": (0, 1),
             "keypad": (0, 1), "sensor": (0, 1, 2), "decimal-point": (30, 31)}.get(n)
    if codes:
        return codes, None, None
    if n == "output":
        return None, -100.0, 100.0   # full cooling to full heating
    if n == "filter":
        return None, 0.0, 9.9
    if parameter.cls == D:
        return None, -3276.8, 3276.7
    if parameter.cls == B:
        return None, 0.0, 255.0
    return None, -32768.0, 32767.0


def describe_range(parameter):
    codes, lo, hi = value_range(parameter)
    if codes is None:
        d = 1 if parameter.cls == D else 0
        unit = "" if parameter.unit in ("temperature", "") else " " + parameter.unit
        return "%.*f to %.*f%s" % (d, lo, d, hi, unit)
    parts = []
    for c in codes:
        word = _SHOWN.get(parameter.name, {}).get(c)
        if word:
            parts.append("%s (%d)" % (word, c))
        elif parameter.name == "decimal-point":
            parts.append("%d (%s)" % (c, "whole units" if c == 30 else "tenths"))
        else:
            parts.append(str(c))
    return ", ".join(parts[:-1]) + " or " + parts[-1] if len(parts) > 1 else parts[0]


def check_range(parameter, value, shown):
    """ValueError when the value is outside what the parameter takes."""
    codes, lo, hi = value_range(parameter)
    ok = int(value) in codes and value == int(value) if codes else lo <= value <= hi
    if not ok:
        why = ("the step program is started with program.run(); " if parameter.name == "function" and value == 5
               else "out of range; ")
        raise ValueError("%s=%s: %s%s takes %s" % (parameter.name, shown, why, parameter.name,
                                                   describe_range(parameter)))


def _round_half_away(x):
    return math.copysign(math.floor(abs(x) + 0.5), x)


def check_resolution(parameter, value, scale, rounding, shown):
    """The value to send: temperatures go in steps of 1 / scale, tenths in
    steps of 0.1, the rest whole. A value between steps is refused (ValueError
    naming the two nearest), or with ``rounding`` moved to the nearest step."""
    steps = scale if parameter.cls == T else 10.0 if parameter.cls == D else 1.0
    x = value * steps
    nearest = _round_half_away(x)
    if abs(x - nearest) <= 1e-6 * max(1.0, abs(x)) or rounding:
        return nearest / steps
    d = 0 if steps == 1.0 else 1
    raise ValueError("%s=%s: finer than %s; nearest %.*f or %.*f" % (
        parameter.name, shown, "the decimal point allows" if parameter.cls == T else "tenths allow",
        d, math.floor(x) / steps, d, math.ceil(x) / steps))
