#!/usr/bin/env bash
# The cost per link of one large hard-link group against many small ones,
# through the hard-link road of the tools: `ruxen-collect --job-dir` (the
# scan, which records the links in the hard-links table and the hard-link
# collect file) and `ruxen-backup --job-dir` (each group's data once, every
# member naming it), with plain files of the same count beside them.
#
#   big     one file of LINKS links           goal: no slower per link than
#   pairs   LINKS/2 files of 2 links each           pairs (RATIO >= 1)
#   plain   LINKS files of one link
#
#   bench/hardlink_groups.sh [WORKDIR]
#
# WORKDIR (default /tmp/ruxen-bench-hardlinks) gets the three trees, 200
# names a directory, each file of 1 KiB. Every archive goes through a pipe
# into `cat > /dev/null`. The commands run in ROUNDS interleaved rounds
# (default 5), each backup after its own scan into a fresh job directory;
# best and median are printed with the time per link, and RATIO lines on
# the best times (pairs over big: above 1, a link of the large group costs
# less). RUXEN_BIN names another build's bin directory to time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-bench-hardlinks}
LINKS=${LINKS:-10000}
bin=${RUXEN_BIN:-$top/build/bin}
. "$top/bench/bench_lib.sh"

ensure_built

if [ ! -f "$work/.generated-$LINKS" ]; then
  echo "generating $LINKS links in each tree under $work ..."
  rm -rf "$work" && mkdir -p "$work"
  python3 - "$work" "$LINKS" <<'PY'
import os, sys
root, links = sys.argv[1], int(sys.argv[2])
data = os.urandom(1024)
def name(tree, i):
    d = os.path.join(root, tree, "d%03d" % (i // 200))
    os.makedirs(d, exist_ok=True)
    return os.path.join(d, "l%05d" % i)
def write(path):
    with open(path, "wb") as f:
        f.write(data)
first = name("big", 0)
write(first)
for i in range(1, links):
    os.link(first, name("big", i))
for i in range(0, links, 2):
    write(name("pairs", i))
    if i + 1 < links:
        os.link(name("pairs", i), name("pairs", i + 1))
for i in range(links):
    write(name("plain", i))
PY
  touch "$work/.generated-$LINKS"
fi

# A fresh job directory before each scan.
fresh_job() {
  case $1 in
    *-collect) rm -rf "$work/job.${1%-collect}" && mkdir "$work/job.${1%-collect}" ;;
  esac
}
collect() { "$bin/ruxen-collect" --job-dir "$work/job.$1" "$work/$1"; }
# backup TREE OUT: the job directory as the scan left it; a scan that leaves
# no merged split configuration wrote its collect file and hard-link
# collect file for the backup to be given.
backup() {
  local job=$work/job.$1 files=()
  if [ ! -f "$job/Merged_split_config" ]; then
    files=("$job/CollectTot1.kxf")
    if [ -f "$job/HCollectTot1.kxf" ]; then files+=("$job/HCollectTot1.kxf"); fi
  fi
  "$bin/ruxen-backup" --job-dir "$job" --archive "$2" "${files[@]}"
}

show_load start
# The road must work: one checked backup of the large group.
fresh_job big-collect && collect big >/dev/null 2>&1
backup big "$work/check.rxpl" >/dev/null 2>&1
"$bin/ruxen-dump" --verify "$work/check.rxpl" 2>&1 | grep '^verify:'
rm -f "$work/check.rxpl"

find "$work/big" "$work/pairs" "$work/plain" -type f -print0 | xargs -0 cat >/dev/null
echo "== $LINKS links in each tree: one group, groups of 2, plain files"
BEFORE_EACH=fresh_job AMOUNT=$LINKS UNIT=links compare \
  big-collect "collect big" big-backup "backup big /dev/fd/3 3>&1 >/dev/null | cat" \
  pairs-collect "collect pairs" pairs-backup "backup pairs /dev/fd/3 3>&1 >/dev/null | cat" \
  plain-collect "collect plain" plain-backup "backup plain /dev/fd/3 3>&1 >/dev/null | cat"
for label in big-collect big-backup pairs-collect pairs-backup plain-collect plain-backup; do
  printf '  %-26s %8.2f us a link (best)  %8.2f (median)\n' "$label" \
    "$(echo "${BEST[$label]} * 1000000 / $LINKS" | bc -l)" "$(echo "${MEDIAN[$label]} * 1000000 / $LINKS" | bc -l)"
done
ratio group-backup big-backup pairs-backup 1
ratio group-collect big-collect pairs-collect 1
ratio linked-backup pairs-backup plain-backup
rm -rf "$work"/job.*
show_load end
