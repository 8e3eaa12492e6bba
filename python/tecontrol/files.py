"""The program's parameter files (.prm) and step-program files (.srp), byte
for byte as the program writes them, and their readers."""

import errno
import math
import os
import stat
import tempfile
from collections import namedtuple

from . import registers as R
from .registers import f32

REAL_FIELDS = 24
FILE_FIELDS = 37

# The ParameterSet's fields in file order: (attribute, element or None, class).
_FILE_LAYOUT = (
    [("setValue", None, R.T), ("alarmHigh", None, R.T), ("alarmLow", None, R.T), ("outputLevel", None, R.D)]
    + [("pidBound", k, R.T) for k in range(3)]
    + [(f, k, R.D) for k in range(4) for f in ("pidP", "pidT4", "pidT5")]
    + [("reg30", None, R.T), ("reg31", None, R.T), ("rangeLow", None, R.T), ("rangeHigh", None, R.T),
       ("swFilter", None, R.D)]
    + [(f, k, R.I) for k in range(4) for f in ("pidI", "pidD")]
    + [("sensorType", None, R.I), ("dirRev", None, R.I), ("cfUnit", None, R.I), ("decimalPnt", None, R.I),
       ("alarmWatch", None, R.I)]
)

FIELD_NAMES = (
    ["set value", "high alarm", "low alarm", "output level", "PID set 1 boundary", "PID set 2 boundary",
     "PID set 3 boundary"]
    + ["PID set %d term %d" % (k, t) for k in range(1, 5) for t in (1, 4, 5)]
    + ["register 0x0030 setting", "register 0x0031 setting", "range low", "range high", "SW filter"]
    + ["PID set %d term %d" % (k, t) for k in range(1, 5) for t in (2, 3)]
    + ["sensor type", "hot/cold direction", "temperature unit", "decimal point", "alarm switch"]
)


class ParameterSet:
    """The controller's parameters in display units, as the program holds
    them: reals as 32-bit floats, the rest as 16-bit integers."""

    def __init__(self):
        self.setValue = self.alarmHigh = self.alarmLow = self.outputLevel = 0.0
        self.pidBound = [0.0] * 3
        self.pidP = [0.0] * 4
        self.pidT4 = [0.0] * 4
        self.pidT5 = [0.0] * 4
        self.reg30 = self.reg31 = self.rangeLow = self.rangeHigh = self.swFilter = 0.0
        self.pidI = [0] * 4
        self.pidD = [0] * 4
        self.sensorType = self.dirRev = self.cfUnit = self.decimalPnt = 0
        self.alarmWatch = 0
        self.keypadValue = 0
        self.tempScale = 1.0

    def field(self, n):
        attr, k, _ = _FILE_LAYOUT[n - 1]
        v = getattr(self, attr)
        return v[k] if k is not None else v

    def set_field(self, n, value):
        attr, k, _ = _FILE_LAYOUT[n - 1]
        if k is None:
            setattr(self, attr, value)
        else:
            getattr(self, attr)[k] = value

    def copy(self):
        p = ParameterSet()
        for key, v in self.__dict__.items():
            setattr(p, key, list(v) if isinstance(v, list) else v)
        return p


def format_parameter_file(p):
    """The one line a parameter file holds (no line end)."""
    reals = ["%7.2f" % p.field(n) for n in range(1, REAL_FIELDS + 1)]
    ints = ["%d" % p.field(n) for n in range(REAL_FIELDS + 1, FILE_FIELDS + 1)]
    return " ".join(reals + ints)


class FileFormatError(ValueError):
    """A file that is not a parameter or step-program file: ``field`` is the
    1-based position of the first bad field (nothing is sent for such a file)."""

    def __init__(self, message, field=None):
        super().__init__(message)
        self.field = field


def _parse_real(tok):
    t = tok[1:] if tok.startswith("+") and len(tok) > 1 and tok[1] != "-" else tok
    if not t or any(c not in "0123456789.-+eE" for c in t):
        return None
    try:
        v = float(t)
    except ValueError:
        return None
    v = f32(v) if math.isfinite(v) and abs(v) <= 3.4028234663852886e38 else float("inf")
    return v if math.isfinite(v) else None


def _parse_int(tok):
    t = tok.strip()
    if not t or not (t.lstrip("+-").isdigit()) or t.count("+") + t.count("-") > 1:
        return None
    return int(t)


def _quote(tok):
    return '"%s"' % (tok[:40] + "..." if len(tok) > 40 else tok)


