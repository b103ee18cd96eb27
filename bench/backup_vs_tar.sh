#!/usr/bin/env bash
# Times ruxen-backup against tar (and a plain read loop) on the same files,
# each engine's output going to the same kind of sink, so that a ratio
# compares engines, not sinks:
#
#   small files, pipe     ruxen-backup | cat     vs  tar -cf - | cat       (items/s)
#   large files, pipe     ruxen-backup | cat     vs  tar -cf - | cat       (MiB/s)
#   large files, null     ruxen-backup > /dev/null  vs  dd bs=1M > /dev/null (MiB/s)
#   sparse file, pipe     ruxen-backup | cat     vs  tar -S -cf - | cat    (time)
#   small files, cold     as "small files, pipe", caches dropped before each run
#   prefetch, warm/cold   ruxen-backup | cat     vs  ruxen-backup --no-prefetch | cat
#
#   bench/backup_vs_tar.sh [WORKDIR]
#
# WORKDIR (default /tmp/ruxen-bench) gets LARGE_COUNT files of LARGE_MB MiB,
# SMALL_COUNT small files and one sparse file of SPARSE_GB GiB holding
# SPARSE_DATA_MB MiB of data in ten pieces. Each command runs RUNS times and
# the best run counts. A ratio above 1 means ruxen-backup is faster. The
# cold case runs only when /proc/sys/vm/drop_caches is writable (root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-bench}
LARGE_COUNT=${LARGE_COUNT:-4}
LARGE_MB=${LARGE_MB:-256}
SMALL_COUNT=${SMALL_COUNT:-20000}
SPARSE_GB=${SPARSE_GB:-1024}
SPARSE_DATA_MB=${SPARSE_DATA_MB:-10}
RUNS=${RUNS:-3}
bin=${RUXEN_BIN:-$top/build/bin}
. "$top/bench/bench_lib.sh"

ensure_built

stamp="$work/.generated-$LARGE_COUNT-$LARGE_MB-$SMALL_COUNT-$SPARSE_GB-$SPARSE_DATA_MB"
if [ ! -f "$stamp" ]; then
  echo "generating the tree in $work ..."
  rm -rf "$work/large" "$work/small" "$work/sparse" "$work"/.generated-*
  mkdir -p "$work/large" "$work/small" "$work/sparse"
  for i in $(seq 1 "$LARGE_COUNT"); do
    head -c "$((LARGE_MB * 1024 * 1024))" /dev/urandom > "$work/large/file$i"
  done
  make_small_files "$work/small" "$SMALL_COUNT"
  truncate -s "${SPARSE_GB}G" "$work/sparse/big.img"
  piece_kib=$((SPARSE_DATA_MB * 1024 / 10))
  for i in $(seq 0 9); do
    head -c "$((piece_kib * 1024))" /dev/urandom |
      dd of="$work/sparse/big.img" bs=1K seek=$((i * SPARSE_GB * 1024 * 1024 / 10)) conv=notrunc status=none
  done
  touch "$stamp"
fi

for part in large small sparse; do
  "$bin/ruxen-collect" "$work/$part" > "$work/$part.collect"
done
small_items=$(wc -l < "$work/small.collect")
large_mib=$((LARGE_COUNT * LARGE_MB))

can_drop=0
if [ -w /proc/sys/vm/drop_caches ]; then can_drop=1; fi

