#!/usr/bin/env bash
# What libruxen.so exports is what other programs may call: each symbol, a
# line of LIST (demangled, std::string written short). A private helper of
# an exported class not marked RUXEN_HIDDEN, or an entry point nobody
# listed, fails. Without LIST it prints the library's list, to write LIST
# afresh after a deliberate change. The standard library's and Boost's
# template code and the sanitizer's symbols are left out; a vtable, type
# information or a constant listed may be missing (only some builds emit it).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 LIBRARY [LIST]" >&2
  exit 2
fi
library=$1

exported() {
  nm -D --defined-only "$library" | awk '{ print $NF }' |
    grep -Ev '^_Z(T[VIS])?Z?(N[KVR]*)?(St|Sa|Ss|9__gnu_cxx|5boost)|^__odr_asan' |
    c++filt |
    sed 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' |
    LC_ALL=C sort -u
}

now=$(exported)
if [ -z "$now" ]; then
  echo "$0: no symbols read from $library" >&2
  exit 2
fi
if [ $# -eq 1 ]; then
  printf '%s\n' "$now"
  exit 0
fi

listed=$(grep -v -e '^#' -e '^[[:space:]]*$' "$2" | LC_ALL=C sort -u)
extra=$(LC_ALL=C comm -23 <(printf '%s\n' "$now") <(printf '%s\n' "$listed"))
missing=$(LC_ALL=C comm -13 <(printf '%s\n' "$now") <(printf '%s\n' "$listed") |
  grep -Ev '^(vtable for |typeinfo for |typeinfo name for )|^[^(]*$' || true)
status=0
report() {  # report HEADING LINES: a difference, when there are lines
  [ -n "$2" ] || return 0
  printf '%s\n' "$1"
  sed 's/^/  /' <<<"$2"
  status=1
}
report "exported by $library but not listed in $2 (a helper: mark it RUXEN_HIDDEN; an entry point other programs
call: add its line and name it in docs/ARCHITECTURE.md):" "$extra"
report "listed in $2 but not exported by $library (left hidden, renamed or gone):" "$missing"
exit $status
