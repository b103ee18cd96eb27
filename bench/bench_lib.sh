# Helpers shared by the timing scripts of bench/ (sourced, not run; they
# set top and bin first: bin holds the engine's programs, RUXEN_BIN or the
# build of this tree).
#
# A comparison runs its commands in interleaved rounds (A B C, A B C, ...),
# ROUNDS of them (5 unless set), so that a change of the machine's load
# touches each command alike, and reports the best and the median wall time
# of each. Every command writes its archive into the same kind of sink as
# the one it is compared with. A RATIO line divides the peer's best time by
# the engine's: above 1, the engine is faster.

export LC_ALL=C  # decimal points in $EPOCHREALTIME, printf and bc
ROUNDS=${ROUNDS:-${RUNS:-5}}

# Builds the programs timed when the build has none yet.
ensure_built() {
  if [ ! -x "$bin/ruxen-backup" ] || [ ! -x "$top/build/bin/read_loop" ]; then
    cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C "$top/build" ruxen-backup ruxen-collect ruxen-dump read_loop >/dev/null
  fi
}

drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# The machine's load (/proc/loadavg), at the start and end of a script.
show_load() { echo "LOAD $1: $(cat /proc/loadavg); $(nproc) cores"; }

# time_once [--cold] CMD: the wall time of one run of the shell command CMD
# in seconds; with --cold the page cache is dropped first. A failing run
# stops the script.
time_once() {
  local t0 t1
  if [ "$1" = --cold ]; then drop_caches; shift; fi
  t0=$EPOCHREALTIME
  if ! eval "$1" >/dev/null 2>&1; then echo "failed: $1" >&2; exit 1; fi
  t1=$EPOCHREALTIME
  echo "$t1 - $t0" | bc -l
}

declare -A BEST MEDIAN

# compare [--cold] LABEL CMD [LABEL CMD]...: ROUNDS interleaved rounds of
# the shell commands; BEST[LABEL] and MEDIAN[LABEL] get their times, and a
# line per command shows them, with AMOUNT/time in UNIT/s when AMOUNT and
# UNIT are set. When BEFORE_EACH is set, the shell command "$BEFORE_EACH
# LABEL" runs, untimed, before each timed one.
compare() {
  local cold="" i r label
  if [ "$1" = --cold ]; then cold=--cold; shift; fi
  local -a labels=() cmds=() times=()
  while [ $# -gt 0 ]; do labels+=("$1"); cmds+=("$2"); shift 2; done
  for ((r = 0; r < ROUNDS; r++)); do
    for i in "${!cmds[@]}"; do
      if [ -n "${BEFORE_EACH:-}" ]; then eval "$BEFORE_EACH ${labels[i]}"; fi
      times[i]+="$(time_once $cold "${cmds[i]}") "
    done
  done
  for i in "${!labels[@]}"; do
    label=${labels[i]}
    read -r BEST[$label] MEDIAN[$label] < <(tr ' ' '\n' <<<"${times[i]}" | grep . | sort -g |
      awk '{t[NR] = $1} END {m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; print t[1], m}')
    if [ -n "${AMOUNT:-}" ]; then
      printf '  %-26s best %8.3f s  median %8.3f s  %10.1f %s/s (best)\n' "$label" "${BEST[$label]}" \
        "${MEDIAN[$label]}" "$(echo "$AMOUNT / ${BEST[$label]}" | bc -l)" "$UNIT"
    else
      printf '  %-26s best %8.3f s  median %8.3f s\n' "$label" "${BEST[$label]}" "${MEDIAN[$label]}"
    fi
  done
}

# ratio NAME ENGINE PEER [GOAL]: the RATIO line of a case, peer time over
# engine time on the best runs (the medians' ratio beside it), and the goal
# it is held to when one is given.
ratio() {
  local best median goal=""
  best=$(echo "${BEST[$3]} / ${BEST[$2]}" | bc -l)
  median=$(echo "${MEDIAN[$3]} / ${MEDIAN[$2]}" | bc -l)
  if [ -n "${4:-}" ]; then
    if [ "$(echo "$best >= $4" | bc -l)" = 1 ]; then goal=" goal >= $4 met"; else goal=" goal >= $4 MISSED"; fi
  fi
  printf 'RATIO %s %s/%s %.3g (medians %.3g)%s\n' "$1" "$2" "$3" "$best" "$median" "$goal"
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

# tar_list COLLECT LIST: the collect file's paths as a list for tar -T (the
# trees generated here have no name that a collect file escapes).
tar_list() {
  if grep -q '%' "$1"; then echo "$1: escaped names; not a tar list" >&2; exit 1; fi
  cp "$1" "$2"
}
