"""Remote against the real server: `tecctl serve` holding tecsim's
pseudo-terminal, found through the note it leaves in the runtime folder.
Reads, writes with the server's token (exactly tecctl set's frames on the
line), and every error status mapped to its exception."""

import json
import os
import signal
import subprocess

import pytest

import tecontrol
from tecontrol import _wire as W
from conftest import wait_for

POLLS = ("01 03 10 00", "01 03 10 01")


def hexframe(b):
    return b.hex(" ").upper()


class Served:
    """tecctl serve on a tecsim, with its own runtime and config folders."""

    def __init__(self, tecctl, sim, tmp_path):
        self.sim = sim
        run, config = tmp_path / "run", tmp_path / "config"
        run.mkdir(mode=0o700)
        config.mkdir(mode=0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=str(run), XDG_CONFIG_HOME=str(config))
        # What the controller holds, read on the port before it is served.
        read = subprocess.run([tecctl, "--port", sim.link, "--json", "read"], env=self.env, capture_output=True,
                              text=True, timeout=60, check=True)
        self.direct = json.loads(read.stdout)
        self.proc = subprocess.Popen([tecctl, "--port", sim.link, "serve", "--http", "127.0.0.1:0",
                                      "--interval", "0.2"], env=self.env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        device = os.path.realpath(sim.link)
        note = run / "tecontrol" / ("serve-%s.json" % device[len("/dev/"):].replace("/", "_"))
        if not wait_for(lambda: note.exists(), 20.0, 0.05):
            self.stop()
            raise RuntimeError("tecctl serve left no note: %s" % self.proc.stderr.read())
        self.url = json.loads(note.read_text())["url"]
        self.token = (config / "tecontrol" / "server-token").read_text().strip()

    def requests_since(self, count):
        """What reached the line since then, the rounds' polls left out."""
        return [f for f in self.sim.frames()[count:] if not f.startswith(POLLS)]

    def writes_since(self, count):
        return [f for f in self.requests_since(count) if f[3:5] in ("06", "10")]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()


@pytest.fixture
def served(sim, tecctl_path, tmp_path):
    s = Served(tecctl_path, sim, tmp_path)
    yield s
    s.stop()


def test_reads_give_what_the_controller_holds(served):
    remote = tecontrol.Remote(served.url, token=False)
    listed = remote.controllers()
    assert [c["address"] for c in listed] == [1] and listed[0]["state"] == "online"
    assert remote.address == 1
    assert wait_for(lambda: remote.sv == 25.0, 10.0, 0.1)
    assert isinstance(remote.pv, float)
    values = remote.read_all()
    assert values["sv"] == tecontrol.Value(25.0, "\u00b0C")
    held = served.direct["parameters"]
    assert sorted(values) == sorted(held)
    for name, v in held.items():
        assert values[name] == tecontrol.Value(v["value"], v["unit"]), name
    assert remote.get("sv", "alarm-high") == {"sv": 25.0, "alarm-high": values["alarm-high"].value}
    samples = list(remote.watch(interval=0.05, count=2))
    assert len(samples) == 2 and all(s.sv == 25.0 for s in samples)
    points = remote.history()
    assert points and all("time" in p for p in points)
    assert remote.history(csv=True).startswith("  Date,       Time,     SV,    PV\n")


def test_writes_send_exactly_tecctls_frames(served, start_sim, tecctl_path):
    alone = start_sim(name="alone")
    subprocess.run([tecctl_path, "--port", alone.link, "set", "sv=30", "alarm-high=60"], check=True,
                   capture_output=True, timeout=60)
    direct = alone.frames()[1:]  # after the identification

    remote = tecontrol.Remote(served.url, token=served.token)
    before = len(served.sim.frames())
    remote.set(sv=30, **{"alarm-high": 60})
    assert served.requests_since(before) == direct
    assert remote.read_all()["sv"].value == 30.0
    assert wait_for(lambda: remote.sv == 30.0, 10.0, 0.1)

    before = len(served.sim.frames())
    remote.function = "manual"
    assert served.requests_since(before) == [hexframe(W.write_frame(1, 0x0002, 3))]
    assert remote.function == 3
    # The rounds read no status word: the server cannot say whether the
    # step program runs, and Remote does not guess.
    with pytest.raises(tecontrol.RemoteError):
        remote.program.status


def test_round_sends_what_tecctl_set_round_sends(served, start_sim, tecctl_path):
    alone = start_sim(name="alone")
    subprocess.run([tecctl_path, "--port", alone.link, "--round", "set", "sv=37.57", "alarm-high=45.04"],
                   check=True, capture_output=True, timeout=60)
    direct = alone.frames()[1:]  # after the identification

    remote = tecontrol.Remote(served.url, token=served.token)
    before = len(served.sim.frames())
    remote.set(sv=37.57, round=True, **{"alarm-high": 45.04})
    assert served.requests_since(before) == direct
    assert remote.read_all()["sv"].value == 37.6


def test_every_refusal_maps_to_its_exception_and_sends_nothing(served):
    before = len(served.sim.frames())
    with pytest.raises(tecontrol.AuthorizationError):
        tecontrol.Remote(served.url, token="0" * 64, address=1).sv = 30
    with pytest.raises(tecontrol.AuthorizationError):
        tecontrol.Remote(served.url, token=False, address=1).sv = 30
    assert served.writes_since(before) == []
    remote = tecontrol.Remote(served.url, token=served.token, address=1)
    with pytest.raises(ValueError):
        remote._post("set", {"nothing": 1})
    with pytest.raises(ValueError):
        remote._post("set", {"sv": 37.55})  # finer than the decimal point: read, then refused
    assert served.writes_since(before) == []
    with pytest.raises(tecontrol.RemoteError) as e:
        tecontrol.Remote(served.url, token=served.token, address=9).sv = 30
    assert e.value.status == 404
    # Above the controller's range: it refuses, and says which value.
    with pytest.raises(tecontrol.RefusedError):
        remote.sv = 999
