#!/usr/bin/env bash
# Times ruxen-backup against tar on small files whose ACLs and extended
# attributes are backed up: both archive streams go through a pipe into
# `cat > /dev/null`, so that a ratio compares engines, not sinks.
#
#   ruxen-backup --archive - | cat   vs   tar --acls --xattrs -cf - | cat   (items/s)
#
#   bench/acl_vs_tar.sh [WORKDIR]
#
# WORKDIR (default /tmp/ruxen-acl-bench) gets COUNT small files in
# directories of 200; every RICH_EVERY-th file carries an ACL_USER entry and
# a user attribute (setfacl and setfattr, Debian's acl and attr). Each
# command runs RUNS times and the best run counts. A ratio above 1 means
# ruxen-backup is faster.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-acl-bench}
COUNT=${COUNT:-20000}
RICH_EVERY=${RICH_EVERY:-10}
RUNS=${RUNS:-5}
bin=${RUXEN_BIN:-$top/build/bin}

if [ ! -x "$bin/ruxen-backup" ]; then
  cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$top/build" ruxen-backup ruxen-collect >/dev/null
fi

tree="$work/tree"
stamp="$work/.generated-$COUNT-$RICH_EVERY"
if [ ! -f "$stamp" ]; then
  echo "generating $COUNT files in $tree ..."
  rm -rf "$tree" "$work"/.generated-*
  mkdir -p "$tree"
  python3 - "$tree" "$COUNT" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
rnd = os.urandom(8192)
for i in range(count):
    d = os.path.join(root, "d%03d" % (i // 200))
    if i % 200 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d" % i), "wb") as f:
        f.write(rnd[: 512 + (i * 37) % 7680])
PY
  find "$tree" -type f -name 'f*' | awk -v n="$RICH_EVERY" 'NR % n == 0' > "$work/rich.list"
  xargs -a "$work/rich.list" -d '\n' setfacl -m u:1234:r--
  xargs -a "$work/rich.list" -d '\n' setfattr -n user.comment -v backed-up-with-its-file
  touch "$stamp"
fi

"$bin/ruxen-collect" "$tree" > "$work/tree.collect"
items=$(wc -l < "$work/tree.collect")
rich=$(wc -l < "$work/rich.list")

best_of() {
  local best="" t0 t1 t
  for _ in $(seq 1 "$RUNS"); do
    t0=$(date +%s.%N)
    if ! "$@" >/dev/null 2>&1; then echo "failed: $*" >&2; exit 1; fi
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
ruxen_pipe() { "$bin/ruxen-backup" --archive - "$work/tree.collect" 2>/dev/null | cat >/dev/null; }
tar_pipe() { tar --acls --xattrs -cf - -C "$work" tree 2>/dev/null | cat >/dev/null; }
ratio() { echo "$1 / $2" | bc -l; }

# Both streams must carry the ACLs and attributes: count them once.
"$bin/ruxen-backup" --archive "$work/check.rxpl" "$work/tree.collect" >/dev/null 2>&1
opt=$("$bin/ruxen-dump" "$work/check.rxpl" | grep -c ' OPT_HDR ' || true)
rm -f "$work/check.rxpl"
echo "== $items items, $rich with an ACL_USER entry and an attribute; ruxen optional headers: $opt"

find "$tree" -type f -print0 | xargs -0 cat >/dev/null
r=$(best_of ruxen_pipe); t=$(best_of tar_pipe)
printf 'ruxen-backup | cat              %9.0f items/s\ntar --acls --xattrs | cat      %9.0f items/s\n' \
  "$(ratio "$items" "$r")" "$(ratio "$items" "$t")"
printf 'RATIO acl-pipe ruxen/tar %.2f\n' "$(ratio "$t" "$r")"
