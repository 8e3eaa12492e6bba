#!/usr/bin/env bash
# Builds the Debian package of tecontrol (build/package/tecontrol_*.deb) with
# CPack and checks its contents. BUILD_DIR chooses the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
bash scripts/build.sh
rm -f "$BUILD_DIR"/package/tecontrol_*.deb
(cd "$BUILD_DIR" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
debs=("$BUILD_DIR"/package/tecontrol_*.deb)
[ -f "${debs[0]}" ] || { echo "package.sh: cpack made no .deb" >&2; exit 1; }
bash scripts/package-check.sh "${debs[0]}"
echo "${debs[0]}"
