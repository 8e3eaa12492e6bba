"""The controller's Modbus RTU dialect on a serial line: frames, the CRC,
answer checks and the write / wait / fixed-length read exchange with its
variants. Every request is 8 bytes; a read of n registers is answered with
2n + 6 bytes (two bytes more than standard Modbus), a write with its echo."""

import time

from .errors import LinkError, PortError

try:
    import termios
    _PORT_ERRORS = (OSError, ValueError, termios.error)
except ImportError:  # not POSIX
    _PORT_ERRORS = (OSError, ValueError)

FN_READ = 0x03
FN_WRITE = 0x06

# Delays of the protocol, seconds.
POST_WRITE_DELAY = 0.05
SV_POST_WRITE_DELAY = 0.03
PREAMBLE_DELAY = 0.05
SHORT_PREAMBLE_DELAY = 0.01
STEP_PREAMBLE_DELAY = 0.02
STEP_READ_DELAY = 0.03
READ_TIMEOUT = 1.0
# Settling a line after a failed exchange: at most this many quiet spans on
# a line that keeps talking, and the shortest look at what is waiting.
SETTLE_SPANS = 3.0
SETTLE_LOOK = 0.001
# An answer's wire time: 10 bits a byte (8N1), at no less than 1200 baud.
BITS_PER_BYTE = 10.0
SLOWEST_BAUD = 1200.0
# The verified poll read gives up after this many attempts or this long.
POLL_ATTEMPTS = 3
POLL_BUDGET = 3.5

# Answer statuses.
GOOD = "good"
EXCEPTION = "exception"
SILENT = "silent"
SHORT = "short"
BAD_CRC = "bad-crc"
MISMATCH = "wrong-answer"


