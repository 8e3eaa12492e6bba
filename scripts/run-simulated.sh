#!/usr/bin/env bash
# Installs what is needed, builds, and starts tecontrol against the built-in
# simulated controller. Extra arguments go to tecontrol.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
mkdir -p run
cd run
exec ../build/tecontrol --simulate "$@"
