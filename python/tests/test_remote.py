"""Remote against a stub of the server's documented API on 127.0.0.1 (the
server itself is not part of this package; the end-to-end test runs against
`tecctl serve` once it exists)."""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

import tecontrol

TOKEN = "s3cret"


class Stub:
    """The API's routes over one controller at address 1."""

    def __init__(self):
        self.params = {"decimal-point": {"value": 31, "unit": "", "register": 42},
                       "sv": {"value": 25.0, "unit": "\u00b0C", "register": 0},
                       "alarm-high": {"value": 80.0, "unit": "\u00b0C", "register": 26},
                       "function": {"value": 4, "unit": "", "register": 2},
                       "unit": {"value": 0, "unit": "", "register": 41}}
        self.sample = {"time": 1700000000.0, "age": 0.4, "sv": 25.0, "pv": 24.9}
        self.state = "online"
        self.run_mode = 0
        self.posts = []
        self.refuse = False


def handler_for(stub):
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def reply(self, status, body, ctype="application/json"):
            data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            path, _, query = self.path.partition("?")
            if path == "/api/v1/controllers":
                return self.reply(200, [{"address": 1, "name": "stage", "port": "/dev/ttyUSB0", "model": 241,
                                         "state": stub.state}])
            if path == "/api/v1/controllers/1":
                return self.reply(200, {"address": 1, "state": stub.state, "sample": stub.sample,
                                        "program": {"runMode": stub.run_mode, "segmentCode": 30 if stub.run_mode else 0},
                                        "counters": {"silent": 0}})
            if path == "/api/v1/controllers/1/parameters":
                return self.reply(200, {"parameters": stub.params})
            if path == "/api/v1/controllers/1/history":
                if "csv" in self.headers.get("Accept", ""):
                    return self.reply(200, "Date Time SV PV\n12/8/2026 18:00:00 25.0 24.9\n", "text/csv")
                return self.reply(200, {"query": query, "points": [{"time": 1.0, "sv": 25.0, "pv": 24.9}]})
            self.reply(404, {"error": "no such path"})

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)) or 0)
            if self.headers.get("Authorization") != "Bearer " + TOKEN:
                return self.reply(401, {"error": "a write needs the server's token"})
            if not self.path.startswith("/api/v1/controllers/1/"):
                return self.reply(404, {"error": "no such controller"})
            if stub.state != "online":
                return self.reply(409, {"error": "controller 1 is offline"})
            what = self.path[len("/api/v1/controllers/1/"):]
            data = json.loads(body or b"{}")
            stub.posts.append((what, data))
            if what == "set":
                if "sv" in data and data["sv"] > 150:
                    return self.reply(502, {"error": "the controller refused set value 200.0", "register": 0,
                                            "value": data["sv"]})
                if stub.refuse:
                    return self.reply(502, {"error": "no answer from the controller", "kind": "silent"})
                data = {k: v for k, v in data.items() if k != "round"}
                if any(k not in stub.params and k != "output" for k in data):
                    return self.reply(400, {"error": "unknown parameter"})
                for k, v in data.items():
                    stub.params.setdefault(k, {"value": 0, "unit": ""})["value"] = v
                return self.reply(200, {"parameters": stub.params})
            if what in ("program/run", "program/stop"):
                stub.run_mode = 5 if what == "program/run" else 0
                return self.reply(200, {"runMode": stub.run_mode})
            if what == "function":
                stub.params["function"]["value"] = {"off": 0, "autotune": 1, "manual": 3, "pid": 4}[data["function"]]
                return self.reply(200, {"function": data["function"]})
            self.reply(404, {"error": "no such path"})
    return Handler


@pytest.fixture
def server():
    stub = Stub()
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler_for(stub))
    t = threading.Thread(target=httpd.serve_forever, daemon=True)
    t.start()
    stub.url = "http://127.0.0.1:%d" % httpd.server_address[1]
    yield stub
    httpd.shutdown()
    httpd.server_close()
    t.join(5)


