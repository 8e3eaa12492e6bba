#!/usr/bin/env bash
# Configures and builds tecontrol in ./build (Release with debug info).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Relative paths in the cache keys: checkouts in other folders share it.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$PWD")}"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
