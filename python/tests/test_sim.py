"""The package against tecsim on a pseudo-terminal: frames on a real line,
refusals, every fault kind, several controllers on one line, watch timing,
and files byte-identical to tecctl's."""

import os
import subprocess
import sys
import threading
import time

import pytest

import tecontrol
from tecontrol import _wire as W
from conftest import wait_for


def hexframe(b):
    return b.hex(" ").upper()


def tecctl(exe, link, *args, check=True):
    r = subprocess.run([exe, "--port", link] + list(args), capture_output=True, text=True, timeout=60)
    if check:
        assert r.returncode == 0, r.stderr
    return r


# ---- frames on the line ----

def test_identify_and_the_requests_tecsim_receives(sim):
    with tecontrol.Controller(sim.link, address=1, baudrate=19200) as tec:
        assert tec.identity == tecontrol.Identity(model=0xF1, identity=0x23)
        tec.sv = 37.5
        assert tec.get("sv") == 37.5
    sent = sim.frames("rx")
    assert sent[0] == "01 03 1F 00 00 01 83 DE"
    # set: the decimal point and the unit (no preamble), then the set value 375
    assert sent[1:4] == [hexframe(W.read_frame(1, 0x2A, 1)), hexframe(W.read_frame(1, 0x29, 1)),
                         hexframe(W.write_frame(1, 0x0000, 375))]


@pytest.mark.parametrize("command, call", [
    (["read"], lambda t: t.read_all()),
    (["set", "alarm-high=60", "pid2.p=7.5"], lambda t: t.set(**{"alarm-high": 60, "pid2.p": 7.5})),
    (["program", "get"], lambda t: t.program.read()),
    (["function", "manual"], lambda t: setattr(t, "function", "manual")),
])
def test_same_requests_as_tecctl_on_a_real_line(start_sim, tecctl_path, command, call):
    a = start_sim(name="a")
    tecctl(tecctl_path, a.link, *command)
    b = start_sim(name="b")
    with tecontrol.Controller(b.link) as tec:
        call(tec)
    assert wait_for(lambda: len(b.frames()) >= len(a.frames()), 2.0)
    assert b.frames() == a.frames()


def test_values_are_checked_before_anything_is_sent(sim):
    with tecontrol.Controller(sim.link) as tec:
        before = len(sim.frames())
        for bad in ({"sv": 1e6}, {"pid2.p": 5000}, {"pid1.i": 2.5}, {"unit": "kelvin"}, {"function": 5},
                    {"pv": 20}, {"sensor": 300}, {"output": float("nan")}):
            with pytest.raises(ValueError):
                tec.set(**bad)
        with pytest.raises(ValueError):
            tec.output = 4000
        with pytest.raises(ValueError):
            tec.function = "program"
        with pytest.raises(KeyError):
            tec.get("nothing")
        assert len(sim.frames()) == before
        for bad, why in (({"output": 100.5}, "out of range"), ({"output": 40.05}, "nearest 40.0 or 40.1"),
                         ({"function": 2}, "off \\(0\\), autotune"), ({"decimal-point": 29}, "30 \\(whole units\\)"),
                         ({"filter": 10}, "0.0 to 9.9"), ({"pid1.i": 40000}, "out of range")):
            with pytest.raises(ValueError, match=why):
                tec.set(**bad)
        assert len(sim.frames()) == before
        # One decimal: 3276.8 does not fit, 37.55 lies between two steps, and
        # only the scale and the unit were read for them.
        with pytest.raises(ValueError, match="between -3276.8 and 3276.7"):
            tec.sv = 3276.8
        with pytest.raises(ValueError, match="nearest 37.5 or 37.6"):
            tec.sv = 37.55
        assert sim.frames()[before:] == [hexframe(W.read_frame(1, 0x2A, 1)), hexframe(W.read_frame(1, 0x29, 1))] * 2
        tec.set(sv=37.55, round=True)
        assert sim.frames()[-1] == hexframe(W.write_frame(1, 0x0000, 376))


def test_words_and_codes(sim):
    with tecontrol.Controller(sim.link) as tec:
        tec.set(unit="F", direction="Reversed", sensor=1)
        assert tec.get("unit", "direction", "sensor") == {"unit": "F", "direction": "reversed", "sensor": "pt100"}
        tec.function = "pid"
        assert tec.function == "pid"
        values = tec.read_all()
        assert values["sv"] == tecontrol.Value(25.0, "\u00b0F") and values["output"].unit == "%"
        assert values["function"].value == "pid" and values["pid1.i"] == tecontrol.Value(40, "s")
        assert values["pv"].unit == "\u00b0F" and list(values)[0] == "pv"


# ---- refusals and faults ----

