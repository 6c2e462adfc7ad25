#!/usr/bin/env bash
# Installs what is missing, builds Kelva with the address and undefined-behaviour
# sanitizers and runs every test with ctest. Exits non-zero when anything fails.
# Extra arguments go to ctest (for example -R filter).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --preset asan -j "$(nproc)" "$@"
