#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"
# The Python package's tests, against the tecsim and tecctl just built. No
# tests collected (pytest's status 5) is a failure, like any other.
PYTHON=/usr/bin/python3; [ -x "$PYTHON" ] || PYTHON=python3
status=0
TECSIM="$PWD/${BUILD_DIR:-build}/sim/tecsim" TECCTL="$PWD/${BUILD_DIR:-build}/tecctl" \
  "$PYTHON" -m pytest -q -p no:cacheprovider python/tests || status=$?
if [ "$status" -eq 5 ]; then
  echo "test.sh: pytest found no tests in python/tests" >&2
  exit 1
fi
exit "$status"