# The archive goes to descriptor 3, the pipe; the summary goes nowhere.
ruxen_pipe() { "$bin/ruxen-backup" --archive /dev/fd/3 "$work/$1.collect" 3>&1 >/dev/null 2>&1 | cat >/dev/null; }
ruxen_null() { "$bin/ruxen-backup" --archive /dev/null "$work/$1.collect"; }
ruxen_pipe_noprefetch() {
  "$bin/ruxen-backup" --no-prefetch --archive /dev/fd/3 "$work/$1.collect" 3>&1 >/dev/null 2>&1 | cat >/dev/null
}
tar_pipe() { tar -cf - -C "$work" "$1" | cat >/dev/null; }
tar_sparse_pipe() { tar -S -cf - -C "$work" "$1" | cat >/dev/null; }
read_loop() {
  local f
  for f in "$work/$1"/*; do dd if="$f" of=/dev/null bs=1M status=none; done
}
ratio() { echo "$1 / $2" | bc -l; }

# small_files NAME [--cold]: items per second of both engines through a pipe.
small_files() {
  local name=$1 r t
  shift
  r=$(best_of "$@" ruxen_pipe small); t=$(best_of "$@" tar_pipe small)
  printf 'ruxen-backup | cat %9.0f items/s\ntar | cat          %9.0f items/s\n' \
    "$(ratio "$small_items" "$r")" "$(ratio "$small_items" "$t")"
  printf 'RATIO %s ruxen/tar %.2f\n' "$name" "$(ratio "$t" "$r")"
}

# Warm the page cache. (Not with ruxen-backup: its cache advice drops again
# what its own reads brought in.)
read_loop large
find "$work/small" -type f -print0 | xargs -0 cat >/dev/null
tar_sparse_pipe sparse

echo "== small files through a pipe: $small_items items"
small_files small-pipe

echo "== large files through a pipe: $LARGE_COUNT x $LARGE_MB MiB"
r=$(best_of ruxen_pipe large); t=$(best_of tar_pipe large)
printf 'ruxen-backup | cat %9.1f MiB/s\ntar | cat          %9.1f MiB/s\n' \
  "$(ratio "$large_mib" "$r")" "$(ratio "$large_mib" "$t")"
printf 'RATIO large-pipe ruxen/tar %.2f\n' "$(ratio "$t" "$r")"

echo "== large files to /dev/null"
r=$(best_of ruxen_null large); d=$(best_of read_loop large)
printf 'ruxen-backup       %9.1f MiB/s\ndd bs=1M           %9.1f MiB/s\n' \
  "$(ratio "$large_mib" "$r")" "$(ratio "$large_mib" "$d")"
printf 'RATIO large-null ruxen/read-loop %.2f\n' "$(ratio "$d" "$r")"

echo "== sparse file through a pipe: $SPARSE_GB GiB holding $SPARSE_DATA_MB MiB"
r=$(best_of ruxen_pipe sparse); s=$(best_of tar_sparse_pipe sparse)
printf 'ruxen-backup | cat %9.3f s\ntar -S | cat       %9.3f s\n' "$r" "$s"
printf 'RATIO sparse-pipe ruxen/tar-S %.2f\n' "$(ratio "$s" "$r")"
"$bin/ruxen-backup" --archive "$work/sparse.rxpl" "$work/sparse.collect" >/dev/null 2>&1
echo "sparse stream size: $(stat -c %s "$work/sparse.rxpl") bytes"
rm -f "$work/sparse.rxpl"

if [ "$can_drop" = 1 ]; then
  echo "== small files through a pipe, caches dropped before each run"
  small_files small-cold --cold
else
  echo "== small files, cold: skipped (cannot write /proc/sys/vm/drop_caches)"
fi

# prefetch NAME [--cold]: ruxen-backup with and without its prefetch of
# cold items, 3 x RUNS runs alternating so that a change of the machine's
# load touches both alike; a ratio above 1 means prefetch is faster.
prefetch() {
  local name=$1 with="" without="" a b
  shift
  for _ in $(seq 1 $((RUNS * 3))); do
    a=$(RUNS=1 best_of "$@" ruxen_pipe small); b=$(RUNS=1 best_of "$@" ruxen_pipe_noprefetch small)
    if [ -z "$with" ] || [ "$(echo "$a < $with" | bc -l)" = 1 ]; then with=$a; fi
    if [ -z "$without" ] || [ "$(echo "$b < $without" | bc -l)" = 1 ]; then without=$b; fi
  done
  printf 'with prefetch      %9.0f items/s
without prefetch   %9.0f items/s
' \
    "$(ratio "$small_items" "$with")" "$(ratio "$small_items" "$without")"
  printf 'RATIO %s with/without %.3f
' "$name" "$(ratio "$without" "$with")"
}

if "$bin/ruxen-backup" --help 2>&1 | grep -q -- --no-prefetch; then
  find "$work/small" -type f -print0 | xargs -0 cat >/dev/null
  echo "== small files through a pipe, warm, with and without prefetch"
  prefetch prefetch-warm
  if [ "$can_drop" = 1 ]; then
    echo "== small files through a pipe, cold, with and without prefetch"
    prefetch prefetch-cold --cold
  fi
fi
