# Helpers shared by the timing scripts of bench/ (sourced, not run; they
# set top and bin first).

# Builds the programs timed when the build has none yet.
ensure_built() {
  if [ ! -x "$bin/ruxen-backup" ]; then
    cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C "$top/build" ruxen-backup ruxen-collect >/dev/null
  fi
}

drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# best_of [--cold] CMD...: the best wall time of RUNS runs, in seconds; with
# --cold the page cache is dropped before each run. A failing run stops the
# script.
best_of() {
  local cold=0 best="" t0 t1 t
  if [ "$1" = --cold ]; then cold=1; shift; fi
  for _ in $(seq 1 "$RUNS"); do
    if [ "$cold" = 1 ]; then drop_caches; fi
    t0=$(date +%s.%N)
    if ! "$@" >/dev/null 2>&1; then echo "failed: $*" >&2; exit 1; fi
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

# make_small_files DIR COUNT: COUNT files of 512 to 8191 bytes, 200 a directory.
make_small_files() {
  python3 - "$1" "$2" <<'PY'
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
}
