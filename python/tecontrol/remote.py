"""The same calls through the program's server (``tecctl serve`` or the
window program with ``--serve``), which holds the port: its JSON API under
/api/v1, with the standard library only."""

import datetime
import json
import math
import numbers
import time
import urllib.error
import urllib.parse
import urllib.request

from . import files as F
from . import registers as R
from .controller import ProgramStatus, Sample, Value
from .errors import AuthorizationError, LinkError, RefusedError, RemoteError
from .registers import f32


def _number(v):
    """A value as the API gives it: a number, or {"value": number, ...}."""
    if isinstance(v, dict):
        v = v.get("value")
    return v


class _RemoteProgram:
    def __init__(self, remote):
        self._r = remote

    def run(self):
        self._r._post("program/run", {})

    def stop(self):
        self._r._post("program/stop", {})

    @property
    def status(self):
        state = self._r._controller()
        prog = state.get("program") if isinstance(state.get("program"), dict) else state
        if not any(k in prog for k in ("runMode", "run_mode", "running")):
            # Never a guess: a server that does not read the status word
            # cannot say whether the program runs.
            raise RemoteError("the server at %s does not give the step program's status; "
                              "ask the program that holds the port" % self._r.url, 501)
        mode = int(prog.get("runMode", prog.get("run_mode", 5 if prog.get("running") else 0)))
        seg = int(prog.get("segmentCode", prog.get("segment", 0)))
        index = seg // 15 if mode == 5 and 0 <= seg <= 240 and seg // 15 < 16 else -1
        return ProgramStatus(mode == 5, mode, seg, index)


