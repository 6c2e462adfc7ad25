#!/bin/sh
# The mount benchmark: the same file workload on the computer's own disk
# (native), on a plain FUSE passthrough to that disk, and on the magazine's
# mount. Prints each column's figures and the ratio of each column's time to
# the native time and to the passthrough's.
#
#   bench/fshost_bench.sh [--kelva MOUNTED_FOLDER | --no-kelva] [workload options]
#   workload options: --mib N --creates N --list N --deletes N
#
# Without --kelva it starts a simulated unit with a new magazine (twelve
# sparse 4 GiB discs), the access filter and the service in console mode, all
# below a temporary folder, and measures the magazine's mount; the service's
# log is copied to $KELVA_BENCH_LOG at the end when that is set. Needs root (FUSE with
# allow_other). Builds the release preset's programs.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
kelva_dir=
simulate=1
case "${1:-}" in
  --kelva) kelva_dir=$2; simulate=0; shift 2;;
  --no-kelva) simulate=0; shift;;
  -h|--help) sed -n '2,15p' "$0"; exit 0;;
esac

cd "$here"
[ -d build/release ] || cmake --preset release >/dev/null
targets="bench_fuse_passthrough bench_fs_workload"
[ "$simulate" = 1 ] && targets="$targets kelva kelvaflt kelva-unitsim"
# shellcheck disable=SC2086
cmake --build --preset release --target $targets >/dev/null
bin=$here/build/release/bench
progs=$here/build/release/bin

work=$(mktemp -d "${KELVA_BENCH_DIR:-/var/tmp}/kelva-bench.XXXXXX")
mnt=$work/mnt
mkdir -p "$work/native" "$work/backing" "$mnt"
svc=
flt=
sim=
cleanup() {
  for p in $svc $flt $sim; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
  for m in "$work"/media/*; do [ -d "$m" ] && { umount -l "$m" 2>/dev/null || true; }; done
  [ -n "${KELVA_BENCH_LOG:-}" ] && [ -f "$work/kelva.log" ] && cp "$work/kelva.log" "$KELVA_BENCH_LOG"
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

if [ "$simulate" = 1 ]; then
  export KELVA_DATA_ROOT=$work/data KELVA_RUN_DIR=$work/run KELVA_REGISTRY_ROOT=$work/registry
  export KELVA_MOUNT_ROOT=$work/media
  mkdir -p "$KELVA_DATA_ROOT" "$KELVA_RUN_DIR" "$KELVA_REGISTRY_ROOT" "$KELVA_MOUNT_ROOT"
  "$progs/kelva-unitsim" create --magazine "$work/magazine" --type rewritable --capacity 300 \
    --disc-size 4294967296 --label BENCH >/dev/null
  "$progs/kelva-unitsim" run --magazine "$work/magazine" --name bench0 >"$work/unitsim.log" 2>&1 &
  sim=$!
  "$progs/kelvaflt" >"$work/kelvaflt.log" 2>&1 &
  flt=$!
  for _ in $(seq 100); do [ -e "$KELVA_RUN_DIR/kelvaflt.pid" ] && break; sleep 0.1; done
  KELVA_FILTER_PROGRAM="$progs/kelvaflt" "$progs/kelva" /noservice >"$work/kelva.log" 2>&1 &
  svc=$!
  for _ in $(seq 600); do grep -q "magazine mounted at" "$work/kelva.log" && break; sleep 0.1; done
  kelva_dir=$(sed -n 's/.*magazine mounted at //p' "$work/kelva.log" | head -n 1)
  [ -n "$kelva_dir" ] || { echo "the magazine was not mounted (log: $work/kelva.log)" >&2; cat "$work/kelva.log" >&2; exit 1; }
  kelva_dir=$kelva_dir/bench
  mkdir -p "$kelva_dir"
fi

"$bin/bench_fuse_passthrough" "$work/backing" "$mnt" &
for _ in $(seq 50); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "passthrough did not mount" >&2; exit 1; }

out=$work/results
"$bin/bench_fs_workload" native "$work/native" "$@" | tee -a "$out"
rm -rf "$work/native"/*
"$bin/bench_fs_workload" passthrough "$mnt" "$@" | tee -a "$out"
if [ -n "$kelva_dir" ]; then
  "$bin/bench_fs_workload" kelva "$kelva_dir" "$@" | tee -a "$out"
fi

echo
awk '
  { t[$1 " " $2] = $3; r[$1 " " $2] = $4 " " $5; ops[$2] = 1; cols[$1] = 1; order[++n] = $2 }
  END {
    printf "%-18s %24s %24s", "operation", "native", "passthrough (x native)"
    if ("kelva" in cols) printf " %24s %10s", "kelva (x native)", "x passthr."
    printf "\n"
    for (i = 1; i <= n; i++) {
      op = order[i]; if (seen[op]++) continue
      printf "%-18s %24s %15s (%5.2fx)", op, r["native " op], r["passthrough " op], t["passthrough " op] / t["native " op]
      if ("kelva" in cols)
        printf " %15s (%5.2fx) %9.2fx", r["kelva " op], t["kelva " op] / t["native " op], t["kelva " op] / t["passthrough " op]
      printf "\n"
    }
  }' "$out"
