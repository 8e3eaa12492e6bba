"""One controller on a serial line (``Controller``), several on one line
(``Bus``), and ``scan``. Every call sends exactly what the same ``tecctl``
command sends, with the same delays."""

import math
import numbers
import os
import re
import stat
import sys
import threading
import time
import weakref
from collections import namedtuple

from . import _wire as W
from . import files as F
from . import registers as R
from .errors import IdentificationError, LinkError, PortError, RefusedError, TecError
from .registers import f32

Identity = namedtuple("Identity", "model identity")
Identity.__doc__ = "What the identity register holds: the model code (0xF0, 0xF1) and the identity low byte."
Sample = namedtuple("Sample", "time sv pv")
Sample.__doc__ = "One poll: ``time`` (seconds since the epoch), set value and process value in display units."
Value = namedtuple("Value", "value unit")
Value.__doc__ = "A parameter's value in display units and its unit (\"°C\", \"°F\", \"%\" or \"\")."
ProgramStatus = namedtuple("ProgramStatus", "running run_mode segment indicator")

RUN_MODE_RUNNING = 5


# ---- the port ----

def _port_open_cause(device, exc):
    """Why a device does not open: not there, not ours, or held by another program."""
    if os.name == "nt":  # COM ports are no paths; Windows says "access denied" for a port in use
        text = str(exc)
        if "FileNotFoundError" in text or "cannot find" in text.lower():
            return PortError("not-present", "%s is not present. Check that the cable or USB adapter is plugged "
                             "in, or choose another port." % device, device=device)
        if "PermissionError" in text or "access is denied" in text.lower():
            return PortError("busy", "%s is busy, held by another program. Close that program, or choose another "
                             "port." % device, device=device)
        return PortError("other", "%s could not be opened: %s" % (device, text), device=device)
    if not os.path.exists(device):
        return PortError("not-present", "%s is not present. Check that the cable or USB adapter is plugged in, "
                         "or choose another port." % device, device=device)
    if not os.access(device, os.R_OK | os.W_OK):
        try:
            import grp
            gid = os.stat(device).st_gid
            try:
                group = grp.getgrgid(gid).gr_name
            except KeyError:
                group = "group %d" % gid
        except (ImportError, OSError):
            group = None
        if group:
            return PortError("permission-denied", "permission denied. %s belongs to the group \"%s\", and your user "
                             "must be a member of it (on Debian: sudo adduser $USER %s). Log out and in again "
                             "afterwards for the membership to take effect." % (device, group, group),
                             device=device, group=group)
        return PortError("permission-denied", "permission denied on %s" % device, device=device)
    text = str(exc)
    if "busy" in text.lower() or "exclusive" in text.lower() or "lock" in text.lower() or \
            getattr(exc, "errno", None) in (11, 16):
        holder = _holder_of(device)
        return PortError("busy", "%s is busy, held by %s. Close that program, or choose another port."
                         % (device, holder or "another program"), device=device, holder=holder)
    return PortError("other", "%s could not be opened: %s" % (device, text), device=device)