_SPANS = [(4, R.D, -100.0, 100.0)]                                   # output level, % (negative cools)
_SPANS += [(f, R.D, 0.0, 3276.7) for f in (8, 11, 14, 17)]           # term 1: proportional band, %
_SPANS += [(f, R.D, 0.0, 100.0) for f in (9, 12, 15, 18)]            # term 4: output limit, %
_SPANS += [(f, R.D, 0.0, 3276.7) for f in (10, 13, 16, 19)]          # term 5: integral band, %
_SPANS += [(24, R.D, 0.0, 9.9)]                                      # SW filter
_CODES = [(33, (0, 1, 2), "0 thermocouple, 1 PT100 or 2 thermistor"), (34, (0, 1), "0 normal or 1 reversed"),
          (35, (0, 1), "0 for \u00b0C or 1 for \u00b0F"), (36, (30, 31), "30 for whole degrees or 31 for tenths"),
          (37, (0, 1), "0 off or 1 on")]


def _scaled(cls, value, scale):
    return R._scaled(cls, value, scale)


def check_parameter_limits(p):
    """What the controller takes for a whole set, as the write-all pass leaves
    it: range high above range low, the set value inside that range (alarm
    values anywhere), output -100..100 %, PID terms 1 and 5 from 0, term 4
    0..100 %, terms 2 and 3 from 0, the filter 0..9.9, known codes.
    FileFormatError naming the first field that breaks them."""
    scale = R.temp_scale_for(p.decimalPnt)
    td = 0 if scale == 1.0 else 1

    def text(f):
        if f > REAL_FIELDS:
            return "%d" % p.field(f)
        return "%.*f" % (0 if (_FILE_LAYOUT[f - 1][2] == R.T and scale == 1.0) else 1, p.field(f))

    def fault(f, why):
        return FileFormatError("field %d (%s): %s%s" % (f, FIELD_NAMES[f - 1], text(f), why), f)
    raw = [_scaled(R.T, v, scale) for v in (p.rangeLow, p.rangeHigh, p.setValue)]
    if raw[1] <= raw[0]:
        raise fault(23, " is not above range low %.*f" % (td, p.rangeLow))
    if not raw[0] <= raw[2] <= raw[1]:
        raise fault(1, " lies outside the file's range %.*f..%.*f" % (td, p.rangeLow, td, p.rangeHigh))
    first = None
    for f, cls, lo, hi in _SPANS:
        v = _scaled(cls, p.field(f), scale)
        if not _scaled(cls, lo, scale) <= v <= _scaled(cls, hi, scale) and (first is None or f < first[0]):
            first = (f, " lies outside %.1f..%.1f" % (lo, hi))
    if first is None:
        first = next(((f, " lies outside 0..32767 (seconds)") for f in range(25, 33) if p.field(f) < 0), None)
    if first is not None:
        raise fault(*first)
    for f, known, words in _CODES:
        if p.field(f) not in known:
            raise fault(f, " is not a code the controller knows (%s)" % words)


def parse_parameter_file(text, current=None):
    """Parses a parameter file completely and checks it against what the
    controller takes; FileFormatError names the first bad field."""
    every = text.split()
    tokens = every[:FILE_FIELDS]
    p = (current or ParameterSet()).copy()
    syntax = None
    decimal_known = False
    alarm = 0
    for f in range(1, FILE_FIELDS + 1):
        if f > len(tokens):
            syntax = syntax or (f, "the file ends after %d of 37 numbers" % len(tokens))
            break
        tok = tokens[f - 1]
        if f <= REAL_FIELDS:
            v = _parse_real(tok)
            if v is None:
                syntax = syntax or (f, _quote(tok) + " is not a number")
            else:
                p.set_field(f, v)
            continue
        v = _parse_int(tok)
        if v is None:
            syntax = syntax or (f, _quote(tok) + " is not a whole number")
        elif not -32768 <= v <= 32767:
            syntax = syntax or (f, _quote(tok) + " lies outside -32768..32767")
        elif f == FILE_FIELDS:
            alarm = v
        else:
            p.set_field(f, v)
            decimal_known = decimal_known or f == 36
    # Nothing may follow the last field but white space: a file with more in
    # it is not one this program wrote.
    if len(every) > FILE_FIELDS:
        syntax = syntax or (FILE_FIELDS, "the file goes on after its 37th number")
    if decimal_known:
        scale = R.temp_scale_for(p.decimalPnt)
        last = REAL_FIELDS if syntax is None else min(REAL_FIELDS, syntax[0] - 1)
        for f in range(1, last + 1):
            cls = _FILE_LAYOUT[f - 1][2]
            if not R.fits(cls, p.field(f), scale):
                d = 0 if (cls == R.T and scale == 1.0) else 1
                raise FileFormatError(
                    "field %d (%s): %s lies outside %.*f..%.*f" % (f, FIELD_NAMES[f - 1], _quote(tokens[f - 1]), d,
                                                                   R.lowest(cls, scale), d, R.highest(cls, scale)), f)
    if syntax is not None:
        f, why = syntax
        raise FileFormatError("field %d (%s): %s" % (f, FIELD_NAMES[f - 1], why), f)
    if alarm not in (0, 1):
        raise FileFormatError("field 37 (alarm switch): %s is not a code the controller knows (0 off or 1 on)"
                              % _quote(tokens[FILE_FIELDS - 1]), FILE_FIELDS)
    p.alarmWatch = alarm
    check_parameter_limits(p)
    p.tempScale = R.temp_scale_for(p.decimalPnt)
    return p


