#!/usr/bin/env bash
# Builds the benchmarks (Release, in ${BENCH_BUILD:-build-release}) and prints one table of every figure:
# its floor measured in the same run, the helper, their ratio and the goal. Each benchmark's own output
# goes to <build>/bench/*.log.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build-release}
# The release preset (CMakePresets.json), configured in $build.
cmake --preset release -B "$build" >/dev/null
nice cmake --build "$build" -j "$(nproc)" --target bench_ipc bench_spawn bench_startup bench_scale >/dev/null
b="$build/bench"
run() {
  local name=$1
  shift
  "$@" >"$b/$name.log" 2>&1 || { echo "$name failed:" >&2; tail -n 20 "$b/$name.log" >&2; exit 1; }
  grep '^|' "$b/$name.log"
}
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(uname -r)"
echo "| Figure | Floor | Helper | Ratio | Goal |"
echo "|---|---|---|---|---|"
run bench_ipc "$b/bench_ipc"
run bench_startup "$b/bench_startup.app/Contents/MacOS/bench_startup"
run bench_spawn "$b/bench_spawn" 200
run bench_scale "$b/bench_scale.app/Contents/MacOS/bench_scale"
