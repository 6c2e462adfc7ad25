#!/usr/bin/env bash
# Builds Kelva (release) and runs it in the foreground until Ctrl+C: a simulated
# archive unit with a demo magazine (unless KELVA_SIMULATE=0, for a real unit),
# the notifier KelvaMsg, the access filter kelvaflt, then the service in console
# mode (kelva /noservice), which finds the unit, guards it, identifies the
# magazine and mounts it at $KELVA_MOUNT_ROOT/<drive letter> (./.kelva/media/C
# the first time). Every folder Kelva uses defaults to one under ./.kelva/, so nothing
# outside the repository is touched unless the caller sets the KELVA_* variables.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
# The build speaks only when it fails: its output goes to .kelva/build.log and
# the terminal shows its progress on one line.
mkdir -p .kelva
build_log=$root/.kelva/build.log
if ! cmake --preset release >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "kelva: the build could not be configured (log: $build_log)" >&2
  exit 1
fi
progress() {
  local line
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$build_log"
    if [ -t 2 ] && [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
      printf '\rkelva: building %s/%s ' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" >&2
    fi
  done
  if [ -t 2 ]; then printf '\r\033[K' >&2; fi
}
if ! cmake --build --preset release -j "$(nproc)" --target kelva kelvaflt kelva-unitsim KelvaMsg 2>&1 | progress; then
  grep -E 'error|FAILED' "$build_log" >&2 || tail -n 40 "$build_log" >&2
  echo "kelva: the build failed (log: $build_log)" >&2
  exit 1
fi

export KELVA_DATA_ROOT=${KELVA_DATA_ROOT:-$root/.kelva/data}
export KELVA_RUN_DIR=${KELVA_RUN_DIR:-$root/.kelva/run}
export KELVA_REGISTRY_ROOT=${KELVA_REGISTRY_ROOT:-$root/.kelva/registry}
export KELVA_MOUNT_ROOT=${KELVA_MOUNT_ROOT:-$root/.kelva/media}
mkdir -p "$KELVA_DATA_ROOT" "$KELVA_RUN_DIR" "$KELVA_REGISTRY_ROOT" "$KELVA_MOUNT_ROOT"
bin=$root/build/release/bin
simulate=${KELVA_SIMULATE:-1}
magazine=${KELVA_DEMO_MAGAZINE:-$root/.kelva/magazine}

svc=
flt=
sim=
msg=
# Ctrl+C reaches every program directly (they are in the terminal's process
# group); the script only waits for them. A TERM sent to the script is passed on.
trap ':' INT
trap 'kill -TERM ${svc:+"$svc"} ${flt:+"$flt"} ${msg:+"$msg"} ${sim:+"$sim"} 2>/dev/null || true' TERM

# Waits for a child to end, across interruptions by trapped signals; its exit
# status is left in $rc.
rc=0
wait_for() {
  local pid=$1
  while :; do
    if wait "$pid"; then rc=0; else rc=$?; fi
    kill -0 "$pid" 2>/dev/null || break
  done
}

# Ends the helpers that outlive the service (the notifier, the simulated unit).
stop_helpers() {
  for p in ${msg:+"$msg"} ${sim:+"$sim"}; do
    kill -TERM "$p" 2>/dev/null || true
    wait_for "$p"
  done
}

if [ "$simulate" != 0 ]; then
  if [ ! -e "$magazine" ]; then
    # Twelve sparse 1 GiB discs: quick to create, small on disk until written.
    "$bin/kelva-unitsim" create --magazine "$magazine" --type rewritable --capacity 300 \
      --disc-size 1073741824 --label DEMO
  fi
  echo "kelva: starting the simulated unit unit0 with the magazine $magazine" >&2
  "$bin/kelva-unitsim" run --magazine "$magazine" --name unit0 &
  sim=$!
fi
"$bin/KelvaMsg" &
msg=$!

echo "kelva: starting kelvaflt and kelva /noservice (data $KELVA_DATA_ROOT, run $KELVA_RUN_DIR); Ctrl+C stops" >&2
"$bin/kelvaflt" "$@" &
flt=$!
# The filter writes its pid file once its port is ready.
for _ in $(seq 200); do
  [ -e "$KELVA_RUN_DIR/kelvaflt.pid" ] && break
  if ! kill -0 "$flt" 2>/dev/null; then
    wait_for "$flt"
    echo "kelva: kelvaflt did not start (exit status $rc)" >&2
    stop_helpers
    exit 1
  fi
  sleep 0.05
done

echo "kelva: the magazine appears below $KELVA_MOUNT_ROOT once mounted (see the log line 'magazine mounted at')" >&2
KELVA_FILTER_PROGRAM="$bin/kelvaflt" "$bin/kelva" /noservice "$@" &
svc=$!
wait_for "$svc"
svc_rc=$rc
# The service stops the filter as its last step; make sure it is gone.
kill -TERM "$flt" 2>/dev/null || true
wait_for "$flt"
flt_rc=$rc
stop_helpers
echo "kelva: stopped (kelva $svc_rc, kelvaflt $flt_rc)" >&2
[ "$svc_rc" -eq 0 ] && [ "$flt_rc" -eq 0 ]