class Remote:
    """A controller held by a running server.

    ``Remote("http://127.0.0.1:8080", token=..., address=None)``: reads need
    no token, writes send ``Authorization: Bearer TOKEN``. Without ``address``
    the first controller the server lists is used. ``token`` may be left out
    when the server's token file (``~/.config/tecontrol/server-token``) is
    readable; pass ``token=False`` to send none.
    """

    def __init__(self, url, token=None, address=None, timeout=10.0):
        self.url = url.rstrip("/")
        if token is None:
            token = _token_from_file()
        self.token = token or None
        self.timeout = timeout
        self.program = _RemoteProgram(self)
        if address is None:
            listed = self.controllers()
            if not listed:
                raise RemoteError("the server at %s serves no controller" % self.url, 404)
            address = int(listed[0]["address"])
        self.address = int(address)

    # ---- HTTP ----

    def _request(self, method, path, body=None, query=None, accept="application/json"):
        url = self.url + "/api/v1/" + path
        if query:
            url += "?" + urllib.parse.urlencode(query)
        headers = {"Accept": accept}
        data = None
        if body is not None:
            data = json.dumps(body).encode("utf-8")
            headers["Content-Type"] = "application/json"
        if method == "POST" and self.token:
            headers["Authorization"] = "Bearer " + self.token
        req = urllib.request.Request(url, data=data, headers=headers, method=method)
        try:
            with urllib.request.urlopen(req, timeout=self.timeout) as resp:
                raw = resp.read()
                ctype = resp.headers.get("Content-Type", "")
        except urllib.error.HTTPError as err:
            raise _mapped(err) from None
        except urllib.error.URLError as err:
            raise RemoteError("the server at %s cannot be reached: %s" % (self.url, err.reason)) from None
        if "json" in ctype:
            return json.loads(raw.decode("utf-8") or "null")
        return raw.decode("utf-8")

    def _base(self):
        return "controllers/%d" % self.address

    def _post(self, path, body):
        return self._request("POST", self._base() + "/" + path, body)

    def _controller(self):
        return self._request("GET", self._base())

    # ---- the calls ----

    def controllers(self):
        """The server's controllers: a list of dicts (address, name, port, model, state)."""
        out = self._request("GET", "controllers")
        return out.get("controllers", []) if isinstance(out, dict) else out

    def _sample(self, state):
        s = state.get("sample", state.get("last", state)) if isinstance(state, dict) else {}
        if not s or s.get("pv") is None or s.get("sv") is None:
            raise LinkError("offline", "the server has no sample of controller %d yet" % self.address)
        return Sample(_seconds(s.get("time")), float(_number(s["sv"])), float(_number(s["pv"])))

    @property
    def pv(self):
        return self._sample(self._controller()).pv

    @property
    def sv(self):
        return self._sample(self._controller()).sv

    @sv.setter
    def sv(self, value):
        self.set(sv=value)

    def read_all(self):
        """The server's last read-all: {name: Value(value, unit)}."""
        out = self._request("GET", self._base() + "/parameters")
        params = out.get("parameters", out) if isinstance(out, dict) else {}
        result = {}
        for name, v in params.items():
            if isinstance(v, dict):
                result[name] = Value(v.get("value"), v.get("unit", ""))
            else:
                result[name] = Value(v, "")
        return result

    def get(self, *names):
        if not names:
            raise TypeError("get() wants at least one parameter name")
        if any(R.find(n).name == "pv" for n in names):
            pv = self.pv
        values = self.read_all()
        out = {}
        for n in names:
            p = R.find(n)
            if p.name == "pv":
                out[p.name] = pv
            elif p.name not in values:
                raise KeyError("the server's parameters hold no %r" % p.name)
            else:
                out[p.name] = values[p.name].value
        return out[R.find(names[0]).name] if len(names) == 1 else out

    def set(self, name=None, value=None, round=False, **values):
        """Writes single parameters through the server (POST .../set); the
        values are checked here as well as there. With ``round=True`` the
        server rounds a value finer than its register holds to the nearest
        it holds, as ``tecctl set --round``, instead of refusing it."""
        pairs = ([(name, value)] if name is not None else []) + list(values.items())
        if not pairs:
            raise TypeError("set() wants at least one NAME=VALUE")
        body = {}
        for n, v in pairs:
            p = R.find(n)
            if p.name in R.READ_ONLY:
                raise ValueError("%s is read-only" % p.name)
            code = R.code_for(p.name, v)
            if isinstance(code, bool) or not isinstance(code, numbers.Real) or not math.isfinite(code):
                raise ValueError("%s: %r is not a number" % (p.name, v))
            R.check_range(p, code, v)
            R.check_sendable(p.name, p.cls, code, 1.0)
            body[p.name] = v if isinstance(v, str) else int(code) if isinstance(code, numbers.Integral) else float(code)
        if round:
            body["round"] = True
        return self._post("set", body)

    @property
    def function(self):
        return self.get("function")

    @function.setter
    def function(self, value):
        code = R.code_for("function", value)
        if isinstance(code, bool) or not isinstance(code, numbers.Real):
            raise ValueError("function: %r is not a number" % (value,))
        R.check_range(R.find("function"), code, value)
        self._post("function", {"function": R.word_for("function", code)})

    @property
    def output(self):
        return self.get("output")

    @output.setter
    def output(self, level):
        self.set(output=level)

    def save(self, path):
        """The server's last read-all saved in the program's parameter-file format."""
        values = self.read_all()
        p = F.ParameterSet()

        def num(name):
            return _number(values[name].value) if name in values else 0

        def code(name):
            v = values[name].value if name in values else 0
            if isinstance(v, str):
                v = R.code_for(name, v)
            return int(v)
        for attr, name in (("setValue", "sv"), ("alarmHigh", "alarm-high"), ("alarmLow", "alarm-low"),
                           ("outputLevel", "output"), ("reg30", "reg30"), ("reg31", "reg31"),
                           ("rangeLow", "range-low"), ("rangeHigh", "range-high"), ("swFilter", "filter")):
            setattr(p, attr, f32(float(num(name))))
        for n in range(4):
            for attr, t in (("pidP", "p"), ("pidT4", "t4"), ("pidT5", "t5")):
                getattr(p, attr)[n] = f32(float(num("pid%d.%s" % (n + 1, t))))
            p.pidI[n] = int(num("pid%d.i" % (n + 1)))
            p.pidD[n] = int(num("pid%d.d" % (n + 1)))
            if n < 3:
                p.pidBound[n] = f32(float(num("pid%d.bound" % (n + 1))))
        p.sensorType, p.dirRev, p.cfUnit = code("sensor"), code("direction"), code("unit")
        p.decimalPnt = int(num("decimal-point"))
        p.alarmWatch = 1 if code("alarm-switch") else 0
        F.write_text_file(path, F.format_parameter_file(p))

    def history(self, start=None, end=None, csv=False):
        """The server's kept points between two times (datetime or ISO text):
        a list of dicts, or the data-log text with ``csv=True``."""
        query = {"format": "csv"} if csv else {}
        for key, t in (("from", start), ("to", end)):
            if t is not None:
                query[key] = t.isoformat() if hasattr(t, "isoformat") else str(t)
        out = self._request("GET", self._base() + "/history", query=query,
                            accept="text/csv" if csv else "application/json")
        if csv or not isinstance(out, dict):
            return out
        return out.get("points", out.get("history", []))

    def watch(self, interval=1.0, count=None):
        """The server's last sample every ``interval`` seconds."""
        n = 0
        next_at = time.monotonic()
        while count is None or n < count:
            delay = next_at - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            next_at += interval
            n += 1
            yield self._sample(self._controller())

    def wait_until_stable(self, tolerance=0.2, duration=60.0, timeout=3600.0, interval=1.0, target=None):
        start = time.monotonic()
        since = None
        for s in self.watch(interval=interval):
            now = time.monotonic()
            aim = s.sv if target is None else target
            if abs(s.pv - aim) <= tolerance:
                since = now if since is None else since
                if now - since >= duration:
                    return s
            else:
                since = None
            if now - start >= timeout:
                raise TimeoutError("PV %.2f did not stay within %.2f of %.2f for %g s within %g s"
                                   % (s.pv, tolerance, aim, duration, timeout))

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass


def _seconds(t):
    """A sample's time as the server gives it (ISO 8601 text, or seconds)
    in seconds since the epoch; now when it gives none."""
    if isinstance(t, (int, float)) and not isinstance(t, bool):
        return float(t)
    if isinstance(t, str):
        try:
            return datetime.datetime.fromisoformat(t.replace("Z", "+00:00")).timestamp()
        except ValueError:
            pass
    return time.time()


def _token_from_file():
    import os
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    try:
        with open(os.path.join(base, "tecontrol", "server-token"), encoding="utf-8") as f:
            return f.read().strip() or None
    except OSError:
        return None


def _mapped(err):
    """The exception for an HTTP error status of the API."""
    try:
        body = json.loads(err.read().decode("utf-8") or "{}")
    except (ValueError, UnicodeDecodeError, OSError):
        body = {}
    message = body.get("error") if isinstance(body, dict) else None
    message = message or "%d %s" % (err.code, err.reason)
    if err.code == 400:
        return ValueError(message)
    if err.code == 401:
        return AuthorizationError(message, 401)
    if err.code == 404:
        return RemoteError(message, 404)
    if err.code == 409:
        return LinkError("offline", message)
    if err.code == 502:
        if "refus" in message.lower():
            reg = body.get("register") if isinstance(body, dict) else None
            return RefusedError(message, reg, body.get("value") if isinstance(body, dict) else None)
        kind = body.get("kind") if isinstance(body, dict) else None
        return LinkError(kind if kind in LinkError.KINDS else "silent", message)
    return RemoteError(message, err.code)
