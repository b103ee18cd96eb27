#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on a sample tree.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build

bin=build/bin
if [ ! -x "$bin/ruxen-backup" ]; then
  "$bin/ruxen-dump" --help
  exit 0
fi

work=$(mktemp -d /tmp/ruxen-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
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

"$bin/ruxen-collect" "$tree" > "$work/collect.txt"
"$bin/ruxen-backup" --archive "$work/stream.rxpl" --failures "$work/failures.txt" "$work/collect.txt"
"$bin/ruxen-dump" "$work/stream.rxpl" > "$work/dump.txt"
echo "first records of the stream ($(wc -l < "$work/dump.txt") in all):"
head -n 12 "$work/dump.txt"
"$bin/ruxen-dump" --verify "$work/stream.rxpl"
