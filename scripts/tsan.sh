#!/usr/bin/env bash
# The transport, dispatch, service and service robustness tests again, built with clang 14 under ThreadSanitizer
# (build-tsan/). Only those tests and what they run (the helper bundle, the test server) are built.
# Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tsan presets (CMakePresets.json) name those test targets and set TSAN_OPTIONS (added to any given):
# the helper and test servers these tests start inherit them, so a race in them fails too; no sleep at
# exit, as tests kill servers mid-call and expect them gone at once. Test programs that were not built
# register as <name>_NOT_BUILT and are left out.
cmake --preset tsan >/dev/null
nice cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -j "$(nproc)"