SMALL_FILE_LIMIT = 64 * 1024  # parameter and step files are a few hundred bytes


def write_text_file(path, text):
    """Replaces the file the path leads to, whole or not at all: the text goes
    to a new file made exclusively beside it, flushed to the disk and renamed
    over it. A file that was there keeps its permissions; one this user may
    not write, or one that is no regular file, is left as it is (OSError)."""
    target = os.path.realpath(os.fspath(path))
    try:
        st = os.stat(target)
    except FileNotFoundError:
        st = None
    if st is not None and not stat.S_ISREG(st.st_mode):
        raise IsADirectoryError(errno.EISDIR if stat.S_ISDIR(st.st_mode) else errno.EINVAL,
                                "no regular file; nothing was written", os.fspath(path))
    # A file the user may not write stays as it is, as it would if written in
    # place, though the folder would let the rename replace it.
    if st is not None and not os.access(target, os.W_OK):
        raise PermissionError(errno.EACCES, "the file is read-only for this user; nothing was written",
                              os.fspath(path))
    data = text.encode("ascii")
    folder = os.path.dirname(target) or "."
    fd, temp = tempfile.mkstemp(prefix="." + os.path.basename(target)[:100] + ".", suffix=".tmp", dir=folder)
    try:
        if st is not None:
            if hasattr(os, "fchown") and (st.st_uid != os.geteuid() or st.st_gid != os.getegid()):
                try:
                    os.fchown(fd, st.st_uid, st.st_gid)
                except OSError:
                    pass
            os.chmod(temp, stat.S_IMODE(st.st_mode))
        else:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temp, 0o666 & ~umask)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
        os.close(fd)
        fd = -1
        os.replace(temp, target)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.remove(temp)
        except OSError:
            pass
        raise
    try:  # the rename itself is on the disk once the folder is
        dfd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)
    except OSError:
        pass


def read_text_file(path, limit=SMALL_FILE_LIMIT):
    """The text of a regular file of at most ``limit`` bytes; nothing that is
    not a regular file is opened in a way that could block (a FIFO)."""
    path = os.fspath(path)
    st = os.stat(path)
    if not stat.S_ISREG(st.st_mode):
        raise FileFormatError("%s is no regular file" % path)
    if st.st_size > limit:
        raise FileFormatError("%s is too large for its kind (%d bytes)" % (path, st.st_size))
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0))
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise FileFormatError("%s is no regular file" % path)
        data = f.read(limit + 1)
    if len(data) > limit:
        raise FileFormatError("%s is too large for its kind" % path)
    return data.decode("latin-1")


# ---- step programs ----

STEPS = 8
REGISTERS_PER_STEP = 5
PROGRAM_FIELDS = 1 + STEPS * REGISTERS_PER_STEP  # 41

Step = namedtuple("Step", "sv param1 param2 action loops")
Step.__new__.__defaults__ = (0.0, 0, 0, 0, 0)
Step.__doc__ = """One step: set value (degrees), ramp time (param1, s), soak
time (param2, s), action code (54 next, 44..51 loop to step 1..8, 52 end) and
loop count."""


