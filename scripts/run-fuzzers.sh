#!/usr/bin/env bash
# Builds the record decoders' and the transport's fuzzers with clang in build-fuzz and runs each one for a bounded
# time. Exits non-zero when any fuzzer finds a crash, a leak, a time-out or a broken round trip.
#
#   scripts/run-fuzzers.sh [seconds-per-target, default $FUZZ_SECONDS or 25] [target...]
#
# New inputs are kept in build-fuzz/corpus/<target>; findings go to build-fuzz/findings/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${1:-${FUZZ_SECONDS:-25}}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(ShellLaunchRequest ShellLaunchResponse HelperInfo HelperUpdateError HelperUninstallError
           HelperReleaseManifest Transport)
fi

# The fuzz preset (CMakePresets.json) configures build-fuzz.
cd "$root"
cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz -j2 --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/findings"
failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target (${seconds}s)"
  if ! "$build/fuzz/fuzz_$target" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 -timeout=10 \
      -dict="$root/fuzz/json.dict" -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
      "$corpus" "$root/fuzz/corpus/$target" 2>"$build/$target.log"; then
    failed+=("$target")
    tail -n 40 "$build/$target.log"
  else
    grep -E "stat::(number_of_executed_units|new_units_added)" "$build/$target.log" || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "Findings in: ${failed[*]} (see $build/findings)" >&2
  exit 1
fi
echo "No findings."
