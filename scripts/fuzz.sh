#!/usr/bin/env bash
# Builds the fuzz targets of the parsers (clang, libFuzzer, ASan and UBSan)
# and runs each for a chosen time, starting from its seeds in fuzz/corpus.
# Usage: scripts/fuzz.sh [seconds per target (default 60)] [target...]
# Inputs found along the way go to a scratch folder, not into the seeds; a
# failing input is kept as build-fuzz/artifacts/<target>-crash-*. Prints the
# executions per second of each target; exits non-zero if any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
shift || true
build="${TEC_FUZZ_BUILD:-build-fuzz}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DTEC_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi
mkdir -p "$build/artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failed=0
printf '%-16s %10s %12s  %s\n' target seconds "exec/s" result
for t in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$t"
  mkdir -p "$scratch/$t"
  log="$build/artifacts/$t.log"
  status=ok
  if ! "$exe" -max_total_time="$secs" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$t-" "$scratch/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    status="FAILED (see $log)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-16s %10s %12s  %s (%s runs)\n' "$t" "$secs" "${rate:-?}" "$status" "${runs:-?}"
done
exit $failed