def test_refusals_name_register_and_value(start_sim):
    s = start_sim()
    with tecontrol.Controller(s.link) as tec:
        with pytest.raises(tecontrol.RefusedError) as e:
            tec.sv = 200  # above range high 150.0
        assert (e.value.register, e.value.value) == (0x0000, 200)
        assert tec.get("sv") == 25.0
    r = start_sim("--exception", 2, "--five-byte-exception", name="refusing")
    with pytest.raises(tecontrol.IdentificationError):
        tecontrol.Controller(r.link)
    with tecontrol.Controller(r.link, identify=False) as tec:
        t0 = time.monotonic()
        with pytest.raises(tecontrol.RefusedError) as e:
            tec.output = 10
        assert e.value.register == 0x0001 and e.value.value == 10
        assert time.monotonic() - t0 < 0.5  # a 5-byte refusal ends the read at once
        with pytest.raises(tecontrol.RefusedError):
            tec.program.run()


@pytest.mark.parametrize("options, kind", [
    (["--silent"], "silent"),
    (["--short", "3"], "short"),
    (["--bad-crc"], "bad-crc"),
    (["--standard-read"], "short"),
])
def test_every_fault_kind(start_sim, options, kind):
    s = start_sim(*options)
    with pytest.raises(tecontrol.LinkError) as e:
        tecontrol.Controller(s.link)
    assert e.value.kind == kind and e.value.register == 0x1F00


def test_a_late_answer_is_taken_for_no_other_request(start_sim):
    # The read's answer comes 1.5 s late, after its time-out: the next
    # exchange first waits until the line is quiet and drops it, so the write
    # never takes it for its echo.
    s = start_sim("--delay", "1.5")
    with tecontrol.Controller(s.link, identify=False) as tec:
        with pytest.raises(tecontrol.LinkError) as e:
            tec.get("function")
        assert e.value.kind == "silent"
        t0 = time.monotonic()
        with pytest.raises(tecontrol.LinkError) as e:
            tec.output = 10
        assert e.value.kind == "silent" and e.value.register == 0x0001
        # quiet for 1.05 s after the late answer, then the write's own wait
        assert time.monotonic() - t0 > 1.05 + 1.05
    read_answer = s.frames("tx")[0]
    assert read_answer.startswith("01 03 00 02")


def test_port_errors(sim, tmp_path, monkeypatch):
    with pytest.raises(tecontrol.PortError) as e:
        tecontrol.Controller(str(tmp_path / "ttyNone"))
    assert e.value.kind == "not-present"
    with tecontrol.Controller(sim.link):
        with pytest.raises(tecontrol.PortError) as e:
            tecontrol.Controller(sim.link)
        assert e.value.kind == "busy" and "busy" in str(e.value)
    real_access = os.access
    monkeypatch.setattr(os, "access", lambda p, m: False if str(p) == sim.link else real_access(p, m))
    import serial
    monkeypatch.setattr(serial, "Serial", lambda **kw: (_ for _ in ()).throw(serial.SerialException("denied")))
    with pytest.raises(tecontrol.PortError) as e:
        tecontrol.Controller(sim.link)
    assert e.value.kind == "permission-denied" and e.value.group
    assert "sudo adduser $USER %s" % e.value.group in str(e.value)


def test_busy_names_the_holder_and_tecctl_sees_us(sim, tecctl_path):
    p = subprocess.Popen([tecctl_path, "--port", sim.link, "watch", "--interval", "0.2", "--count", "100"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: p.stdout.readline() != b"", 10)
        with pytest.raises(tecontrol.PortError) as e:
            tecontrol.Controller(sim.link)
        assert e.value.kind == "busy" and "tecctl (process %d)" % p.pid in e.value.holder
    finally:
        p.terminate()
        p.wait(10)
        p.stdout.close()
    with tecontrol.Controller(sim.link):
        r = tecctl(tecctl_path, sim.link, "identify", check=False)
        assert r.returncode == 3 and "busy" in r.stderr, r.stderr
    # Another Python holding it is named with its process.
    holder = subprocess.Popen([sys.executable, "-c", "import sys, tecontrol; t = tecontrol.Controller(sys.argv[1]); "
                               "print('open', flush=True); sys.stdin.read()", sim.link],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tecontrol.__file__))))
    try:
        assert holder.stdout.readline().strip() == "open"
        with pytest.raises(tecontrol.PortError) as e:
            tecontrol.Controller(sim.link)
        assert e.value.kind == "busy" and "(process %d)" % holder.pid in e.value.holder
    finally:
        holder.stdin.close()
        holder.wait(10)
        holder.stdout.close()
    tecontrol.Controller(sim.link).close()  # and free again


# ---- several controllers on one line ----

