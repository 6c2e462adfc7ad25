#!/usr/bin/env bash
# Builds Kelva with the address and undefined-behaviour sanitizers and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --preset asan -j "$(nproc)" "$@"
