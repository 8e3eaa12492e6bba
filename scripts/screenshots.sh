#!/usr/bin/env bash
# Makes the screenshots of the README and the metainfo (docs/images/: the main
# panel, the chart after a simulated run, a step program) under Xvfb from
# tecontrol --simulate. Run it again after every change of the panels.
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
# The plant runs 30 times faster: 40 s of plotting show 20 minutes of warming up.
XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" \
  xvfb-run -a -s "-screen 0 1600x1000x24" \
  "$repo/$BUILD_DIR/tecontrol" --simulate --speed 30 --ui-dir "$repo/ui" --screenshots "$out"
