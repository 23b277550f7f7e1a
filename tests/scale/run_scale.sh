#!/usr/bin/env bash
# A function of a million simple statements and a sum of a million terms:
# each compiles, and its unit holds the code of every statement or term. The
# time and the peak memory are printed; the test's timeout is what catches a
# step that is no longer linear in the size of the source.
#
# The unit must load in TAVOK-DIS (the disassembler's path) under the strict
# rules.
#
#   run_scale.sh TAVOK TAVOK-DIS CASE        CASE: statements | additions
set -euo pipefail

readonly count=1000000

[[ $# -eq 3 ]] || { echo "usage: run_scale.sh TAVOK TAVOK-DIS statements|additions" >&2; exit 2; }
tavok=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dis=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
case=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# LINE repeated COUNT times, one per line.
lines() { { yes -- "$1" || true; } | head -n "$2"; }

case $case in
statements)
    { printf 'extern function main(a) {\n'; lines '  a = a + 1;' $count; printf '  return a;\n}\n'; } >in.wmls
    # a = a + 1 is an increment of a local: at least a load, an add and a store.
    minimumCodeBytes=$((3 * count))
    ;;
additions)
    { printf 'extern function main(a) {\n  return a'; lines ' + a' $((count - 1)) | tr -d '\n'
      printf ';\n}\n'; } >in.wmls
    # A load and an add for every term after the first.
    minimumCodeBytes=$((2 * (count - 1)))
    ;;
*) echo "unknown case $case" >&2; exit 2 ;;
esac

measure=()
if /usr/bin/time -f %M true >/dev/null 2>&1; then
    measure=(/usr/bin/time -f 'peak resident size %M kB' -o peak)
fi
start=$(date +%s%N)
status=0
"${measure[@]}" "$tavok" in.wmls out.wmlsc >stdout 2>stderr || status=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
echo "$case: $(wc -c <in.wmls) bytes of source compiled in $elapsed ms"
[[ -f peak ]] && cat peak

failed=0
if [[ $status -ne 0 || "$(cat stderr)" != "Compilation successful" || -s stdout ]]; then
    echo "expected status 0 and only the verdict, got status $status:"
    head -c 2000 stderr
    failed=1
elif [[ $(wc -c <out.wmlsc) -lt $minimumCodeBytes ]]; then
    echo "the unit has $(wc -c <out.wmlsc) bytes, fewer than the $minimumCodeBytes its code needs"
    failed=1
elif ! "$dis" --strict out.wmlsc 2>dis.err >/dev/null; then
    echo "the unit does not load: $(head -c 500 dis.err)"
    failed=1
fi
exit $failed