class StepProgram:
    """Eight steps and the tolerance band."""

    def __init__(self, steps=(), band=0.0):
        steps = [s if isinstance(s, Step) else Step(*s) for s in steps]
        if len(steps) > STEPS:
            raise ValueError("a step program has at most 8 steps, not %d" % len(steps))
        # Unused steps end the program.
        steps += [Step(0.0, 0, 0, 52, 0)] * (STEPS - len(steps))
        self.steps = steps
        self.band = band
        for k, s in enumerate(self.steps, 1):
            for name in ("param1", "param2", "action", "loops"):
                v = getattr(s, name)
                if int(v) != v or not 0 <= v <= 65535:
                    raise ValueError("step %d %s: %r is not a whole number from 0 to 65535" % (k, name, v))
            if not (math.isfinite(s.sv) and -32768 <= s.sv <= 32767):
                raise ValueError("step %d set value %r is outside -32768 to 32767" % (k, s.sv))
        if not (math.isfinite(band) and -32768 <= band <= 32767):
            raise ValueError("tolerance band %r is outside -32768 to 32767" % (band,))

    def __eq__(self, other):
        return isinstance(other, StepProgram) and self.steps == other.steps and self.band == other.band

    def __repr__(self):
        return "StepProgram(steps=%r, band=%r)" % (self.steps, self.band)


def format_step_file(prog):
    out = []
    for s in prog.steps:
        out.append("%6.1f " % f32(s.sv))
        out.append("".join("%d " % int(v) for v in (s.param1, s.param2, s.action, s.loops)))
        out.append("\t" * 8)
    out.append("%6.1f" % f32(prog.band))
    return "".join(out)


_STEP_FIELD = ("set value", "parameter 1", "parameter 2", "action", "loop count")


def step_field_description(pos):
    if pos == PROGRAM_FIELDS:
        return "field 41 (tolerance band)"
    return "field %d (step %d %s)" % (pos, (pos - 1) // 5 + 1, _STEP_FIELD[(pos - 1) % 5])


def action_known(action):
    """The codes the step program knows: 54 next, 44..51 loop, 52 end."""
    return action in (52, 54) or 44 <= action <= 51


def reachable_steps(prog):
    """Which steps (0-based) a run can reach from step 1."""
    reach, pending = [False] * STEPS, []

    def mark(k):
        if 0 <= k < STEPS and not reach[k]:
            reach[k] = True
            pending.append(k)
    mark(0)
    while pending:
        k = pending.pop()
        s = prog.steps[k]
        if s.action == 54:
            mark(k + 1)
        elif 44 <= s.action <= 51:
            if s.loops > 0:
                mark(s.action - 44)
            if s.loops != 9999:
                mark(k + 1)
    return reach


def parse_step_file(text):
    every = text.split()
    tokens = every[:PROGRAM_FIELDS]
    values = []
    for pos in range(1, PROGRAM_FIELDS + 1):
        def fail(why):
            raise FileFormatError("%s: %s" % (step_field_description(pos), why), pos)
        if pos > len(tokens):
            fail("the file ends after %d of 41 numbers" % len(tokens))
        tok = tokens[pos - 1]
        if pos == PROGRAM_FIELDS or (pos - 1) % 5 == 0:
            v = _parse_real(tok)
            if v is None:
                fail(_quote(tok) + " is not a number")
            if not -32768.0 <= v <= 32767.0:
                fail(_quote(tok) + " is outside -32768 to 32767")
            if pos == PROGRAM_FIELDS:
                # A band is a distance from the set value: below 0 a run would hold for ever.
                if v < 0:
                    fail(_quote(tok) + " is below 0")
                if len(every) > PROGRAM_FIELDS:
                    fail("the file goes on after its 41st number")
        else:
            v = _parse_int(tok)
            if v is None:
                fail(_quote(tok) + " is not a whole number")
            if not 0 <= v <= 65535:
                fail(_quote(tok) + " is outside 0 to 65535")
            if (pos - 1) % 5 == 3 and not action_known(v):
                fail(_quote(tok) + " is not an action the step program knows (54 next, 44 to 51 loop, 52 end)")
        values.append(v)
    steps = [Step(values[5 * k], values[5 * k + 1], values[5 * k + 2], values[5 * k + 3], values[5 * k + 4])
             for k in range(STEPS)]
    return StepProgram(steps, values[40])


def scaled_temperature(value, scale):
    """The step codec's scaling: the product in single precision, halves to even."""
    return round(f32(f32(value) * scale))


def temperature_fits(value, scale):
    return math.isfinite(value) and -32768 <= scaled_temperature(value, scale) <= 32767


def encode_step(step, scale):
    """The five register values of a step in register order: param1, SV, param2, action, loops."""
    return [int(step.param1), scaled_temperature(step.sv, scale) & 0xFFFF, int(step.param2), int(step.action),
            int(step.loops)]