def _process_name(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            name = f.read().strip()
    except OSError:
        name = ""
    return "%s (process %d)" % (name, pid) if name else "process %d" % pid


def _holder_of(device):
    """The program that holds the device open: a UUCP lock file, else /proc."""
    holder = _lock_holder(device)
    if holder:
        return holder
    try:
        # A flock on the device itself (pyserial's exclusive mode).
        st = os.stat(device)
        inode = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
        with open("/proc/locks") as f:
            for line in f:
                parts = line.split()
                if len(parts) > 5 and parts[1] == "FLOCK" and parts[5] == inode:
                    pid = int(parts[4])
                    return "this program (process %d)" % pid if pid == os.getpid() else _process_name(pid)
    except (OSError, ValueError):
        pass
    target = os.path.realpath(device)
    try:
        pids = [int(p) for p in os.listdir("/proc") if p.isdigit()]
    except OSError:
        return None
    for pid in pids:
        if pid == os.getpid():
            continue
        fd_dir = "/proc/%d/fd" % pid
        try:
            fds = os.listdir(fd_dir)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink(os.path.join(fd_dir, fd)) == target:
                    return _process_name(pid)
            except OSError:
                continue
    return None


_LOCK_DIRS = ("/run/lock", "/var/lock")


def _resolved(device):
    """The device itself, whatever symbolic links name it; the path as given
    when it does not resolve (a missing device says so when it is opened)."""
    if not device:
        return device
    try:
        os.stat(device)  # realpath of a missing device (or a dangling link) fails
        return os.path.realpath(device)
    except (OSError, ValueError):
        return device


def _lock_name(resolved):
    """The UUCP lock file's name for a resolved device, as tecctl, the
    window program and Qt name it: the path below /dev with '/' as '_'
    ("LCK..ttyUSB0", "LCK..pts_3"), or the file's name for a device elsewhere."""
    name = resolved[5:] if resolved.startswith("/dev/") else os.path.basename(resolved)
    return "LCK.." + name.replace("/", "_")


def _lock_file_pid(path):
    """The process a lock file names: ten ASCII digits as a rule (Qt's own
    lock files start with the pid too), or a binary int from older programs.
    None when there is no such regular file, 0 when it names none. Regular
    files only, opened without blocking: a FIFO planted in a shared lock
    folder must not hold a port's opening."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        data = os.read(fd, 31)
    except OSError:
        return None
    finally:
        os.close(fd)
    m = re.match(rb"\s*([+-]?\d+)", data)
    if m:
        pid = int(m.group(1))
        return pid if pid > 0 else 0
    if len(data) == 4:
        pid = int.from_bytes(data, sys.byteorder, signed=True)
        return pid if pid > 0 else 0
    return 0


def _alive(pid):
    return pid > 0 and os.path.exists("/proc/%d" % pid)


def _lock_holder_pid(resolved, remove_stale=False):
    """The living process other than this one whose lock file holds the
    resolved device, or 0. With remove_stale, lock files of processes that
    are gone (or that name none) are removed on the way."""
    name = _lock_name(resolved)
    for d in _LOCK_DIRS:
        path = os.path.join(d, name)
        pid = _lock_file_pid(path)
        if pid is None or pid == os.getpid():
            continue
        if _alive(pid):
            return pid
        if remove_stale:
            _remove_quietly(path)
    return 0


def _lock_holder(device, remove_stale=False):
    """The live process, other than this one, named by a lock file of the device."""
    pid = _lock_holder_pid(_resolved(device), remove_stale)
    return _process_name(pid) if pid else None


class _LockFile:
    """Our lock file for the (resolved) device, as tecctl and the window
    program write and honour it: the pid as ten ASCII digits and a newline,
    in the first lock folder we may write. ``held`` is false when another
    living program's lock file names the device after all."""

    def __init__(self, resolved):
        self.path = None
        self.held = True
        name = _lock_name(resolved)
        text = ("%10d\n" % os.getpid()).encode("ascii")
        for d in _LOCK_DIRS:
            path = os.path.join(d, name)
            for _ in range(2):
                try:
                    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
                except FileExistsError:
                    pid = _lock_file_pid(path)
                    if pid == os.getpid():
                        return  # our own, made as the port opened
                    if _alive(pid or 0):
                        self.held = False
                        return
                    _remove_quietly(path)
                    continue
                except OSError:
                    break  # this folder is not ours to write: try the next
                try:
                    written = os.write(fd, text) == len(text)
                except OSError:
                    written = False
                finally:
                    os.close(fd)
                if not written:
                    _remove_quietly(path)
                    break
                self.path = path
                # Removed at exit too, when a script never closed its port.
                self._finalizer = weakref.finalize(self, _remove_own, path, os.getpid())
                return
        # No writable lock folder: the flock alone keeps our own programs apart.

    def release(self):
        if self.path:
            self._finalizer()
            self.path = None


def _remove_own(path, pid):
    """Removes the lock file only while it still names this process."""
    if _lock_file_pid(path) == pid:
        _remove_quietly(path)


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


def open_serial(device, baudrate=19200):
    """Opens the device as the program does (8N1, no handshake, 1 s time-out),
    exclusively: a second program cannot open it while we hold it. A device
    that another program's lock file names is busy, whoever we are."""
    import serial

    # The device by its own name, so that every name of it takes the same
    # locks; a lock file of a process that is gone is removed on the way.
    resolved = _resolved(device)
    holder = _lock_holder(resolved, remove_stale=True)
    if holder is not None:
        raise PortError("busy", "%s is busy, held by %s. Close that program, or choose another port."
                        % (device, holder), device=device, holder=holder)
    try:
        # exclusive: an flock on the descriptor.
        port = serial.Serial(port=resolved, baudrate=baudrate, bytesize=8, parity="N", stopbits=1,
                             timeout=W.READ_TIMEOUT, write_timeout=W.READ_TIMEOUT, xonxoff=False, rtscts=False,
                             dsrdtr=False, exclusive=True)
    except serial.SerialException as exc:
        raise _port_open_cause(device, exc) from exc
    except OSError as exc:
        raise _port_open_cause(device, exc) from exc
    try:
        import fcntl
        import termios
        fcntl.ioctl(port.fileno(), termios.TIOCEXCL)  # the kernel's exclusive mode
    except (ImportError, AttributeError, OSError, ValueError):
        pass  # no harm where the descriptor is not a terminal
    lock = _LockFile(resolved)
    if not lock.held:
        port.close()
        holder = _lock_holder(resolved)
        raise PortError("busy", "%s is busy, held by %s. Close that program, or choose another port."
                        % (device, holder or "another program"), device=device, holder=holder)
    port._tecontrol_lock = lock
    return port


class Bus:
    """One serial line shared by the controllers on it: one port, one lock.

    ``port`` is a device path, or an already open pyserial-like object.
    """

    def __init__(self, port, baudrate=19200, *, _sleep=time.sleep, _clock=time.monotonic):
        if isinstance(port, (str, bytes, os.PathLike)):
            self.device = os.fspath(port)
            self._serial = open_serial(self.device, baudrate)
        else:
            self.device = getattr(port, "port", None) or "the serial port"
            self._serial = port
        self.baudrate = baudrate
        self.lock = threading.RLock()
        self.link = W.Link(self._serial, sleep=_sleep, clock=_clock, device=self.device)

    def controller(self, address=1, identify=True):
        """The controller at that address on this line (identified at once unless told not to)."""
        return Controller(self, address=address, identify=identify)

    def close(self):
        with self.lock:
            if self._serial is not None:
                try:
                    self._serial.close()
                finally:
                    lock = getattr(self._serial, "_tecontrol_lock", None)
                    if lock is not None:
                        lock.release()
                    self._serial = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _check_address(address):
    if isinstance(address, bool) or int(address) != address or not 1 <= address <= 255:
        raise ValueError("a controller address lies from 1 to 255, not %r" % (address,))
    return int(address)


def scan(port, addresses=range(1, 248), baudrate=19200):
    """The addresses that answer identification, as {address: Identity}. Each
    silent address costs the read time-out (1 s)."""
    found = {}
    with Bus(port, baudrate) as bus:
        for a in addresses:
            with bus.lock:
                ans = _identify(bus.link, _check_address(a))
            if ans.good and ans.data[4] in (R.MODEL_VEXA, R.MODEL_VEXAMAX):
                found[a] = Identity(ans.data[4], ans.data[5])
    return found


def _identify(link, address):
    link.preamble()
    return link.transact(W.read_frame(address, R.IDENTITY, 1), W.read_answer_length(1))


class _Op:
    """One operation's bookkeeping: refused registers and where it stopped."""

    def __init__(self):
        self.refused = []
        self.refused_values = []

    def read(self, link, address, reg, count):
        a = link.transact(W.read_frame(address, reg, count), W.read_answer_length(count))
        if not a.good:
            if a.status == W.EXCEPTION:
                raise RefusedError("the controller refused the read of register %s" % R.register_name(reg), reg)
            raise W.link_error(a, "the read of register " + R.register_name(reg))
        return a

    def write(self, link, address, reg, value, shown=None):
        a = link.transact(W.write_frame(address, reg, value), 8)
        if a.status == W.EXCEPTION:
            self.refused.append(reg)
            self.refused_values.append(shown)
            return a
        if not a.good:
            raise W.link_error(a, "the write of register " + R.register_name(reg))
        return a

    def raise_refusals(self):
        if self.refused:
            raise RefusedError("the controller refused the value written to " +
                               ", ".join(R.register_name(r) for r in self.refused),
                               self.refused[0], self.refused_values[0], self.refused)


_HEAD = [(R.SET_VALUE, R.T, "setValue"), (R.ALARM_HIGH, R.T, "alarmHigh"), (R.ALARM_LOW, R.T, "alarmLow"),
         (R.OUTPUT_LEVEL, R.D, "outputLevel")]
_TAIL = [(R.SENSOR_TYPE, R.B, "sensorType"), (R.REG30, R.T, "reg30"), (R.REG31, R.T, "reg31"),
         (R.DIR_REV, R.B, "dirRev"), (R.CF_UNIT, R.B, "cfUnit"), (R.RANGE_LOW, R.T, "rangeLow"),
         (R.RANGE_HIGH, R.T, "rangeHigh"), (R.SW_FILTER, R.D, "swFilter")]
_FIELD_OF = {"sv": "setValue", "alarm-high": "alarmHigh", "alarm-low": "alarmLow", "output": "outputLevel",
             "reg30": "reg30", "reg31": "reg31", "range-low": "rangeLow", "range-high": "rangeHigh",
             "filter": "swFilter", "decimal-point": "decimalPnt", "sensor": "sensorType", "direction": "dirRev",
             "unit": "cfUnit", "alarm-switch": "alarmWatch", "keypad": "keypadValue"}
_PID_FIELD = {"p": "pidP", "i": "pidI", "d": "pidD", "t4": "pidT4", "t5": "pidT5", "bound": "pidBound"}


def _shown(name, value):
    """A value as scripts get it: words for coded parameters."""
    if name in R.WORDS:
        return R.word_for(name, value)
    return value


class Program:
    """The controller's step program: ``tec.program``."""

    def __init__(self, controller):
        self._c = controller

    def read(self, path=None):
        """Reads the eight steps and the band (and saves them to ``path``, as ``tecctl program get FILE``)."""
        c = self._c
        with c._bus.lock:
            link = c._link
            link.preamble()
            op = _Op()
            scale = c._read_scale(op)
            link.preamble(W.STEP_PREAMBLE_DELAY)
            steps = []
            for k in range(1, F.STEPS + 1):
                reg = R.FIRST_STEP + F.REGISTERS_PER_STEP * (k - 1)
                a = link.transact(W.read_frame(c.address, reg, 5), W.read_answer_length(5), W.STEP_READ_DELAY)
                if not a.good:
                    raise c._step_error(a, "step %d (registers 0x%04X to 0x%04X)" % (k, reg, reg + 4))
                steps.append(F.Step(f32(f32(R._signed(a.reg(1))) / scale), a.reg(0), a.reg(2), a.data[11],
                                    a.reg(4)))
            a = link.transact(W.read_frame(c.address, R.TOL_BAND, 1), W.read_answer_length(1), W.POST_WRITE_DELAY)
            if not a.good:
                raise c._step_error(a, "the tolerance band (register 0x%04X)" % R.TOL_BAND)
            prog = F.StepProgram(steps, f32(f32(R._signed(a.reg(0))) / scale))
        if path is not None:
            F.write_text_file(path, F.format_step_file(prog))
        return prog

    def write(self, program, band=None):
        """Writes a program to the controller, as ``tecctl program put FILE``:
        ``program`` is a StepProgram, a list of up to 8 steps (Step or tuples
        (sv, param1, param2, action, loops); with ``band``), or a .srp path."""
        if isinstance(program, (str, bytes, os.PathLike)):
            program = F.parse_step_file(F.read_text_file(program))
        elif not isinstance(program, F.StepProgram):
            program = F.StepProgram(program, 0.0 if band is None else band)
        elif band is not None:
            program = F.StepProgram(program.steps, band)
        c = self._c
        with c._bus.lock:
            link = c._link
            link.preamble()
            op = _Op()
            scale = c._read_scale(op)
            # The span the step set values must keep to, as the controller holds it.
            a = op.read(link, c.address, R.RANGE_LOW, 2)
            _check_step_program(program, scale, R.decode(R.T, a.data[4], a.data[5], scale),
                                R.decode(R.T, a.data[6], a.data[7], scale))
            writes = []
            for k, s in enumerate(program.steps, 1):
                first = R.FIRST_STEP + F.REGISTERS_PER_STEP * (k - 1)
                writes += [(first + i, v) for i, v in enumerate(F.encode_step(s, scale))]
            writes.append((R.TOL_BAND, F.scaled_temperature(program.band, scale) & 0xFFFF))
            link.preamble()
            for reg, value in writes:
                op.write(link, c.address, reg, value, value)
            op.raise_refusals()

    def run(self):
        """Starts the step program (function 5)."""
        self._c._start_stop(True)

    def stop(self):
        """Stops the step program (function 0)."""
        self._c._start_stop(False)

    @property
    def status(self):
        """ProgramStatus(running, run_mode, segment, indicator) from the status word."""
        c = self._c
        with c._bus.lock:
            a = c._link.guarded(W.read_frame(c.address, R.STATUS, 1), W.read_answer_length(1))
        if not a.good:
            raise W.link_error(a, "the status word")
        mode, seg = a.data[4], a.data[5]
        index = seg // 15 if mode == RUN_MODE_RUNNING and 0 <= seg <= 240 and seg // 15 < 16 else -1
        return ProgramStatus(mode == RUN_MODE_RUNNING, mode, seg, index)


class Controller:
    """One controller.

    ``Controller("/dev/ttyUSB0", address=1, baudrate=19200)`` opens the port
    (exclusively) and identifies the controller; ``Controller(bus, address)``
    or ``bus.controller(address)`` shares a Bus's port and lock.
    """

    def __init__(self, port, address=1, baudrate=19200, identify=True):
        self.address = _check_address(address)
        if isinstance(port, Bus):
            self._bus, self._own_bus = port, False
        else:
            self._bus, self._own_bus = Bus(port, baudrate), True
        self._scale = None
        self.program = Program(self)
        self.identity = None
        if identify:
            try:
                self.identity = self.identify()
            except BaseException:
                self.close()
                raise

    # ---- housekeeping ----

    @property
    def _link(self):
        return self._bus.link

    def close(self):
        if self._own_bus:
            self._bus.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "Controller(%r, address=%d)" % (self._bus.device, self.address)

    # ---- identification ----

    def identify(self):
        """Identity(model, identity); IdentificationError for another model,
        LinkError when nothing sensible answers."""
        with self._bus.lock:
            a = _identify(self._link, self.address)
        where = "address %d on %s" % (self.address, self._bus.device)
        if a.good:
            if a.data[4] not in (R.MODEL_VEXA, R.MODEL_VEXAMAX):
                raise IdentificationError("identification refused by %s (model code 0x%02X)" % (where, a.data[4]),
                                          a.data[4])
            return Identity(a.data[4], a.data[5])
        if a.status == W.EXCEPTION:
            raise IdentificationError("identification refused by %s (model code 0x%02X)" % (where, a.data[4]),
                                      a.data[4])
        raise LinkError(a.status, "no answer from %s (%s)" % (where, a.describe()), R.IDENTITY)

    # ---- scale ----

    def _read_scale(self, op):
        a = op.read(self._link, self.address, R.DECIMAL_PNT, 1)
        self._decimal = a.data[5]
        self._scale = R.temp_scale_for(a.data[5])
        return self._scale

    def _read_unit(self, op):
        self._cf_unit = op.read(self._link, self.address, R.CF_UNIT, 1).data[5]
        return self._cf_unit

    def _ensure_scale(self):
        if self._scale is None:
            with self._bus.lock:
                self._link.preamble()
                self._read_scale(_Op())
        return self._scale

    def _step_error(self, a, what):
        if a.status == W.EXCEPTION:
            return RefusedError("the step program could not be read: %s was refused" % what,
                                (a.request[2] << 8) | a.request[3])
        return LinkError(a.status, "the step program could not be read: %s got %s" % (what, a.describe()),
                         (a.request[2] << 8) | a.request[3])

    # ---- live values ----

    def _poll(self, reg, delay):
        scale = self._ensure_scale()
        with self._bus.lock:
            a = self._link.poll(W.read_frame(self.address, reg, 1), delay)
        if not a.good:
            raise W.link_error(a, "the poll of register " + R.register_name(reg))
        return f32(R._signed(a.reg(0)) / scale)

    @property
    def pv(self):
        """The process value (a verified poll read, as each tick of ``tecctl watch``)."""
        return self._poll(R.PV, W.POST_WRITE_DELAY)

    @property
    def sv(self):
        """The set value in use (a verified poll read, as each tick of ``tecctl watch``)."""
        return self._poll(R.WORKING_SV, W.SV_POST_WRITE_DELAY)

    @sv.setter
    def sv(self, value):
        self.set(sv=value)

    # ---- single parameters ----

    def get(self, *names):
        """One parameter's value (``get("sv")``), or a dict of several, as
        ``tecctl get NAME...``: temperatures in the controller's unit, codes as
        words where they have one (``"pid"``, ``"C"``)."""
        if not names:
            raise TypeError("get() wants at least one parameter name")
        params = [R.find(n) for n in names]
        out = {}
        with self._bus.lock:
            link = self._link
            link.preamble()
            op = _Op()
            scale = self._scale or 1.0
            # Temperatures need the scale read and the unit named; the
            # process value goes first, as tecctl shows it apart.
            if any(p.cls == R.T for p in params):
                scale = self._read_scale(op)
                self._read_unit(op)
            if any(p.name == "pv" for p in params):
                a = op.read(link, self.address, R.PV, 1)
                out["pv"] = R.decode(R.T, a.data[4], a.data[5], scale)
            for p in params:
                if p.name == "pv":
                    continue
                a = op.read(link, self.address, p.register, 1)
                v = R.decode(p.cls, a.data[4], a.data[5], scale)
                if p.register == R.ALARM_SWITCH:
                    v = R.alarm_watch_from_byte(a.data[5])
                out[p.name] = _shown(p.name, v)
                if p.register == R.DECIMAL_PNT:
                    self._scale = R.temp_scale_for(a.data[5])
        return out[params[0].name] if len(names) == 1 else {p.name: out[p.name] for p in params}

    def _prepare(self, name, value, rounding):
        p = R.find(name)
        if p.name in R.READ_ONLY:
            raise ValueError("%s is the process value the controller measures: it can be read, not set" % p.name)
        v = R.code_for(p.name, value)
        if isinstance(v, bool) or not isinstance(v, numbers.Real):
            raise ValueError("%s: %r is not a number" % (p.name, value))
        v = float(v)
        if not math.isfinite(v):
            raise ValueError("%s: %r is not a finite number" % (p.name, value))
        if p.cls in (R.I, R.B) and v != math.floor(v):
            raise ValueError("%s: wants a whole number, not %r" % (p.name, value))
        R.check_range(p, v, value)
        # Temperatures are checked at the controller's scale once it is read;
        # the rest now, before anything is sent.
        if p.cls != R.T:
            v = R.check_resolution(p, v, 1.0, rounding, value)
            R.check_sendable(p.name, p.cls, v, 1.0)
        return p, v, value

    def set(self, name=None, value=None, round=False, **values):
        """Writes single parameters, as ``tecctl set NAME=VALUE...``:
        ``set("sv", 37.5)`` or ``set(**{"alarm-high": 60, "pid2.p": 7.5})``
        (``pid2_p=7.5`` works too). Every value is checked before anything is
        written (ValueError): its range, and its resolution (a value finer
        than its register holds is refused, or with ``round=True`` rounded to
        the nearest it holds, as ``tecctl set --round``). A refusal by the
        controller raises RefusedError."""
        pairs = ([(name, value)] if name is not None else []) + list(values.items())
        if not pairs:
            raise TypeError("set() wants at least one NAME=VALUE")
        prepared = [self._prepare(n, v, round) for n, v in pairs]
        with self._bus.lock:
            link = self._link
            op = _Op()
            scale = self._scale or 1.0
            if any(p.cls == R.T for p, _, _ in prepared):
                scale = self._read_scale(op)
                self._read_unit(op)
            s = scale
            assignments = []
            for p, v, shown in prepared:
                if p.cls == R.T:
                    v = R.check_resolution(p, v, s, round, shown)
                R.check_sendable(p.name, p.cls, v, s)
                assignments.append((p, v))
                if p.register == R.DECIMAL_PNT:
                    s = R.temp_scale_for(int(v))
            for p, v in assignments:
                if p.register == R.SET_VALUE:
                    a = link.transact(W.write_frame(self.address, R.SET_VALUE, R.encode(R.T, v, scale)), 8)
                    if len(a.raw) >= 2 and a.raw[1] > 0x80:
                        raise RefusedError("the controller refused set value %.*f: check its high and low limits"
                                           % (0 if scale == 1.0 else 1, v), R.SET_VALUE, v)
                    if not a.good:
                        raise W.link_error(a, "the write of register " + R.register_name(R.SET_VALUE))
                elif p.register == R.ALARM_SWITCH:
                    self._alarm_switch(op, 1 if v != 0 else 0)
                elif p.register == R.KEYPAD:
                    link.preamble()  # the keypad switch sends as a sequence
                    op.write(link, self.address, p.register, R.encode(p.cls, v, 1.0), v)
                else:
                    op.write(link, self.address, p.register, R.encode(p.cls, v, scale), v)
                    if p.register == R.DECIMAL_PNT and not op.refused:
                        scale = R.temp_scale_for(int(v))
                        self._scale = scale
            op.raise_refusals()

    def _alarm_switch(self, op, on):
        self._switch_writes_done = 0
        for reg, value in R.alarm_switch_writes(on):
            op.write(self._link, self.address, reg, value, value)
            self._switch_writes_done += 1
        if on:
            a = self._link.guarded(W.read_frame(self.address, R.STATUS, 1), W.read_answer_length(1), True)
            if not a.good:
                raise W.link_error(a, "the read of register " + R.register_name(R.STATUS))

    @property
    def function(self):
        """The control function as a word ("off", "autotune", "manual", "pid", "program")."""
        return self.get("function")

    @function.setter
    def function(self, value):
        """Switches the control function, as ``tecctl function WORD``."""
        code = R.code_for("function", value)
        if isinstance(code, bool) or not isinstance(code, numbers.Real):
            raise ValueError("function: %r is not a number" % (value,))
        R.check_range(R.find("function"), code, value)
        with self._bus.lock:
            op = _Op()
            op.write(self._link, self.address, R.CTRL_FUNC, int(code), int(code))
            op.raise_refusals()

    @property
    def output(self):
        """The manual output level in percent."""
        return self.get("output")

    @output.setter
    def output(self, level):
        """Sets the manual output level, as ``tecctl output LEVEL``."""
        if isinstance(level, bool) or not isinstance(level, numbers.Real) or not math.isfinite(level):
            raise ValueError("output: %r is not a number" % (level,))
        p = R.find("output")
        R.check_range(p, level, level)
        level = R.check_resolution(p, level, 1.0, False, level)
        R.check_sendable("output level", R.D, level, 1.0)
        with self._bus.lock:
            op = _Op()
            op.write(self._link, self.address, R.OUTPUT_LEVEL, R.encode(R.D, level, 1.0), level)
            op.raise_refusals()

    # ---- every parameter ----

    def _read_all_steps(self, p):
        link, addr, op = self._link, self.address, _Op()
        a = op.read(link, addr, R.DECIMAL_PNT, 1)
        p.decimalPnt = a.data[5]
        p.tempScale = R.temp_scale_for(p.decimalPnt)
        for reg, cls, attr in _HEAD:
            a = op.read(link, addr, reg, 1)
            setattr(p, attr, R.decode(cls, a.data[4], a.data[5], p.tempScale))
        func = op.read(link, addr, R.CTRL_FUNC, 1).data[5]
        for n in range(1, 5):
            count = 6 if n < 4 else 5
            a = op.read(link, addr, R.pid_register(n, 1), count)
            i = n - 1

            def at(k, cls):
                return R.decode(cls, a.data[4 + 2 * k], a.data[5 + 2 * k], p.tempScale)
            p.pidP[i], p.pidI[i], p.pidD[i] = at(0, R.D), at(1, R.I), at(2, R.I)
            p.pidT4[i], p.pidT5[i] = at(3, R.D), at(4, R.D)
            if n < 4:
                p.pidBound[i] = at(5, R.T)
        for reg, cls, attr in _TAIL:
            a = op.read(link, addr, reg, 1)
            setattr(p, attr, R.decode(cls, a.data[4], a.data[5], p.tempScale))
        p.alarmWatch = R.alarm_watch_from_byte(op.read(link, addr, R.ALARM_SWITCH, 1).data[5])
        self._alarm_switch(op, p.alarmWatch)
        p.keypadValue = op.read(link, addr, R.KEYPAD, 1).data[5]
        self._scale = p.tempScale
        op.raise_refusals()
        return func

    def _read_all_set(self):
        """The read-all pass with its preamble: (ParameterSet, control function)."""
        p = F.ParameterSet()
        with self._bus.lock:
            self._link.preamble()
            func = self._read_all_steps(p)
        return p, func

    @staticmethod
    def _values(p, func):
        out = {}
        for param in R.PARAMETERS:
            if param.name == "band":
                continue  # not part of the read-all pass
            if param.name == "function":
                v = func
            elif param.name.startswith("pid"):
                attr = _PID_FIELD[param.name[5:]]
                v = getattr(p, attr)[int(param.name[3]) - 1]
            else:
                v = getattr(p, _FIELD_OF[param.name])
            out[param.name] = Value(_shown(param.name, v), R.unit_text(param, p.cfUnit))
        return out

    def read_all(self):
        """The process value and every parameter of the read-all pass, as
        ``tecctl read``: {name: Value(value, unit)}, "pv" first, then the
        pass's order."""
        p = F.ParameterSet()
        with self._bus.lock:
            self._link.preamble()
            func = self._read_all_steps(p)
            # The process value after the pass, at the scale and in the unit it read.
            a = _Op().read(self._link, self.address, R.PV, 1)
        out = {"pv": Value(R.decode(R.T, a.data[4], a.data[5], p.tempScale), R.unit_text(R.PV_PARAMETER, p.cfUnit))}
        out.update(self._values(p, func))
        return out

    def save(self, path):
        """Reads every parameter and saves them in the program's parameter-file format."""
        p, _ = self._read_all_set()
        F.write_text_file(path, F.format_parameter_file(p))

    def load(self, path):
        """Checks a parameter file, writes all of it (write-all pass) and reads
        everything back, as ``tecctl load``; returns what the controller now holds."""
        p = F.parse_parameter_file(F.read_text_file(path))
        _check_write_all(p)
        with self._bus.lock:
            link, addr, op = self._link, self.address, _Op()
            link.preamble()
            self._write_all(op, p)
            back = F.ParameterSet()
            link.preamble()
            func = self._read_all_steps(back)
        op.raise_refusals()
        return self._values(back, func)

    def _write_all(self, op, p):
        """The write-all pass. The pass's order can make the controller refuse
        a value the set's own limits admit (a set value above the range high it
        replaces): each refused value is then written again once the pass is
        through, until a round takes none. A set taken as it comes is sent
        exactly as the pass always sends it."""
        link, addr = self._link, self.address
        writes = []  # [register, value, refused]

        def send(reg, value, shown):
            before = len(op.refused)
            op.write(link, addr, reg, value, shown)
            writes.append([reg, value, len(op.refused) > before])
        send(R.DECIMAL_PNT, R.encode(R.B, p.decimalPnt, 1.0), p.decimalPnt)
        ts = p.tempScale = R.temp_scale_for(p.decimalPnt)
        for reg, v in ((R.SET_VALUE, p.setValue), (R.ALARM_HIGH, p.alarmHigh), (R.ALARM_LOW, p.alarmLow)):
            send(reg, R.encode(R.T, v, ts), v)
        before = len(op.refused)
        try:
            self._alarm_switch(op, p.alarmWatch)
        finally:
            for reg, value in R.alarm_switch_writes(p.alarmWatch)[:self._switch_writes_done]:
                writes.append([reg, value, reg in op.refused[before:]])
        send(R.OUTPUT_LEVEL, R.encode(R.D, p.outputLevel, ts), p.outputLevel)
        for t, (attr, cls) in enumerate((("pidP", R.D), ("pidI", R.I), ("pidD", R.I), ("pidT4", R.D),
                                          ("pidT5", R.D)), 1):
            for n in range(1, 5):
                v = getattr(p, attr)[n - 1]
                send(R.pid_register(n, t), R.encode(cls, v, ts), v)
        for reg, cls, attr in _TAIL:
            v = getattr(p, attr)
            send(reg, R.encode(cls, v, ts), v)
        if not op.refused:
            return
        try:
            F.check_parameter_limits(p)
        except ValueError:
            return
        taken = True
        while taken and op.refused:
            taken = False
            for w in writes:
                if not w[2]:
                    continue
                again = _Op()
                again.write(link, addr, w[0], w[1])
                if not again.refused:
                    w[2] = False
                    i = op.refused.index(w[0])
                    del op.refused[i], op.refused_values[i]
                    taken = True

    # ---- the step program's start and stop ----

    def _start_stop(self, start):
        with self._bus.lock:
            a = self._link.transact(W.write_frame(self.address, R.CTRL_FUNC, 5 if start else 0), 8,
                                    W.POST_WRITE_DELAY)
        verb = "run" if start else "stop"
        if a.status == W.EXCEPTION:
            raise RefusedError("the controller refused to %s the step program" % verb, R.CTRL_FUNC, 5 if start else 0)
        if not a.good:
            raise W.link_error(a, "the control function write")

    # ---- watching ----

    def _ticks(self, interval, count):
        """The watch's ticks: a Sample, or the last bad answer of a tick
        without both answers."""
        if interval < 0 or not math.isfinite(interval):
            raise ValueError("interval wants seconds from 0, not %r" % (interval,))
        if count is not None and count < 1:
            raise ValueError("count wants a number of ticks from 1, not %r" % (count,))
        clock, sleep = self._link.clock, self._link.sleep
        with self._bus.lock:
            self._link.preamble()
            scale = self._read_scale(_Op())
        ticks = 0
        next_at = clock()
        while count is None or ticks < count:
            while clock() < next_at:
                sleep(min(0.05, next_at - clock()))
            next_at += interval
            ticks += 1
            # The chart tick's order: SV, then PV.
            with self._bus.lock:
                a = self._link.poll(W.read_frame(self.address, R.WORKING_SV, 1), W.SV_POST_WRITE_DELAY)
                b = self._link.poll(W.read_frame(self.address, R.PV, 1), W.POST_WRITE_DELAY) if a.good else a
            if a.good and b.good:
                yield Sample(time.time(), f32(R._signed(a.reg(0)) / scale), f32(R._signed(b.reg(0)) / scale))
            else:
                yield b

    def watch(self, interval=1.0, count=None):
        """Yields Sample(time, sv, pv) every ``interval`` seconds (``count``
        times, or until the caller stops), as ``tecctl watch``: SV, then PV,
        by verified poll reads. A tick without both answers yields nothing; if
        no tick of a counted watch got an answer, LinkError."""
        good, last = 0, None
        for tick in self._ticks(interval, count):
            if isinstance(tick, Sample):
                good += 1
                yield tick
            else:
                last = tick
        if good == 0 and last is not None:
            raise W.link_error(last, "no tick got an answer; the last poll")

    def wait_until_stable(self, tolerance=0.2, duration=60.0, timeout=3600.0, interval=1.0, target=None):
        """Polls until PV has stayed within ``tolerance`` of ``target`` (the
        set value in use when None) for ``duration`` seconds; returns the last
        Sample. TimeoutError when that has not happened within ``timeout``
        (ticks without an answer count as out of the band)."""
        if tolerance < 0 or duration < 0 or timeout <= 0 or interval <= 0:
            raise ValueError("tolerance and duration from 0, timeout and interval above 0")
        clock = self._link.clock
        start = clock()
        since = None
        for tick in self._ticks(interval, None):
            now = clock()
            if isinstance(tick, Sample):
                aim = tick.sv if target is None else target
                if abs(tick.pv - aim) <= tolerance:
                    since = now if since is None else since
                    if now - since >= duration:
                        return tick
                else:
                    since = None
                why = "PV %.2f did not stay within %.2f of %.2f" % (tick.pv, tolerance, aim)
            else:
                since = None
                why = "the controller gave %s" % tick.describe()
            if now - start >= timeout:
                raise TimeoutError("%s for %g s within %g s" % (why, duration, timeout))


def _check_step_program(program, scale, low, high):
    """ValueError for a program the controller cannot hold or run: a set
    value or band beyond a register, an unknown action, a band below 0, or a
    step a run can reach with its set value outside the controller's span."""
    for k in range(1, F.STEPS + 2):
        v = program.steps[k - 1].sv if k <= F.STEPS else program.band
        if not F.temperature_fits(v, scale):
            what = "The set value of step %d" % k if k <= F.STEPS else "The tolerance band"
            raise ValueError("%s, %.1f, is outside what the controller can hold (%.1f to %.1f)."
                             % (what, v, -32768.0 / scale, 32767.0 / scale))
    d = 0 if scale == 1.0 else 1
    for k, step in enumerate(program.steps, 1):
        if not F.action_known(step.action):
            raise ValueError("The action of step %d, %d, is not one the step program knows (54 next, 44 to 51 "
                             "loop, 52 end)." % (k, step.action))
    if program.band < 0:
        raise ValueError("The tolerance band, %.*f, is below 0." % (d, program.band))
    lo, hi = F.scaled_temperature(low, scale), F.scaled_temperature(high, scale)
    for k, (step, reach) in enumerate(zip(program.steps, F.reachable_steps(program)), 1):
        raw = F.scaled_temperature(step.sv, scale)
        if reach and not lo <= raw <= hi:
            raise ValueError("The set value of step %d, %.*f, lies %s." % (
                k, d, step.sv, "below the controller's range low, %.*f" % (d, low) if raw < lo
                else "above the controller's range high, %.*f" % (d, high)))


def _check_write_all(p):
    scale = R.temp_scale_for(p.decimalPnt)
    checks = [("set value", R.T, p.setValue), ("high alarm", R.T, p.alarmHigh), ("low alarm", R.T, p.alarmLow),
              ("output level", R.D, p.outputLevel)]
    checks += [("PID set %d term 1" % (i + 1), R.D, p.pidP[i]) for i in range(4)]
    checks += [("PID set %d term 4" % (i + 1), R.D, p.pidT4[i]) for i in range(4)]
    checks += [("PID set %d term 5" % (i + 1), R.D, p.pidT5[i]) for i in range(4)]
    checks += [("register 0x0030 setting", R.T, p.reg30), ("register 0x0031 setting", R.T, p.reg31),
               ("range low", R.T, p.rangeLow), ("range high", R.T, p.rangeHigh), ("SW filter", R.D, p.swFilter)]
    for what, cls, v in checks:
        R.check_sendable(what, cls, v, scale)


__all__ = ["Bus", "Controller", "Identity", "Program", "ProgramStatus", "Sample", "Value", "scan", "TecError"]
