"""The package sends exactly the golden frames, the same file the C++ test
holds tecctl to; the register table is the one the C++ map records."""

import os

import pytest

import tecontrol
from tecontrol import registers as R
from conftest import GOLDEN, ReplayPort, VirtualClock, parse_golden, tokens

OPS = parse_golden()


def _number_or_word(text):
    try:
        return float(text)
    except ValueError:
        return text  # a coded value's word, as tecctl takes it


def run(tec, command, folder):
    w = command.split()
    name, args = w[0], w[1:]
    if name == "identify":
        return None  # the identification at opening is the whole command
    if name == "read":
        return tec.read_all()
    if name == "get":
        return tec.get(*args)
    if name == "set":
        return tec.set(**{k: _number_or_word(v) for k, v in (a.split("=") for a in args)})
    if name == "save":
        return tec.save(os.path.join(folder, args[0]))
    if name == "load":
        return tec.load(os.path.join(folder, args[0]))
    if name == "program":
        if args[0] == "get":
            return tec.program.read(os.path.join(folder, args[1]) if len(args) > 1 else None)
        if args[0] == "put":
            return tec.program.write(os.path.join(folder, args[1]))
        if args[0] == "status":
            return tec.program.status
        return getattr(tec.program, args[0])()
    if name == "function":
        tec.function = args[0]
        return None
    if name == "output":
        tec.output = float(args[0])
        return None
    if name == "watch":
        opts = dict(zip(args[::2], args[1::2]))
        return list(tec.watch(interval=float(opts["--interval"]), count=int(opts["--count"])))
    raise AssertionError("no Python call for " + command)


def test_the_file_covers_every_command():
    assert {op["command"].split()[0] for op in OPS} >= {
        "identify", "read", "get", "set", "save", "load", "program", "function", "output", "watch"}


@pytest.mark.parametrize("op", OPS, ids=[op["command"] for op in OPS])
def test_same_frames_as_tecctl(op, tmp_path):
    answers = []
    for t in op["tokens"]:
        if t.startswith("<"):
            answers.append(bytes.fromhex(t[1:]))
    clock = VirtualClock()
    port = ReplayPort(clock, answers)
    for name, text in op["inputs"]:
        (tmp_path / name).write_bytes(text.encode("ascii"))
    bus = tecontrol.Bus(port, _sleep=clock.sleep, _clock=clock.now)
    outcome = None
    try:
        tec = bus.controller(1)
        outcome = run(tec, op["command"], str(tmp_path))
    except (tecontrol.TecError, ValueError) as exc:
        outcome = exc
    assert tokens(port.events) == op["tokens"], "outcome: %r" % (outcome,)
    for name, text in op["outputs"]:
        assert (tmp_path / name).read_bytes() == text.encode("ascii")


def test_refused_set_value_is_reported_with_register_and_value(tmp_path):
    op = next(o for o in OPS if o["command"] == "set sv=200")
    clock = VirtualClock()
    port = ReplayPort(clock, [bytes.fromhex(t[1:]) for t in op["tokens"] if t.startswith("<")])
    tec = tecontrol.Bus(port, _sleep=clock.sleep, _clock=clock.now).controller(1)
    with pytest.raises(tecontrol.RefusedError) as e:
        tec.sv = 200
    assert e.value.register == 0x0000 and e.value.value == 200


def test_register_table_matches_the_c_plus_plus_map():
    with open(os.path.join(GOLDEN, "registers.txt")) as f:
        recorded = [line.split() for line in f if line.strip() and not line.startswith("#")]
    ours = [[p.name, "0x%04X" % p.register, p.cls, p.unit or "-"] for p in R.PARAMETERS]
    assert ours == recorded
    # The process value is named by scripts as by tecctl, and never written.
    if "pv" not in [r[0] for r in recorded]:
        assert R.find("pv").register == 0x1000 and "pv" in R.READ_ONLY
