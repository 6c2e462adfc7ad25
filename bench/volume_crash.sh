#!/bin/sh
# The volume's crash test at full length: a child process writes files through
# the volume on the simulated unit and is killed with SIGKILL at N random
# moments (100 by default); after each kill a fresh mount must find every file
# that had completed, and every disc must pass kelva-disctool check. Prints the
# kills by phase, the files checked, the losses and the discs used.
#
#   bench/volume_crash.sh [KILLS]
#
# Builds the asan preset's volume_sim_tests (the test suite's build).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in -h|--help) sed -n '2,9p' "$0"; exit 0;; esac
kills=${1:-100}

cd "$here"
[ -d build/asan ] || cmake --preset asan >/dev/null
cmake --build --preset asan --target volume_sim_tests >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$here/tests/lsan.supp
start=$(date +%s)
KELVA_CRASH_KILLS=$kills build/asan/tests/service/volume/volume_sim_tests \
  --gtest_filter='VolumeCrashTest.*' 2>&1 | grep -E '^crash test:|Failure|lost after|fails the check|PASSED|FAILED' || true
echo "elapsed: $(( $(date +%s) - start )) s"
