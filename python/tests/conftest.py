"""Shared test support: the golden files, a virtual line that replays
answers, and tecsim on a pseudo-terminal."""

import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
GOLDEN = os.path.join(ROOT, "tests", "golden")
sys.path.insert(0, os.path.dirname(HERE))


def wait_for(condition, timeout, step=0.01):
    """Waits until condition() is true; False when the deadline passed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return bool(condition())


def _built(name):
    """A program of the C++ build: $TECSIM / $TECCTL, else the build folder."""
    env = os.environ.get(name.upper())
    if env:
        return env
    build = os.environ.get("TEC_BUILD_DIR", os.path.join(ROOT, "build"))
    for cand in (os.path.join(build, name), os.path.join(build, "sim", name)):
        if os.access(cand, os.X_OK):
            return cand
    return None


@pytest.fixture(scope="session")
def tecsim_path():
    path = _built("tecsim")
    if not path:
        pytest.fail("tecsim is not built (build it, or point $TECSIM at it)")
    return path


@pytest.fixture(scope="session")
def tecctl_path():
    path = _built("tecctl")
    if not path:
        pytest.fail("tecctl is not built (build it, or point $TECCTL at it)")
    return path


class Sim:
    """tecsim on a pseudo-terminal, reached through a link in a temp folder."""

    def __init__(self, exe, folder, *args, name="ttyTEC"):
        self.link = os.path.join(str(folder), name)
        self.log = os.path.join(str(folder), name + ".log")
        self.proc = subprocess.Popen([exe, "--link", self.link, "--log", self.log] + [str(a) for a in args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("tecsim: "):
            self.stop()
            raise RuntimeError("tecsim did not start: %r %s" % (line, self.proc.stderr.read()))
        if not wait_for(lambda: os.path.islink(self.link), 5.0):
            self.stop()
            raise RuntimeError("tecsim made no link")

    def frames(self, kind="rx"):
        """The frames of the traffic log of that kind, as hex text."""
        out = []
        try:
            with open(self.log) as f:
                for line in f:
                    parts = line.split()
                    if len(parts) >= 2 and parts[1] == kind:
                        out.append(" ".join(parts[2:]).upper())
        except OSError:
            pass
        return out

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()


@pytest.fixture
def start_sim(tecsim_path, tmp_path):
    sims = []

    def start(*args, name="ttyTEC"):
        s = Sim(tecsim_path, tmp_path, *args, name=name)
        sims.append(s)
        return s
    yield start
    for s in sims:
        s.stop()


@pytest.fixture
def sim(start_sim):
    return start_sim()


# ---- a virtual line ----

class VirtualClock:
    def __init__(self):
        self.t = 0.0

    def now(self):
        return self.t

    def sleep(self, d):
        if d > 0:
            self.t += d


class ReplayPort:
    """A pyserial stand-in on a virtual clock: each write takes the next
    scripted answer (empty: silence), which is there at once; a read that
    finds nothing waits out the time-out. Every call is recorded."""

    def __init__(self, clock, answers):
        self.clock = clock
        self.answers = list(answers)
        self.input = bytearray()
        self.events = []
        self.timeout = 1.0
        self.port = "replay"

    def reset_output_buffer(self):
        self.events.append(("flushout", self.clock.now()))

    def reset_input_buffer(self):
        self.events.append(("flushin", self.clock.now()))
        self.input.clear()

    def write(self, data):
        self.events.append(("write", self.clock.now(), bytes(data)))
        if self.answers:
            self.input += self.answers.pop(0)
        return len(data)

    def read(self, n):
        start = self.clock.now()
        if not self.input:
            self.clock.sleep(self.timeout)
            got = b""
        else:
            got = bytes(self.input[:n])
            del self.input[:n]
        self.events.append(("read", start, got, self.clock.now()))
        return got

    def close(self):
        pass


def tokens(events):
    """The wire as the golden file writes it."""
    out = []
    last_end = last_write = preamble_start = 0.0
    in_preamble = after_write = False

    def gap(at):
        if at - last_end > 1e-9:
            out.append("pause %.3f" % (at - last_end))
    for e in events:
        kind, at = e[0], e[1]
        if kind == "flushout":
            if not in_preamble:
                gap(at)
            in_preamble, preamble_start = True, at
        elif kind == "write":
            if in_preamble:
                out.append("preamble %.3f" % (at - preamble_start))
            else:
                gap(at)
            in_preamble = False
            out.append("> " + e[2].hex(" ").upper())
            last_write, after_write = at, True
        elif kind == "read":
            got = (" " + e[2].hex(" ").upper()) if e[2] else ""
            if after_write:
                out.append("wait %.3f" % (at - last_write))
                out.append("<" + got)
            elif out and out[-1].startswith("<"):
                out[-1] += got
            after_write = False
            last_end = e[3]
    return out


def parse_golden(path=os.path.join(GOLDEN, "frames.txt")):
    ops = []
    with open(path, encoding="utf-8", newline="") as f:
        for line in f.read().split("\n"):
            if not line or line.startswith("#"):
                continue
            key, _, rest = line.partition(" ")
            if key == "op":
                ops.append({"command": rest, "setup": [], "inputs": [], "outputs": [], "tokens": []})
            elif key == "setup":
                ops[-1]["setup"].append(rest)
            elif key in ("file", "saves"):
                name, _, text = rest.partition(" ")
                ops[-1]["inputs" if key == "file" else "outputs"].append((name, text))
            else:
                ops[-1]["tokens"].append(line)
    return ops
