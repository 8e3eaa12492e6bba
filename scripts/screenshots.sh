#!/usr/bin/env bash
# Makes the screenshots of the README and the metainfo (docs/images/: the main
# panel, the chart after a simulated run, a step program, the overview of
# four controllers on one line and the chart of all four) under Xvfb from
# tecontrol --simulate, on a 1024 x 768 screen (the smallest the panels fit
# without scrolling). Run it again after every change of the panels.
# Usage: scripts/screenshots.sh [FOLDER]   (default docs/images)
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
BUILD_DIR="${BUILD_DIR:-build}"
out="$(realpath -m "${1:-docs/images}")"
[ -x "$BUILD_DIR/tecontrol" ] || bash scripts/build.sh
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"  # DftCom.prm and XYscale.txt of this run land here, not in the repository
# The chart from 20 to 100 degrees over 60 points; the plant runs 3 times
# faster, so the minute of plotting shows 3 minutes of the controller
# following a step of its set value.
printf '100.000000 20.000000 60' > XYscale.txt
chmod 700 "$work"
XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" \
  xvfb-run -a -s "-screen 0 1024x768x24" \
  "$repo/$BUILD_DIR/tecontrol" --simulate --speed 3 --ui-dir "$repo/ui" --screenshots "$out"
