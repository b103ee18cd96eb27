#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice (a normal
# build and an AddressSanitizer + UndefinedBehaviorSanitizer build), then
# builds the libFuzzer targets with clang and gives each a short run from its
# seeds. Any failure fails the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup-deps.sh

jobs=$(nproc)
passed=0
failed=0

run_ctest() {
  local dir=$1 log
  log=$(mktemp)
  set +e
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  rm -f "$log"
  if [ -n "$line" ]; then
    local total bad
    bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* tests failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  return "$rc"
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
  echo "--- $name (up to $runs runs or $seconds s)"
  if "$f" -runs="$runs" -max_total_time="$seconds" -artifact_prefix="$work/" "$work" "$top/fuzz/corpus/$name" >"$work/log" 2>&1; then
    tail -n 1 "$work/log"
    passed=$((passed + 1))
  else
    cat "$work/log"
    echo "FUZZ FAILURE: $name"
    failed=$((failed + 1))
  fi
  rm -rf "$work"
done

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
