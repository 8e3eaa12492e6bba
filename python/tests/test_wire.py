"""The exchange on a virtual line: the verified poll read's repeats and their
bound, and how answers are told apart."""

import pytest

import tecontrol
from tecontrol import _wire as W
from conftest import ReplayPort, VirtualClock, tokens

IDENT = bytes.fromhex("01 03 00 02 F1 23 E0 43")
SCALE = W.seal(bytes.fromhex("01 03 00 02 00 1F"))
PV = W.seal(bytes.fromhex("01 03 00 02 01 02"))  # 25.8


def controller(answers):
    clock = VirtualClock()
    port = ReplayPort(clock, [IDENT] + answers)
    return tecontrol.Bus(port, _sleep=clock.sleep, _clock=clock.now).controller(1), port, clock


def test_poll_repeats_a_spoiled_answer_after_flush_and_pause():
    bad = PV[:-1] + bytes([PV[-1] ^ 0xFF])
    tec, port, clock = controller([SCALE, bad, PV])
    assert tec.pv == pytest.approx(25.8)
    t = tokens(port.events)
    request = "> " + W.read_frame(1, 0x1000, 1).hex(" ").upper()
    # scale read, then two attempts, each after its own preamble; the second
    # once the line has been quiet for the garbled answer's wire time (8
    # bytes of 10 bits; the replay port names no baud rate: 1200 at least)
    assert t.count(request) == 2 and t.count("preamble 0.050") == 3
    assert t[t.index(request) + 3:t.index(request) + 5] == ["preamble %.3f" % (8 * 10 / 1200), request]


@pytest.mark.parametrize("first, quiet", [
    (b"", W.POST_WRITE_DELAY + W.READ_TIMEOUT),        # silent: the whole answer time
    (W.seal(bytes.fromhex("02 03 00 02 00 1F")), W.POST_WRITE_DELAY + W.READ_TIMEOUT),  # another's answer
    (PV[:5], 8 * 10 / 9600),                           # short: the answer's wire time at the port's rate
    (PV[:-1] + bytes([PV[-1] ^ 0xFF]), 8 * 10 / 9600),  # garbled: likewise
    (W.seal(bytes.fromhex("01 83 02 00 00 00")), 0.0),  # a refusal is an intact answer: nothing to wait
])
def test_the_line_is_quiet_for_the_failed_answer_time_before_the_next_request(first, quiet):
    clock = VirtualClock()
    port = ReplayPort(clock, [first, W.write_frame(1, 0x0001, 100)])
    port.baudrate = 9600
    link = W.Link(port, sleep=clock.sleep, clock=clock.now)
    link.transact(W.read_frame(1, 0x1000, 1), 8)
    failed_at = clock.now()
    link.transact(W.write_frame(1, 0x0001, 100), 8)
    write_at = [e[1] for e in port.events if e[0] == "write"][-1]
    assert write_at - failed_at == pytest.approx(quiet)


def test_poll_gives_up_after_three_attempts_within_its_budget():
    tec, port, clock = controller([SCALE, b"", b"", b"", PV])
    start = clock.now()
    with pytest.raises(tecontrol.LinkError) as e:
        tec.pv
    assert e.value.kind == "silent" and e.value.register == 0x1000
    assert clock.now() - start < W.POLL_BUDGET + 0.2
    # settling after each silence leaves room for two attempts only
    assert port.answers == [b"", PV]


@pytest.mark.parametrize("raw, status", [
    (bytes.fromhex("01 03 00 02 00 1F A5 C2"), W.GOOD),
    (W.seal(bytes.fromhex("01 86 03")), W.EXCEPTION),              # the standard 5-byte refusal
    (W.seal(bytes.fromhex("01 83 02 00 00 00")), W.EXCEPTION),     # the controller's 8-byte one
    (W.seal(bytes.fromhex("01 03 02 00 1F")), W.SHORT),            # standard Modbus read answer, 7 bytes
    (bytes.fromhex("01 03 00 02 00 1F C2 A5"), W.BAD_CRC),
    (W.seal(bytes.fromhex("02 03 00 02 00 1F")), W.MISMATCH),      # another address
    (b"", W.SILENT),
])
def test_answers_are_told_apart(raw, status):
    assert W.Answer(W.read_frame(1, 0x2A, 1), raw, 8).status == status


def test_a_write_is_answered_only_by_its_echo():
    request = W.write_frame(1, 0x0000, 375)
    assert W.Answer(request, request, 8).good
    assert W.Answer(request, W.write_frame(1, 0x0000, 376), 8).status == W.MISMATCH


def test_crc_worked_values():
    assert W.read_frame(1, 0x1F00, 1).hex(" ") == "01 03 1f 00 00 01 83 de"
    assert W.write_frame(1, 0x0002, 0).hex(" ") == "01 06 00 02 00 00 28 0a"
    assert W.read_frame(0x0105, 0x1000, 1)[0] == 0x05


def test_wait_until_stable_ends_at_its_timeout_when_the_controller_falls_silent():
    sv = W.seal(bytes.fromhex("01 03 00 02 01 2C"))  # 30.0
    tec, port, clock = controller([SCALE] + [b""] * 400)
    start = clock.now()
    with pytest.raises(TimeoutError, match="no answer"):
        tec.wait_until_stable(tolerance=0.2, duration=5, timeout=30, interval=1.0)
    assert 30 <= clock.now() - start < 35
    tec, port, clock = controller([SCALE] + [sv, PV] * 3 + [sv, W.seal(bytes.fromhex("01 03 00 02 01 2D"))] * 10)
    s = tec.wait_until_stable(tolerance=0.2, duration=3, timeout=60, interval=1.0)
    assert s.pv == pytest.approx(30.1) and s.sv == 30.0


def test_a_failed_exchange_settles_the_line_before_the_next():
    tec, port, clock = controller([SCALE, b""])
    with pytest.raises(tecontrol.LinkError):
        tec.get("pv")  # the scale, then a silent PV read
    quiet_from = clock.now()
    port.answers.append(W.write_frame(1, 0x0001, 100))
    tec.output = 10
    # quiet for the silent exchange's answer time, then the write
    write_at = [e[1] for e in port.events if e[0] == "write"][-1]
    assert write_at - quiet_from == pytest.approx(W.POST_WRITE_DELAY + W.READ_TIMEOUT)
