#!/usr/bin/env bash
# Installs what is missing, builds the three tools, and runs the main job on
# a sample tree: a collect file backed up into an archive stream and checked
# against the files, then the job-directory road, where a hard-link group's
# data goes out once. Everything it makes stays in build/demo (made afresh
# each run), named at the end with the commands that list and verify it.
#
# RUXEN_BUILD_DIR names a build of your own, already configured: the
# packages and its configuration are left as they are and only the three
# tools are built in it. RUXEN_DEMO_DIR names a folder to keep the files in
# instead of <build>/demo; it must be empty or new.
set -euo pipefail
build=${RUXEN_BUILD_DIR:+$(cd "$RUXEN_BUILD_DIR" && pwd)}
out=${RUXEN_DEMO_DIR:-}
case $out in '' | /*) ;; *) out=$PWD/$out ;; esac
cd "$(dirname "$0")/.."
top=$(pwd)

if [ -z "$build" ]; then
  build=$top/build
  scripts/setup-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" ruxen-backup ruxen-collect ruxen-dump

bin=$build/bin
if [ -z "$out" ]; then
  out=$build/demo
  rm -rf "$out"
elif [ -n "$(ls -A "$out" 2>/dev/null)" ]; then
  echo "demo.sh: $out is not empty; the demo keeps its files in an empty or new folder" >&2
  exit 2
fi
mkdir -p "$out"
tree=$out/tree
mkdir -p "$tree/docs/deep/er"
printf 'hello, world\n' > "$tree/hello.txt"
: > "$tree/empty"
head -c 3000000 /dev/urandom > "$tree/docs/random.bin"
truncate -s 64M "$tree/sparse.img"
printf 'start' | dd of="$tree/sparse.img" conv=notrunc status=none
printf 'end' | dd of="$tree/sparse.img" bs=1 seek=$((64*1024*1024 - 3)) conv=notrunc status=none
seq 1 20000 > "$tree/docs/deep/er/numbers.txt"
ln -s hello.txt "$tree/link-to-hello"
printf 'odd name\n' > "$tree/name with %percent"
# A hard-link group: one file of 1 MB under three names.
head -c 1000000 /dev/urandom > "$tree/docs/report.bin"
ln "$tree/docs/report.bin" "$tree/report-link.bin"
ln "$tree/docs/report.bin" "$tree/docs/deep/report-copy.bin"

echo
echo "== The sample tree in a collect file, backed up as one stream (each name of"
echo "   its hard-link group carries the group's 1 MB)"
"$bin/ruxen-collect" "$tree" > "$out/collect.txt"
"$bin/ruxen-backup" --archive "$out/stream.rxpl" --failures "$out/failures.txt" "$out/collect.txt"
"$bin/ruxen-dump" "$out/stream.rxpl" > "$out/stream.txt"
echo "Its first records ($(wc -l < "$out/stream.txt") in all):"
head -n 12 "$out/stream.txt"
echo "Checked against the files:"
"$bin/ruxen-dump" --verify "$out/stream.rxpl"

echo
echo "== The job-directory road: the hard-link group's 1 MB goes out once"
mkdir "$out/job"
"$bin/ruxen-collect" --job-dir "$out/job" "$tree"
"$bin/ruxen-backup" --job-dir "$out/job" --archive "$out/job-stream.rxpl"
"$bin/ruxen-dump" "$out/job-stream.rxpl" > "$out/job-stream.txt"
echo "The group's data under its phony name, then each of its names, an item naming it:"
awk '
  / HEADER .*name="\/__KXHardLink/ { group = 1; print; next }
  group && / (OPT_HDR2|DATA) / { print; next }
  { group = 0 }
  / EOF .*text="\/__KXHardLink/ { print header; print }
  / HEADER / { header = $0 }
' "$out/job-stream.txt"
echo "Checked against the files:"
"$bin/ruxen-dump" --verify "$out/job-stream.rxpl"

cat <<EOF

The demo's files are in $out:
  tree/             the sample tree (docs/report.bin, report-link.bin and
                    docs/deep/report-copy.bin are one file)
  collect.txt       its collect file
  stream.rxpl       the archive stream of the collect file (stream.txt: its
                    records; failures.txt: its failed items, none)
  job/              the job directory ruxen-collect --job-dir wrote
  job-stream.rxpl   the archive stream of the job directory (job-stream.txt)
List and verify them with:
  $bin/ruxen-dump $out/stream.rxpl
  $bin/ruxen-dump --verify $out/stream.rxpl
  $bin/ruxen-dump --verify --list $out/job-stream.rxpl
EOF