def test_reads_need_no_token_and_give_the_same_shapes(server):
    remote = tecontrol.Remote(server.url, token=False)
    assert remote.address == 1 and remote.controllers()[0]["name"] == "stage"
    assert (remote.pv, remote.sv) == (24.9, 25.0)
    assert remote.get("sv") == 25.0 and remote.get("sv", "alarm-high") == {"sv": 25.0, "alarm-high": 80.0}
    assert remote.read_all()["sv"] == tecontrol.Value(25.0, "\u00b0C")
    assert remote.history(start="2026-12-08T17:00:00")[0]["pv"] == 24.9
    assert remote.history(csv=True).startswith("Date Time SV PV\n")
    assert [s.pv for s in remote.watch(interval=0.01, count=2)] == [24.9, 24.9]


def test_writes_carry_the_token_and_map_every_status(server):
    remote = tecontrol.Remote(server.url, token=TOKEN, address=1)
    remote.sv = 37.5
    remote.set(**{"alarm-high": 60})
    remote.function = "manual"
    remote.program.run()
    assert remote.program.status.running and remote.program.status.indicator == 2
    remote.program.stop()
    assert server.posts == [("set", {"sv": 37.5}), ("set", {"alarm-high": 60}), ("function", {"function": "manual"}),
                            ("program/run", {}), ("program/stop", {})]
    with pytest.raises(tecontrol.RefusedError) as e:
        remote.sv = 200
    assert (e.value.register, e.value.value) == (0, 200)
    with pytest.raises(ValueError):  # the server's 400 (names it does not know)
        remote._post("set", {"nothing": 1})
    server.refuse = True
    with pytest.raises(tecontrol.LinkError) as e:
        remote.sv = 30
    assert e.value.kind == "silent"
    server.state = "offline"
    with pytest.raises(tecontrol.LinkError) as e:
        remote.sv = 30
    assert e.value.kind == "offline"
    with pytest.raises(tecontrol.AuthorizationError):
        tecontrol.Remote(server.url, token="wrong", address=1).sv = 30
    with pytest.raises(tecontrol.RemoteError) as e:
        tecontrol.Remote(server.url, token=TOKEN, address=9).sv = 30
    assert e.value.status == 404


def test_round_travels_beside_the_values_in_their_order(server):
    remote = tecontrol.Remote(server.url, token=TOKEN, address=1)
    remote.set(sv=37.57, round=True, **{"alarm-high": 45.04})
    remote.set(sv=37.5)
    sent = [json.dumps(d) for _, d in server.posts]
    assert sent == ['{"sv": 37.57, "alarm-high": 45.04, "round": true}', '{"sv": 37.5}']


def test_values_are_checked_before_a_request_is_made(server):
    remote = tecontrol.Remote(server.url, token=TOKEN, address=1)
    for bad in ({"sv": float("inf")}, {"pid2.p": 5000}, {"pv": 3}, {"unit": "kelvin"}):
        with pytest.raises(ValueError):
            remote.set(**bad)
    with pytest.raises(ValueError):
        remote.function = "program"
    assert server.posts == []


def test_save_writes_the_programs_file_from_the_servers_read_all(server, tmp_path):
    full = {"decimal-point": 31, "sv": 25.0, "alarm-high": 80.0, "alarm-low": 10.0, "output": 0.0,
            "function": "pid", "sensor": "pt100", "reg30": 0.0, "reg31": 0.0, "direction": "normal", "unit": "C",
            "range-low": -20.0, "range-high": 150.0, "filter": 0.0, "alarm-switch": 1, "keypad": 1}
    for n, (p, b) in enumerate(((5.0, 30.0), (4.0, 60.0), (3.0, 90.0), (2.0, None)), 1):
        full.update({"pid%d.p" % n: p, "pid%d.i" % n: 120, "pid%d.d" % n: 30, "pid%d.t4" % n: 0.0,
                     "pid%d.t5" % n: 100.0})
        if b is not None:
            full["pid%d.bound" % n] = b
    server.params = {k: {"value": v, "unit": ""} for k, v in full.items()}
    tecontrol.Remote(server.url, address=1).save(str(tmp_path / "r.prm"))
    from test_files import EXAMPLE
    assert (tmp_path / "r.prm").read_text() == EXAMPLE
