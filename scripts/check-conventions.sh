#!/usr/bin/env bash
# Keeps the conventions of docs/ARCHITECTURE.md ("Conventions") that a grep
# can see true. Prints each breach as "file:line: text" under the rule it
# breaks, and exits 1 when there is any. Run from anywhere; takes a second.
set -uo pipefail
shopt -s lastpipe  # a breach found at the end of a pipeline is counted here
cd "$(dirname "$0")/.."

# The code: every source folder, the tools, benchmarks and fuzz targets.
# Tests may use the system's byte-order calls as an independent reading of
# the bytes, and are checked only where a rule says so.
code=(platform ruxen reader mapping norfa zxhsm hardlinks errorpolicy tools bench fuzz)
[ -d indexing ] && code+=(indexing)
failed=0

# breach RULE: reads "file:line:text" lines on stdin; reports them under RULE.
breach() {
  local found
  found=$(cat)
  if [ -n "$found" ]; then
    printf '%s:\n%s\n' "$1" "$(sed 's/^/  /' <<<"$found")"
    failed=1
  fi
}

src() { grep -rn --include='*.h' --include='*.cpp' "$@"; }

src -E '\b(hton[ls]|ntoh[ls]|htobe[0-9]+|htole[0-9]+|be[0-9]+toh|le[0-9]+toh|bswap_[0-9]+|__builtin_bswap[0-9]*|byteswap)\b' \
    "${code[@]}" | grep -v '^platform/base/Coding\.h:' |
  breach "numbers in network order go through platform/base/Coding.h only"

src -E '\bstatic\b[^;(]*=[[:space:]]*new\b' "${code[@]}" |
  breach "a process-wide object is a function-local static ruxen::NoDestructor<T>, never a leaked new"

src -w CloseKeepErrno . --exclude-dir='build*' |
  breach "descriptors are held by ScopedFd (its implicit closes keep errno), not closed by CloseKeepErrno"

src -E '(^|[^:[:alnum:]_])ULL[[:space:]]*\([^)]*\)[[:space:]]*(\{|$)|define[[:space:]]+ULL\b' . --exclude-dir='build*' |
  grep -v '^\./platform/base/KxTypes\.h:' |
  breach "ruxen::ULL is defined once, in platform/base/KxTypes.h"

src -E '\bconstexpr[^=;]*\bk[[:alnum:]]*Section\b[[:space:]]*(\[\])?[[:space:]]*=' "${code[@]}" |
  sed -E 's/^([^:]*:[0-9]+:)[^=]*\b(k[[:alnum:]]*Section)[[:space:]]*(\[\])?[[:space:]]*=.*/\2 \1/' | sort | awk '
    { n[$1]++; at[$1] = at[$1] " " $2 }
    END { for (k in n) if (n[k] > 1) printf "%s defined %d times:%s\n", k, n[k], at[k] }' |
  breach "each registry section name is defined once"

src -e 'ForTest' "${code[@]}" |
  breach "test hooks are declared in platform/base/TestControl.h only (ruxen::testcontrol), not named ...ForTest"

src -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"(ruxen|reader|mapping|norfa|zxhsm|hardlinks|errorpolicy|indexing|tools|tests)/' platform |
  breach "platform/ includes no header of another folder"

# Within platform/: which concern folders each may include (the folder table
# of docs/ARCHITECTURE.md); platform/base/ is below every folder but the XML
# library's.
declare -A may=(
  [base]="base"
  [text]="base text"
  [agent]="base text agent xml"
  [archive]="base agent archive"
  [index]="base text agent archive index"
  [snapshot]="base text agent snapshot"
  [os]="base text agent os"
  [hsm]="base text hsm"
  [content]="base content"
  [hardlinks]="base agent hardlinks"
  [xml]="base text xml"
  [xml/xerces]="xml/xerces"
)
for dir in "${!may[@]}"; do
  allowed=${may[$dir]}
  for f in platform/"$dir"/*.h platform/"$dir"/*.cpp; do
    [ -e "$f" ] || continue
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"platform/' "$f" |
      while IFS= read -r line; do
        inc=$(sed -E 's/.*"platform\/([^"]*)".*/\1/' <<<"$line")
        target=${inc%/*}
        ok=0
        for a in $allowed; do [ "$target" = "$a" ] && ok=1; done
        # The XML front reaches the XML library through its C entry alone.
        [ "$dir" = xml ] && [ "$inc" = xml/xerces/RuxenXmlApi.h ] && ok=1
        [ $ok = 1 ] || echo "$f:$line"
      done
  done
done | sort | breach "platform/'s concern folders include only what the folder table lets them"

{
  grep -rnIiE '\bspecifications?\b|\bthe spec\b|\bPart [0-9]+\.[0-9]+' "${code[@]}" tests docs scripts README.md \
      --exclude=check-conventions.sh
  grep -rnIE "\b[Tt]he Parts?\b|\bParts?'s?\b" "${code[@]}" tests docs scripts README.md --exclude=check-conventions.sh
} | breach "code, tests and docs speak as the system's own, naming no outside document"

if [ $failed = 0 ]; then
  echo "conventions: kept"
else
  echo "conventions: broken (see above; docs/ARCHITECTURE.md, \"Conventions\")"
fi
exit $failed
