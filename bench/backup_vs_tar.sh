#!/usr/bin/env bash
# Times ruxen-backup against tar (and a bare read loop) on the same files,
# each engine's archive going into the same kind of sink, so that a ratio
# compares engines, not sinks. tar is timed twice: walking the tree (the way
# users run it) and given the same list the engine reads (-T LIST
# --no-recursion); the engine's list is written by ruxen-collect beforehand.
#
#   small files, pipe   ruxen-backup | cat       vs  tar -cf - | cat      goal 1.2 (tar walking)
#   large files, pipe   ruxen-backup | cat       vs  tar -cf - | cat      goal 1.5 (tar walking)
#                       (and read_loop | cat, a bare 1 MiB read/write loop, for reference)
#   large files, null   ruxen-backup > /dev/null vs  read_loop > /dev/null goal 0.95
#   sparse file, pipe   ruxen-backup | cat       vs  tar -S -cf - | cat
#   small files, cold   as "small files, pipe", caches dropped before each run (root only)
#   prefetch            ruxen-backup | cat       vs  ruxen-backup --no-prefetch | cat (warm; cold as root)
#
#   bench/backup_vs_tar.sh [WORKDIR]
#
# WORKDIR (default /tmp/ruxen-bench) gets LARGE_COUNT files of LARGE_MB MiB,
# SMALL_COUNT small files and one sparse file of SPARSE_GB GiB holding
# SPARSE_DATA_MB MiB of data in ten pieces. The commands of a case run in
# ROUNDS interleaved rounds (default 5); best and median are printed, and a
# RATIO line on the best times (above 1: ruxen-backup is faster), with the
# goal it is held to. RUXEN_BIN names another build's bin directory to time
# (the read loop always comes from this tree's build); CASES (default "small
# large null sparse cold prefetch") picks cases.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-bench}
LARGE_COUNT=${LARGE_COUNT:-4}
LARGE_MB=${LARGE_MB:-256}
SMALL_COUNT=${SMALL_COUNT:-20000}
SPARSE_GB=${SPARSE_GB:-1024}
SPARSE_DATA_MB=${SPARSE_DATA_MB:-10}
CASES=${CASES:-small large null sparse cold prefetch}
bin=${RUXEN_BIN:-$top/build/bin}
. "$top/bench/bench_lib.sh"

ensure_built
read_loop=$top/build/bin/read_loop

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
  tar_list "$work/$part.collect" "$work/$part.list"
done
small_items=$(wc -l < "$work/small.collect")
large_mib=$((LARGE_COUNT * LARGE_MB))

can_drop=0
if [ -w /proc/sys/vm/drop_caches ]; then can_drop=1; fi
wants() { [[ " $CASES " == *" $1 "* ]]; }

# The archive goes to descriptor 3, the pipe; the summary goes nowhere.
ruxen_pipe() { "$bin/ruxen-backup" "${@:2}" --archive /dev/fd/3 "$work/$1.collect" 3>&1 >/dev/null 2>&1 | cat >/dev/null; }
ruxen_null() { "$bin/ruxen-backup" --archive /dev/null "$work/$1.collect"; }
tar_walk() { tar "${@:2}" -cf - -C "$work" "$1" | cat >/dev/null; }
tar_given() { tar "${@:2}" -cf - --no-recursion -P -T "$work/$1.list" | cat >/dev/null; }

# versus_tar NAME PART GOAL [TAR OPTION]: ruxen-backup against tar walking
# and tar given the list, all through a pipe.
versus_tar() {
  compare ${COLD:-} ruxen "ruxen_pipe $2" tar-walk "tar_walk $2 ${4:-}" tar-list "tar_given $2 ${4:-}"
  ratio "$1" ruxen tar-walk "$3"
  ratio "$1-list" ruxen tar-list
}

show_load start

# Warm the page cache. (Not with ruxen-backup: its cache advice drops again
# what its own reads brought in.)
"$read_loop" "$work"/large/* >/dev/null
find "$work/small" -type f -print0 | xargs -0 cat >/dev/null
tar_walk sparse -S

if wants small; then
  echo "== small files through a pipe: $small_items items"
  AMOUNT=$small_items UNIT=items versus_tar small-pipe small 1.2
fi

if wants large; then
  echo "== large files through a pipe: $LARGE_COUNT x $LARGE_MB MiB"
  AMOUNT=$large_mib UNIT=MiB compare ruxen "ruxen_pipe large" tar-walk "tar_walk large" \
    tar-list "tar_given large" read-loop "$read_loop $work/large/* | cat >/dev/null"
  ratio large-pipe ruxen tar-walk 1.5
  ratio large-pipe-list ruxen tar-list
  ratio large-pipe-loop ruxen read-loop
fi

if wants null; then
  echo "== large files to /dev/null: $LARGE_COUNT x $LARGE_MB MiB"
  AMOUNT=$large_mib UNIT=MiB compare ruxen "ruxen_null large" read-loop "$read_loop $work/large/* >/dev/null"
  ratio large-null ruxen read-loop 0.95
fi

if wants sparse; then
  echo "== sparse file through a pipe: $SPARSE_GB GiB holding $SPARSE_DATA_MB MiB"
  versus_tar sparse-pipe sparse "" -S
  "$bin/ruxen-backup" --archive "$work/sparse.rxpl" "$work/sparse.collect" >/dev/null 2>&1
  echo "sparse stream size: $(stat -c %s "$work/sparse.rxpl") bytes"
  rm -f "$work/sparse.rxpl"
fi

if wants cold; then
  if [ "$can_drop" = 1 ]; then
    echo "== small files through a pipe, caches dropped before each run: $small_items items"
    AMOUNT=$small_items UNIT=items COLD=--cold versus_tar small-cold small ""
  else
    echo "== small files, cold: skipped (cannot write /proc/sys/vm/drop_caches)"
  fi
fi

if wants prefetch && "$bin/ruxen-backup" --help 2>&1 | grep -q -- --no-prefetch; then
  find "$work/small" -type f -print0 | xargs -0 cat >/dev/null
  echo "== small files through a pipe, warm, with and without prefetch"
  compare with "ruxen_pipe small" without "ruxen_pipe small --no-prefetch"
  ratio prefetch-warm with without
  if [ "$can_drop" = 1 ]; then
    echo "== small files through a pipe, cold, with and without prefetch"
    compare --cold with "ruxen_pipe small" without "ruxen_pipe small --no-prefetch"
    ratio prefetch-cold with without
  fi
fi

show_load end
