#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
#   scripts/test.sh              g++, the optimised build users get (RelWithDebInfo), all tests (build/)
#   scripts/test.sh --sanitize   clang 14 with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ "${1:-}" == "--sanitize" ]]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF
         -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
# The soak run (label soak, minutes) is left to `ctest --test-dir build -L soak`.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600 -LE soak
