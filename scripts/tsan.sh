#!/usr/bin/env bash
# The transport, dispatch, service and service robustness tests again, built with clang 14 under ThreadSanitizer
# (build-tsan/). Only those tests and what they run (the helper bundle, the test server) are built.
# Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan
targets=(kit_xpc_test platform_dispatch_test helper_service_test helper_robustness_test)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TSAN=ON -DVELMORA_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
nice cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
# The helper and test servers these tests start inherit the options, so a race in them fails too.
# No sleep at exit: tests kill servers mid-call and expect them gone at once.
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 ${TSAN_OPTIONS:-}"
# Test programs that were not built register as <name>_NOT_BUILT; the built ones are exactly the above.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600 -LE slow -E "_NOT_BUILT\$"
