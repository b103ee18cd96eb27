#!/usr/bin/env bash
# Checks the conventions a grep can see (scripts/check-conventions.sh),
# installs what is missing, then builds and runs every test twice (a normal
# build, which also compiles every header alone, and an AddressSanitizer +
# UndefinedBehaviorSanitizer build), then builds the libFuzzer targets with
# clang and gives each a short run from its seeds. Any failure fails the
# whole run: each step's verdict is its own exit status (the check's,
# ctest's, the fuzzer's), never a count read from its output.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

jobs=$(nproc)
failures=()

echo "=== conventions"
scripts/check-conventions.sh || failures+=("conventions")

scripts/setup-deps.sh

run_ctest() {
  local dir=$1
  if ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600; then
    echo "--- ctest in $dir: passed"
  else
    echo "--- ctest in $dir: FAILED"
    failures+=("tests in $dir")
  fi
}

echo "=== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
run_ctest build

echo "=== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUXEN_SANITIZE=ON -DRUXEN_BENCH=OFF >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

echo "=== fuzz targets (short runs)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUXEN_FUZZ=ON >/dev/null
ninja -C build-fuzz
runs=${RUXEN_FUZZ_RUNS:-20000}
seconds=${RUXEN_FUZZ_SECONDS:-30}
for f in build-fuzz/bin/*_fuzzer; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  work=$(mktemp -d)
  mkdir "$work/corpus" "$work/tmp"
  echo "--- $name (up to $runs runs or $seconds s)"
  # Each target sets its own -max_len; its scratch files go under $work/tmp.
  if TMPDIR="$work/tmp" "$f" -runs="$runs" -max_total_time="$seconds" -artifact_prefix="$work/" \
      "$work/corpus" "$top/fuzz/corpus/$name" >"$work/log" 2>&1; then
    tail -n 1 "$work/log"
  else
    cat "$work/log"
    failures+=("fuzzer $name")
  fi
  rm -rf "$work"
done

if [ ${#failures[@]} -eq 0 ]; then
  echo "all passed"
else
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