def test_bus_shares_one_port_and_one_lock(start_sim):
    # tecsim serves one address; a second controller on the line waits for a
    # multi-address simulator, so here: one that answers, one that does not.
    s = start_sim("--address", 5)
    assert tecontrol.scan(s.link, range(4, 7)) == {5: tecontrol.Identity(0xF1, 0x23)}
    with tecontrol.Bus(s.link) as bus:
        with pytest.raises(tecontrol.LinkError) as e:
            bus.controller(4)
        assert e.value.kind == "silent"
        a, b = bus.controller(5), bus.controller(5)
        results, errors = [], []

        def work(tec, value):
            try:
                for _ in range(3):
                    tec.set(**{"alarm-high": value})
                    results.append(tec.get("alarm-high"))
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)
        threads = [threading.Thread(target=work, args=(a, 60.0)), threading.Thread(target=work, args=(b, 70.0))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert not errors and len(results) == 6 and set(results) <= {60.0, 70.0}
    # Every request to address 5 got its own answer: no two exchanges interleaved.
    assert len([f for f in s.frames("rx") if f.startswith("05")]) == len(s.frames("tx"))
    assert not s.frames("lost")


# ---- watching ----

def test_watch_timing_and_values(start_sim):
    s = start_sim("--set", "0x1000=312", "--set", "0x0000=300")
    with tecontrol.Controller(s.link) as tec:
        t0 = time.monotonic()
        samples = list(tec.watch(interval=0.4, count=4))
        elapsed = time.monotonic() - t0
    assert len(samples) == 4
    assert all(abs(x.pv - 31.2) < 0.5 and x.sv == 30.0 for x in samples)
    gaps = [b.time - a.time for a, b in zip(samples, samples[1:])]
    assert all(abs(g - 0.4) < 0.08 for g in gaps), gaps
    # scale read (0.1 s), three intervals, the last tick (two polls, ~0.2 s)
    assert 1.4 < elapsed < 1.9, elapsed
    assert tecontrol.Sample._fields == ("time", "sv", "pv")


def test_wait_until_stable(start_sim):
    s = start_sim("--speed", "100", "--set", "0x0000=300", "--set", "0x0002=4")
    with tecontrol.Controller(s.link) as tec:
        last = tec.wait_until_stable(tolerance=0.5, duration=1.0, timeout=60, interval=0.25)
        assert abs(last.pv - 30.0) <= 0.5
        t0 = time.monotonic()
        with pytest.raises(TimeoutError):
            tec.wait_until_stable(tolerance=0.1, duration=1.0, timeout=1.0, interval=0.25, target=90.0)
        assert time.monotonic() - t0 < 3.0


# ---- files ----

def test_files_are_byte_identical_to_tecctls(start_sim, tecctl_path, tmp_path):
    s = start_sim("--set", "0x0000=377", "--set", "0x001C=8", "--set", "0x0021=-55")
    tecctl(tecctl_path, s.link, "save", str(tmp_path / "c.prm"))
    tecctl(tecctl_path, s.link, "program", "get", str(tmp_path / "c.srp"))
    with tecontrol.Controller(s.link) as tec:
        tec.save(str(tmp_path / "py.prm"))
        prog = tec.program.read(str(tmp_path / "py.srp"))
        assert (tmp_path / "py.prm").read_bytes() == (tmp_path / "c.prm").read_bytes()
        assert (tmp_path / "py.srp").read_bytes() == (tmp_path / "c.srp").read_bytes()
        # Load a changed file, save again: what the controller now holds.
        text = (tmp_path / "py.prm").read_text().replace("  37.70", "  31.50", 1)
        (tmp_path / "new.prm").write_text(text)
        values = tec.load(str(tmp_path / "new.prm"))
        assert values["sv"].value == 31.5
        tec.save(str(tmp_path / "again.prm"))
        assert (tmp_path / "again.prm").read_text() == text
        # The step program round trip through the controller.
        prog.steps[1] = tecontrol.Step(35.5, 30, 30, 54, 0)
        tec.program.write(prog)
        assert tec.program.read() == prog
        tec.program.run()
        assert tec.program.status.running
        tec.program.stop()
        assert not tec.program.status.running
    tecctl(tecctl_path, s.link, "save", str(tmp_path / "c2.prm"))
    assert (tmp_path / "c2.prm").read_bytes() == (tmp_path / "again.prm").read_bytes()


def test_a_port_that_goes_away_is_a_port_error(start_sim):
    s = start_sim()
    with tecontrol.Controller(s.link) as tec:
        assert tec.pv > 0
        s.stop()
        with pytest.raises(tecontrol.PortError) as e:
            tec.pv
        assert e.value.kind == "lost"


def test_a_step_program_the_controller_cannot_run_is_not_sent(sim):
    with tecontrol.Controller(sim.link) as tec:
        before = len(sim.frames())
        far = tecontrol.StepProgram([(40.0, 60, 120, 54, 0), (300.0, 60, 60, 52, 0)], 1.0)
        with pytest.raises(ValueError, match="step 2, 300.0, lies above the controller's range high, 150.0"):
            tec.program.write(far)
        # An unreachable step may hold anything.
        tec.program.write(tecontrol.StepProgram([(40.0, 60, 120, 52, 0), (300.0, 60, 60, 52, 0)], 1.0))
        sent = sim.frames()[before:]
        assert sent[:2] == [hexframe(W.read_frame(1, 0x2A, 1)), hexframe(W.read_frame(1, 0x2C, 2))]
        assert not any(f.startswith("01 06") for f in sent[:2]) and len(sent) == 2 + 2 + 41
