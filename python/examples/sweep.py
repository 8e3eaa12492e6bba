"""Temperature sweep: step the set value, wait at each step until the process
value is stable, then record a few samples into sweep.csv.

    python3 sweep.py PORT [SETTLE_SECONDS]
"""
import csv
import sys

import tecontrol

port = sys.argv[1] if len(sys.argv) > 1 else "/dev/ttyUSB0"
settle = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0   # seconds PV must stay in the band

with tecontrol.Controller(port, address=1, baudrate=19200) as tec, \
        open("sweep.csv", "w", newline="") as f:
    out = csv.writer(f)
    out.writerow(["setpoint", "time", "sv", "pv"])
    tec.function = "pid"
    for setpoint in (30.0, 35.0, 40.0):
        tec.sv = setpoint
        tec.wait_until_stable(tolerance=0.3, duration=settle, timeout=3600)
        for s in tec.watch(interval=max(0.2, settle / 20), count=5):
            out.writerow([setpoint, "%.3f" % s.time, s.sv, s.pv])
        print("%.1f reached, PV %.2f" % (setpoint, s.pv))
