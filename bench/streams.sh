#!/usr/bin/env bash
# Times ruxen-backup with one stream against four streams (child processes)
# on the same small files, page cache warm, with tar doing the same work
# (one tar walking the tree, one tar over the four lists, four tars at once)
# into the same sink: every archive is a file in SINK_DIR (a tmpfs, default
# /dev/shm/ruxen-bench-streams-sink), as a stream of a several-stream job
# writes a file of its own; tar would skip reading the files were its
# archive /dev/null.
#
#   ruxen-backup --streams 4   vs  ruxen-backup --streams 1    goal 3 at 20,000 files
#   ruxen-backup --streams 4   vs  four tars at once
#   four tars at once          vs  one tar over the lists      (what the machine allows)
#
#   bench/streams.sh [WORKDIR]
#
# Generates SMALL_COUNT small files under WORKDIR (default
# /tmp/ruxen-bench-streams), lists them with ruxen-collect and splits the
# list into 4 collect files. The commands run in ROUNDS interleaved rounds
# (default 5); best and median are printed, and a RATIO line on the best
# times. RUXEN_BIN names another build's bin directory to time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-bench-streams}
SMALL_COUNT=${SMALL_COUNT:-20000}
bin=${RUXEN_BIN:-$top/build/bin}
. "$top/bench/bench_lib.sh"

ensure_built

if [ ! -f "$work/.generated-$SMALL_COUNT" ]; then
  echo "generating $SMALL_COUNT files in $work ..."
  rm -rf "$work" && mkdir -p "$work/small"
  make_small_files "$work/small" "$SMALL_COUNT"
  touch "$work/.generated-$SMALL_COUNT"
fi
"$bin/ruxen-collect" "$work/small" > "$work/all.collect"
tar_list "$work/all.collect" "$work/all.list"
rm -f "$work"/part.collect.*
split -n l/4 -d -a 1 "$work/all.collect" "$work/part.collect."
parts=("$work"/part.collect.*)
items=$(wc -l < "$work/all.collect")

sink=${SINK_DIR:-/dev/shm/ruxen-bench-streams-sink}
if [ ! -d "$(dirname "$sink")" ]; then sink=$work/sink; fi
mkdir -p "$sink"
trap 'rm -rf "$sink"' EXIT

ruxen() { "$bin/ruxen-backup" --streams "$1" --archive "$sink/ruxen.rxpl" "${parts[@]}"; }
tar_walk() { tar -cf "$sink/tar" -C "$work" small; }
tar_one() { tar -cf "$sink/tar" --no-recursion -P -T "$work/all.list"; }
tar_four() {
  local i=0 p
  for p in "${parts[@]}"; do
    tar -cf "$sink/tar.$i" --no-recursion -P -T "$p" &
    i=$((i + 1))
  done
  wait
}

show_load start

# Warm the page cache.
find "$work/small" -type f -print0 | xargs -0 cat >/dev/null

echo "== $items items in ${#parts[@]} collect files, archives in $sink"
AMOUNT=$items UNIT=items compare streams-1 "ruxen 1" streams-4 "ruxen 4" tar-walk tar_walk \
  tar-one tar_one tar-four tar_four
ratio streams streams-4 streams-1 3
ratio streams-tar streams-4 tar-four
ratio streams-1-tar-walk streams-1 tar-walk
ratio tar-four tar-four tar-one

show_load end
