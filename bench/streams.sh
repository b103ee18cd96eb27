#!/usr/bin/env bash
# Times ruxen-backup with one stream against four streams (child processes)
# on the same small files, page cache warm, with tar doing the same work
# (one tar over the four lists, then four tars at once) into the same sink.
#
#   bench/streams.sh [WORKDIR]
#
# Generates SMALL_COUNT small files under WORKDIR (default
# /tmp/ruxen-bench-streams), lists them with ruxen-collect and splits the
# list into 4 collect files. Each command runs RUNS times; the best run
# counts. Every archive goes to /dev/null (tar's through cat, as tar skips
# reading files when it writes to /dev/null itself).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-bench-streams}
SMALL_COUNT=${SMALL_COUNT:-20000}
RUNS=${RUNS:-3}
bin="$top/build/bin"
. "$top/bench/bench_lib.sh"

ensure_built

if [ ! -f "$work/.generated-$SMALL_COUNT" ]; then
  echo "generating $SMALL_COUNT files in $work ..."
  rm -rf "$work" && mkdir -p "$work/small"
  make_small_files "$work/small" "$SMALL_COUNT"
  touch "$work/.generated-$SMALL_COUNT"
fi
"$bin/ruxen-collect" "$work/small" > "$work/all.collect"
rm -f "$work"/part.collect.*
split -n l/4 -d -a 1 "$work/all.collect" "$work/part.collect."
parts=("$work"/part.collect.*)
items=$(wc -l < "$work/all.collect")

ruxen() { "$bin/ruxen-backup" --streams "$1" --archive /dev/null "${parts[@]}"; }
tar1() { cat "${parts[@]}" | tar --no-recursion -cf - -T - | cat >/dev/null; }
tar4() {
  for p in "${parts[@]}"; do tar --no-recursion -cf - -T "$p" | cat >/dev/null & done
  wait
}

# Warm the page cache.
find "$work/small" -type f -print0 | xargs -0 cat >/dev/null

echo "== $items items in ${#parts[@]} collect files; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
r1=$(best_of ruxen 1); r4=$(best_of ruxen 4); t1=$(best_of tar1); t4=$(best_of tar4)
printf 'ruxen-backup --streams 1 %9.0f items/s\nruxen-backup --streams 4 %9.0f items/s\n' \
  "$(echo "$items / $r1" | bc -l)" "$(echo "$items / $r4" | bc -l)"
printf 'tar, one over all lists  %9.0f items/s\ntar, four at once        %9.0f items/s\n' \
  "$(echo "$items / $t1" | bc -l)" "$(echo "$items / $t4" | bc -l)"
printf 'streams 4 / streams 1: %.2f   tar four / tar one: %.2f\n' \
  "$(echo "$r1 / $r4" | bc -l)" "$(echo "$t1 / $t4" | bc -l)"
