#!/bin/sh
# The mount benchmark: the same file workload on the computer's own disk
# (native), on a plain FUSE passthrough to that disk, and, when a third folder
# is given, on the magazine's mount. Prints each column's figures and the
# ratio of each column's time to the native time.
#
#   bench/fshost_bench.sh [--kelva MOUNTED_FOLDER] [workload options]
#   workload options: --mib N --creates N --list N --deletes N
#
# Needs root (FUSE with allow_other). Builds the release preset's programs.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
kelva_dir=
if [ "${1:-}" = "--kelva" ]; then kelva_dir=$2; shift 2; fi
case "${1:-}" in -h|--help) sed -n '2,10p' "$0"; exit 0;; esac

cd "$here"
[ -d build/release ] || cmake --preset release >/dev/null
cmake --build --preset release --target bench_fuse_passthrough bench_fs_workload >/dev/null
bin=$here/build/release/bench

work=$(mktemp -d "${KELVA_BENCH_DIR:-/var/tmp}/kelva-bench.XXXXXX")
mnt=$work/mnt
mkdir -p "$work/native" "$work/backing" "$mnt"
cleanup() {
  fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

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
