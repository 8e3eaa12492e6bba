#!/usr/bin/env python3
"""The Python package against tecsim with wire-time emulation at 19200 baud
on a pseudo-terminal: tec.read_all() and ten tec.pv reads, each over its
protocol floor (per transaction the longer of its required delay and the
wire time of request and answer, plus the required preamble and pause
delays). Target: at most 1.05 (median of five).

    python3 bench/bench_python.py [--tecsim PATH] [--runs N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import tecontrol  # noqa: E402
from tecontrol import _wire as W  # noqa: E402

BAUD = 19200


class Floor:
    """Wraps a Link and adds up the floor of everything it is asked to do."""

    def __init__(self, link):
        self.total = 0.0
        self.transactions = 0
        transact, sleep = link.transact, link.sleep

        def counted_transact(frame, expected, delay=W.POST_WRITE_DELAY):
            wire = (len(frame) + expected) * 10.0 / BAUD
            self.total += max(delay, wire)
            self.transactions += 1
            # the post-write delay is part of the transaction's floor: not counted twice
            self._in_transaction = True
            try:
                return transact(frame, expected, delay)
            finally:
                self._in_transaction = False

        def counted_sleep(d):
            if not self._in_transaction:
                self.total += d  # preambles and pauses
            sleep(d)
        self._in_transaction = False
        link.transact = counted_transact
        link.sleep = counted_sleep


def measure(tec, floor, action):
    floor.total, floor.transactions = 0.0, 0
    t0 = time.perf_counter()
    action()
    spent = time.perf_counter() - t0
    return spent, floor.total, floor.transactions


def main():
    ap = argparse.ArgumentParser()
    root = os.path.dirname(HERE)
    ap.add_argument("--tecsim", default=os.environ.get("TECSIM", os.path.join(root, "build", "sim", "tecsim")))
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        link = os.path.join(folder, "ttyTEC")
        sim = subprocess.Popen([args.tecsim, "--link", link, "--wire-time", "--baud", str(BAUD)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            if not sim.stdout.readline().startswith("tecsim: "):
                raise SystemExit("tecsim did not start: " + sim.stderr.read())
            with tecontrol.Controller(link, baudrate=BAUD) as tec:
                floor = Floor(tec._link)
                tec.pv  # the decimal point is read once and cached
                results = {"read_all()": [], "10 x pv": []}
                for _ in range(args.runs):
                    results["read_all()"].append(measure(tec, floor, tec.read_all))
                    results["10 x pv"].append(measure(tec, floor, lambda: [tec.pv for _ in range(10)]))
        finally:
            sim.terminate()
            sim.wait(10)
            sim.stdout.close()
            sim.stderr.close()
    worst = 0.0
    for name, runs in results.items():
        ratios = [spent / fl for spent, fl, _ in runs]
        med = statistics.median(ratios)
        worst = max(worst, med)
        spent, fl, n = sorted(runs, key=lambda r: r[0] / r[1])[len(runs) // 2]
        print("%-11s %2d transactions  floor %.3f s  took %.3f s  ratio %.4f (median of %d; target <= 1.05)"
              % (name, n, fl, spent, med, len(runs)))
    return 0 if worst <= 1.05 else 1


if __name__ == "__main__":
    sys.exit(main())
