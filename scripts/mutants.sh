#!/usr/bin/env bash
# Applies deliberate one-line faults, one at a time, to a scratch copy of the tree, rebuilds it and runs
# the tests that should notice. A fault is "caught" when a test fails (or the run times out).
#
#   scripts/mutants.sh [--rev REV] [--only NAME[,NAME...]] [--list] [--no-baseline]
#
# The scratch copy lives in $MUTANTS_DIR (default /tmp/velmora-mutants): src/ holds the files of REV
# (default HEAD), build/ is kept between runs so that each fault costs an incremental build only.
# Files are copied only when their contents differ, so unchanged sources are not rebuilt. Where ccache
# is installed it compiles, with the scratch folder as its base so that scratch folders can share objects.
#
# Before the faults, every test runs once on the unchanged tree; tests failing there are left out.
# --no-baseline skips that run (quicker with --only): then a test that fails anyway counts as a catch.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scratch="${MUTANTS_DIR:-/tmp/velmora-mutants}"
rev=HEAD
only=""
list=0
baseline=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --rev) rev="$2"; shift 2 ;;
    --only) only=",$2,"; shift 2 ;;
    --list) list=1; shift ;;
    --no-baseline) baseline=0; shift ;;
    *) echo "usage: $0 [--rev REV] [--only NAME,...] [--list] [--no-baseline]" >&2; exit 64 ;;
  esac
done

# Test groups, by gtest suite name.
shell='^(Service|PTYShell|SpawnLoginShell|PseudoTerminal|ShellLaunchEnvironment|ShellEnvironment)'
xpc='^(Xpc|HostilePeer|Service)'
updater='^HelperUpdater'
records='^(ShellLaunch|HelperInfo|HelperError|HelperRelease|HelperVersion|Records|Service)'

# The table of faults is scripts/mutants.txt.
mutants=$(grep -v '^#' "$root/scripts/mutants.txt")

if [[ $list == 1 ]]; then
  echo "$mutants" | cut -d'#' -f1,2 | tr '#' ' '
  exit 0
fi

# ---- scratch copy of REV, copied file by file where contents differ
mkdir -p "$scratch/src" "$scratch/build"
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
git -C "$root" archive "$rev" | tar -x -C "$staging"
python3 - "$staging" "$scratch/src" <<'PY'
import filecmp, os, shutil, sys
src, dst = sys.argv[1], sys.argv[2]
wanted = set()
for base, dirs, files in os.walk(src):
    for f in files:
        rel = os.path.relpath(os.path.join(base, f), src)
        wanted.add(rel)
        target = os.path.join(dst, rel)
        if not os.path.exists(target) or not filecmp.cmp(os.path.join(src, rel), target, shallow=False):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(os.path.join(src, rel), target)
            os.utime(target)  # newer than any object built from the old contents
        else:
            shutil.copymode(os.path.join(src, rel), target)
for base, dirs, files in os.walk(dst):
    for f in files:
        rel = os.path.relpath(os.path.join(base, f), dst)
        if rel not in wanted:
            os.remove(os.path.join(base, f))
PY

src="$scratch/src"
build="$scratch/build"
log="$scratch/log"
mkdir -p "$log"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths under the scratch folder are hashed relative to it.
  export CCACHE_BASEDIR="$scratch"
fi
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=OFF "${launcher[@]}" >/dev/null
# Everything is built first (incrementally: also whatever a previous fault left behind), which gives the
# test lists; afterwards each fault rebuilds only the executables of the tests it runs.
echo "== building $rev in $build"
nice cmake --build "$build" -j2 >"$log/build-base.txt" 2>&1 || { tail -30 "$log/build-base.txt"; exit 1; }

# The build targets behind the tests that match a ctest regex.
targetsFor() {
  ctest --test-dir "$build" -N -R "$1" --show-only=json-v1 |
    python3 -c 'import json, os, sys
print(" ".join(sorted({os.path.basename(t["command"][0]) for t in json.load(sys.stdin)["tests"] if t.get("command")})))'
}

# Replaces the single occurrence of TEXT in FILE; fails loudly on none or several.
apply() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
count = text.count(old)
if count != 1:
    sys.exit(f"{path}: expected the text exactly once, found it {count} times: {old!r}")
open(path, "w").write(text.replace(old, new))
PY
}

# Tests that fail twice on the unchanged tree catch nothing; they are left out of every run below.
broken='^$'
if [[ $baseline == 1 ]] &&
   ! ctest --test-dir "$build" -LE slow -j2 --timeout 180 >"$log/baseline.txt" 2>&1 &&
   ! ctest --test-dir "$build" --rerun-failed --timeout 180 >"$log/baseline-rerun.txt" 2>&1; then
  names=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log/baseline-rerun.txt" | paste -sd'|')
  broken="^(${names//./\\.})\$"
  echo "== failing on the unchanged tree, left out: ${names//|/ }"
fi

# Puts the file of the fault being tried back, also when the run is interrupted.
applied=""
restore() {
  if [[ -n "$applied" ]]; then
    cp "$log/original" "$applied"
    touch "$applied"
    applied=""
  fi
}
trap 'restore; rm -rf "$staging"' EXIT
trap 'exit 130' INT TERM

caught=0
missed=0
total=0
failedNames=()
while IFS='#' read -r -u 3 name file search replace tests slow; do
  [[ -z "$name" ]] && continue
  [[ -n "$only" && "$only" != *",$name,"* ]] && continue
  tests=$(eval "echo \"$tests\"")
  total=$((total + 1))
  cp -p "$src/$file" "$log/original"
  applied="$src/$file"
  apply "$src/$file" "$search" "$replace" || { echo "MUTANT TABLE ERROR: $name"; exit 2; }
  started=$SECONDS
  targets=$(targetsFor "$tests")
  if [[ -z "$targets" ]]; then
    verdict="NO TESTS match $tests"
    missed=$((missed + 1))
    failedNames+=("$name")
  elif ! nice cmake --build "$build" -j2 --target $targets >"$log/$name.build.txt" 2>&1; then
    verdict="NOT BUILT (see $log/$name.build.txt)"
    missed=$((missed + 1))
    failedNames+=("$name")
  else
    labels=(-LE slow)
    [[ "$slow" == slow ]] && labels=()
    # A test that fails counts only when it fails again on a second run: a timing-sensitive test that
    # failed once by chance does not make a fault caught.
    failing=""
    rm -f "$log/$name.rerun.txt"
    if ! ctest --test-dir "$build" "${labels[@]}" -R "$tests" -E "$broken" -j2 --timeout 180 --output-on-failure \
         >"$log/$name.test.txt" 2>&1 &&
       ! ctest --test-dir "$build" --rerun-failed --timeout 180 --output-on-failure \
         >"$log/$name.rerun.txt" 2>&1; then
      failing=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log/$name.rerun.txt" | head -3 | tr '\n' ' ')
      failing="${failing:-a test that failed twice}"
    fi
    if [[ -z "$failing" ]]; then
      verdict="MISSED"
      missed=$((missed + 1))
      failedNames+=("$name")
    else
      verdict="caught by $failing"
      caught=$((caught + 1))
    fi
  fi
  # Back to the original contents, with a fresh time so the next build takes them.
  restore
  printf '%-36s %-40s %4ss  %s\n' "$name" "$file" "$((SECONDS - started))" "$verdict"
done 3<<<"$mutants"

echo "caught $caught of $total faults${failedNames:+; not caught: ${failedNames[*]}}"
[[ $missed == 0 ]]
