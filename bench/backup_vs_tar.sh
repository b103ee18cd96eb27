#!/usr/bin/env bash
# Times ruxen-backup against tar and cat on the same files, page cache warm.
#
#   bench/backup_vs_tar.sh [WORKDIR]
#
# Builds (if needed) and generates a tree under WORKDIR (default
# /tmp/ruxen-bench): LARGE_COUNT large files of LARGE_MB MiB, SMALL_COUNT small
# files, and one SPARSE_GB GiB sparse file holding 1 MiB of data. Each
# command runs RUNS times; the best run counts. Prints throughput for the
# large files, items per second for the small ones and time for the sparse
# file, each with its ratio to the others.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-bench}
LARGE_COUNT=${LARGE_COUNT:-4}
LARGE_MB=${LARGE_MB:-256}
SMALL_COUNT=${SMALL_COUNT:-20000}
SPARSE_GB=${SPARSE_GB:-16}
RUNS=${RUNS:-3}
bin="$top/build/bin"
. "$top/bench/bench_lib.sh"

ensure_built

mkdir -p "$work/large" "$work/small" "$work/sparse"
if [ ! -f "$work/.generated-$LARGE_COUNT-$LARGE_MB-$SMALL_COUNT-$SPARSE_GB" ]; then
  echo "generating the tree in $work ..."
  rm -rf "$work/large" "$work/small" "$work/sparse" "$work"/.generated-*
  mkdir -p "$work/large" "$work/small" "$work/sparse"
  for i in $(seq 1 "$LARGE_COUNT"); do
    head -c "$((LARGE_MB * 1024 * 1024))" /dev/urandom > "$work/large/file$i"
  done
  make_small_files "$work/small" "$SMALL_COUNT"
  truncate -s "${SPARSE_GB}G" "$work/sparse/big.img"
  head -c 1048576 /dev/urandom | dd of="$work/sparse/big.img" bs=1M seek=$((SPARSE_GB * 512)) conv=notrunc status=none
  touch "$work/.generated-$LARGE_COUNT-$LARGE_MB-$SMALL_COUNT-$SPARSE_GB"
fi

for part in large small sparse; do
  "$bin/ruxen-collect" "$work/$part" > "$work/$part.collect"
done
small_items=$(wc -l < "$work/small.collect")

ruxen() { "$bin/ruxen-backup" --archive /dev/null "$work/$1.collect"; }
tarcat() { tar -cf - -C "$work" "$1" | cat >/dev/null; }
tarsparse() { tar -S -cf - -C "$work" "$1" | cat >/dev/null; }
catall() { find "$work/$1" -type f -print0 | xargs -0 cat >/dev/null; }

# Warm the page cache.
catall large; catall small; ruxen sparse >/dev/null

echo "== large files: $LARGE_COUNT x $LARGE_MB MiB"
mb=$((LARGE_COUNT * LARGE_MB))
r=$(best_of ruxen large); t=$(best_of tarcat large); c=$(best_of catall large)
printf 'ruxen-backup %8.1f MiB/s\ntar | cat    %8.1f MiB/s\ncat          %8.1f MiB/s\n' \
  "$(echo "$mb / $r" | bc -l)" "$(echo "$mb / $t" | bc -l)" "$(echo "$mb / $c" | bc -l)"
printf 'ruxen/cat %.2f   ruxen/tar %.2f   tar/cat %.2f (throughput ratios)\n' \
  "$(echo "$c / $r" | bc -l)" "$(echo "$t / $r" | bc -l)" "$(echo "$c / $t" | bc -l)"

echo "== small files: $small_items items"
r=$(best_of ruxen small); t=$(best_of tarcat small); c=$(best_of catall small)
printf 'ruxen-backup %8.0f items/s\ntar | cat    %8.0f items/s\ncat          %8.0f items/s\n' \
  "$(echo "$small_items / $r" | bc -l)" "$(echo "$small_items / $t" | bc -l)" "$(echo "$small_items / $c" | bc -l)"
printf 'ruxen/cat %.2f   ruxen/tar %.2f   tar/cat %.2f (items-per-second ratios)\n' \
  "$(echo "$c / $r" | bc -l)" "$(echo "$t / $r" | bc -l)" "$(echo "$c / $t" | bc -l)"

echo "== sparse file: $SPARSE_GB GiB holding 1 MiB of data"
RUNS=1
r=$(best_of ruxen sparse); t=$(best_of tarcat sparse); s=$(best_of tarsparse sparse); c=$(best_of catall sparse)
printf 'ruxen-backup %8.3f s\ntar | cat    %8.3f s\ntar -S | cat %8.3f s\ncat          %8.3f s\n' "$r" "$t" "$s" "$c"
printf 'time ratios: ruxen/cat %.4f   ruxen/tar %.4f   ruxen/tar-S %.3f\n' \
  "$(echo "$r / $c" | bc -l)" "$(echo "$r / $t" | bc -l)" "$(echo "$r / $s" | bc -l)"
"$bin/ruxen-backup" --archive "$work/sparse.rxpl" "$work/sparse.collect" >/dev/null
echo "sparse stream size: $(stat -c %s "$work/sparse.rxpl") bytes"