def crc16(data):
    """CRC-16/Modbus of the bytes, as (low, high)."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            if crc & 1:
                crc = (crc >> 1) ^ 0xA001
            else:
                crc >>= 1
    return crc & 0xFF, crc >> 8


def seal(six):
    lo, hi = crc16(six)
    return bytes(six) + bytes((lo, hi))


def read_frame(address, register, count):
    return seal((address & 0xFF, FN_READ, register >> 8, register & 0xFF, count >> 8, count & 0xFF))


def write_frame(address, register, value):
    value &= 0xFFFF
    return seal((address & 0xFF, FN_WRITE, register >> 8, register & 0xFF, value >> 8, value & 0xFF))


def read_answer_length(registers):
    return 2 * registers + 6


def _crc_at(b, n):
    lo, hi = crc16(b[:n])
    return b[n] == lo and b[n + 1] == hi


def answer_is_good(b, expected):
    return len(b) == expected and expected >= 3 and _crc_at(b, expected - 2)


def is_exception_answer(b):
    n = len(b)
    if n < 5 or not (b[1] & 0x80):
        return False
    if n == 8:
        return _crc_at(b, 6) or _crc_at(b, 3)
    return _crc_at(b, 3)


def _read_complete(b, expected):
    n = len(b)
    if n >= expected:
        return True
    # A refusal in the standard 5-byte form ends the read as soon as it is whole;
    # in the 8-byte form while a longer block was expected, at 8.
    if n == 5 and expected > 5 and (b[1] & 0x80) and _crc_at(b, 3):
        return True
    return expected > 8 and n == 8 and is_exception_answer(b)


def answer_matches(request, b):
    if b[0] != request[0] or b[1] != request[1]:
        return False
    if request[1] == FN_WRITE:
        return bytes(b[2:6]) == bytes(request[2:6])
    return True


def _is_serial_exception(exc):
    return any(c.__name__ == "SerialException" for c in type(exc).__mro__)


class Answer:
    """What came back for one request: the bytes received (``raw``), the
    buffer of the requested length with zeros for what never arrived
    (``data``) and a status."""

    __slots__ = ("request", "raw", "data", "status")

    def __init__(self, request, raw, expected):
        self.request = request
        self.raw = bytes(raw)
        self.data = self.raw[:expected] + bytes(max(0, expected - len(self.raw)))
        self.status = self._classify(expected)

    def _classify(self, expected):
        b = self.raw
        if not b:
            return SILENT
        if len(b) in (5, 8) and is_exception_answer(b):
            return EXCEPTION
        if len(b) < expected:
            return SHORT
        if not answer_is_good(b, expected):
            return BAD_CRC
        if expected >= 8 and not answer_matches(self.request, b):
            return MISMATCH
        return GOOD

    @property
    def good(self):
        return self.status == GOOD

    def reg(self, k):
        return (self.data[4 + 2 * k] << 8) | self.data[5 + 2 * k]

    def describe(self):
        return describe(self.status, len(self.raw))


def describe(status, count=0):
    return {
        GOOD: "a good answer",
        EXCEPTION: "a refusal (exception answer)",
        SILENT: "no answer",
        SHORT: "a short answer (%d bytes)" % count,
        BAD_CRC: "an answer with a bad CRC",
        MISMATCH: "an answer to another request",
    }.get(status, "an unexpected answer")


def link_error(answer, what):
    """The LinkError for an answer that is neither good nor a refusal."""
    return LinkError(answer.status, "%s got %s" % (what, answer.describe()), register=(answer.request[2] << 8) | answer.request[3])


class Link:
    """The exchanges on one open port. ``port`` is a pyserial ``Serial`` (or
    anything with its ``write``, ``read``, ``reset_input_buffer``,
    ``reset_output_buffer`` and ``timeout``); ``sleep`` and ``clock`` are the
    waits and the monotonic clock (tests hand in a virtual pair)."""

    def __init__(self, port, sleep=time.sleep, clock=time.monotonic, timeout=READ_TIMEOUT, device=None):
        self.port = port
        self.sleep = sleep
        self.clock = clock
        self.timeout = timeout
        self.device = device
        # Set by an exchange without an intact answer: that answer may still
        # be on its way, so the next exchange first waits until the line has
        # been quiet this long (from settle_since) and drops what came.
        self.settle_quiet = 0.0
        self.settle_since = 0.0

    def _lost(self, exc):
        return PortError("lost", "%s went away: %s" % (self.device or "the serial port", exc), device=self.device)

    def flush_both(self):
        try:
            self.port.reset_output_buffer()
            self.port.reset_input_buffer()
        except _PORT_ERRORS as exc:
            raise self._lost(exc) from exc
        except Exception as exc:  # pyserial's SerialException and its kin
            if _is_serial_exception(exc):
                raise self._lost(exc) from exc
            raise

    def preamble(self, delay=PREAMBLE_DELAY):
        """The sequence preamble: both queues flushed, then a wait."""
        self.flush_both()
        self.sleep(delay)

    def _read(self, expected):
        buf = bytearray()
        deadline = self.clock() + self.timeout
        first = True
        changed = False
        while len(buf) < expected:
            if not first:
                remaining = deadline - self.clock()
                if remaining <= 0:
                    break
                # Changing the port's time-out reconfigures the port: only
                # when it matters (a read that has waited a while already).
                if remaining < self.timeout - 0.02:
                    self.port.timeout = remaining
                    changed = True
            # Ask only up to the next point where a refusal could end the answer.
            want = expected - len(buf)
            if expected > 5 and len(buf) < 5:
                want = 5 - len(buf)
            elif expected > 8 and len(buf) < 8:
                want = 8 - len(buf)
            chunk = self.port.read(want)
            first = False
            if not chunk:
                break
            buf += chunk
            if _read_complete(buf, expected):
                break
        if changed:
            self.port.timeout = self.timeout
        return bytes(buf)

    def transact(self, frame, expected, delay=POST_WRITE_DELAY):
        """One exchange: stale input dropped (locally, no wait), the frame
        written, ``delay`` waited, ``expected`` bytes read (or fewer: a refusal
        ends the read at once, silence at the time-out)."""
        try:
            # A late answer to an earlier request must never be taken for this one.
            self.settle()
            self.port.reset_input_buffer()
            self.port.write(frame)
            self.sleep(delay)
            raw = self._read(expected)
        except _PORT_ERRORS as exc:
            raise self._lost(exc) from exc
        except Exception as exc:  # pyserial's SerialException and its kin
            if _is_serial_exception(exc):
                raise self._lost(exc) from exc
            raise
        answer = Answer(frame, raw, expected)
        # The answer's expected time: the whole wait for an answer not seen
        # (none came, or another request's), the wire time of the whole
        # answer for one that came garbled or cut short (its tail may still
        # stream in).
        if answer.status in (SILENT, MISMATCH):
            self.settle_quiet = delay + self.timeout
        elif answer.status in (SHORT, BAD_CRC):
            baud = getattr(self.port, "baudrate", None) or 0
            self.settle_quiet = expected * BITS_PER_BYTE / max(float(baud), SLOWEST_BAUD)
        if self.settle_quiet > 0:
            self.settle_since = self.clock()
        return answer

    def settle(self):
        """After an exchange without an intact answer: waits until no byte
        has come for that exchange's answer time (its post-write delay and the
        read time-out when no answer of its own was seen, the whole answer's
        wire time when one came short or garbled), counted from when it gave
        up and again from every byte that comes meanwhile (dropped), at most
        three such spans; then flushes the input. Nothing on a settled line."""
        quiet, since = self.settle_quiet, self.settle_since
        self.settle_quiet = 0.0
        if quiet <= 0:
            return
        give_up = self.clock() + SETTLE_SPANS * quiet
        try:
            while True:
                left = since + quiet - self.clock()
                if left <= 0:
                    break  # quiet long enough: what came meanwhile goes with the flush
                self.port.timeout = max(left, SETTLE_LOOK)
                dropped = self.port.read(1)
                if dropped:
                    waiting = getattr(self.port, "in_waiting", 0)
                    if waiting:
                        self.port.timeout = 0
                        self.port.read(waiting)
                if not dropped or self.clock() >= give_up:
                    break
                since = self.clock()
        finally:
            self.port.timeout = self.timeout
        self.port.reset_input_buffer()

    def guarded(self, frame, expected, short_preamble=False):
        """The guarded transaction: the short preamble (a 0.01 s wait, no
        flush) or the full one, then one exchange. The caller holds the lock."""
        if short_preamble:
            self.sleep(SHORT_PREAMBLE_DELAY)
        else:
            self.preamble()
        return self.transact(frame, expected, POST_WRITE_DELAY)

    def poll(self, frame, delay):
        """The verified poll read: preamble, exchange, and on a bad answer
        flush, wait and repeat, at most POLL_ATTEMPTS times and never much
        beyond POLL_BUDGET seconds. Returns the last answer."""
        # What an earlier failed exchange left is waited out before the
        # poll's own time starts.
        try:
            self.settle()
        except _PORT_ERRORS as exc:
            raise self._lost(exc) from exc
        except Exception as exc:  # pyserial's SerialException and its kin
            if _is_serial_exception(exc):
                raise self._lost(exc) from exc
            raise
        start = self.clock()
        self.preamble()
        attempt_cost = PREAMBLE_DELAY + delay + READ_TIMEOUT
        answer = None
        for attempt in range(1, POLL_ATTEMPTS + 1):
            answer = self.transact(frame, 8, delay)
            if answer.good:
                break
            # The next attempt first waits for the line to settle.
            if attempt == POLL_ATTEMPTS or self.clock() - start + attempt_cost + self.settle_quiet > POLL_BUDGET:
                break
            self.preamble()
        return answer
