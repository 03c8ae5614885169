#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
#   scripts/test.sh              g++, the optimised build users get (RelWithDebInfo), all tests (build/)
#   scripts/test.sh --sanitize   clang 14 with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# The presets (CMakePresets.json) hold the build directories, compilers and options; the asan test preset
# sets the sanitizers' run-time options.
preset=default
[[ "${1:-}" == "--sanitize" ]] && preset=asan
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
# The soak run (label soak, minutes) is left to `ctest --test-dir build -L soak`.
ctest --preset "$preset" -j "$(nproc)"
