#!/usr/bin/env bash
# Times ruxen-backup against tar on small files whose ACLs and extended
# attributes are backed up: both archive streams go through a pipe into
# `cat > /dev/null`, so that a ratio compares engines, not sinks. tar is
# timed walking the tree and given the list the engine reads.
#
#   ruxen-backup --archive - | cat   vs   tar --acls --xattrs -cf - | cat   (items/s)
#
#   bench/acl_vs_tar.sh [WORKDIR]
#
# WORKDIR (default /tmp/ruxen-acl-bench) gets COUNT small files in
# directories of 200; every RICH_EVERY-th file carries an ACL_USER entry and
# a user attribute (setfacl and setfattr, Debian's acl and attr). The
# commands run in ROUNDS interleaved rounds (default 5); best and median are
# printed, and a RATIO line on the best times (above 1: ruxen-backup is
# faster). RUXEN_BIN names another build's bin directory to time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/ruxen-acl-bench}
COUNT=${COUNT:-20000}
RICH_EVERY=${RICH_EVERY:-10}
bin=${RUXEN_BIN:-$top/build/bin}

. "$top/bench/bench_lib.sh"
ensure_built

tree="$work/tree"
stamp="$work/.generated-$COUNT-$RICH_EVERY"
if [ ! -f "$stamp" ]; then
  echo "generating $COUNT files in $tree ..."
  rm -rf "$tree" "$work"/.generated-*
  mkdir -p "$tree"
  make_small_files "$tree" "$COUNT"
  find "$tree" -type f -name 'f*' | awk -v n="$RICH_EVERY" 'NR % n == 0' > "$work/rich.list"
  xargs -a "$work/rich.list" -d '\n' setfacl -m u:1234:r--
  xargs -a "$work/rich.list" -d '\n' setfattr -n user.comment -v backed-up-with-its-file
  touch "$stamp"
fi

"$bin/ruxen-collect" "$tree" > "$work/tree.collect"
tar_list "$work/tree.collect" "$work/tree.list"
items=$(wc -l < "$work/tree.collect")
rich=$(wc -l < "$work/rich.list")

ruxen_pipe() { "$bin/ruxen-backup" --archive - "$work/tree.collect" 2>/dev/null | cat >/dev/null; }
tar_walk() { tar --acls --xattrs -cf - -C "$work" tree 2>/dev/null | cat >/dev/null; }
tar_given() { tar --acls --xattrs -cf - --no-recursion -P -T "$work/tree.list" 2>/dev/null | cat >/dev/null; }

show_load start
# Both streams must carry the ACLs and attributes: count them once.
"$bin/ruxen-backup" --archive "$work/check.rxpl" "$work/tree.collect" >/dev/null 2>&1
opt=$("$bin/ruxen-dump" "$work/check.rxpl" | grep -c ' OPT_HDR ' || true)
rm -f "$work/check.rxpl"
echo "== $items items, $rich with an ACL_USER entry and an attribute; ruxen optional headers: $opt"

find "$tree" -type f -print0 | xargs -0 cat >/dev/null
AMOUNT=$items UNIT=items compare ruxen ruxen_pipe tar-walk tar_walk tar-list tar_given
ratio acl-pipe ruxen tar-walk
ratio acl-pipe-list ruxen tar-list
show_load end
