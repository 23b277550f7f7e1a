#!/usr/bin/env bash
# Compiler and machine together: every golden source that compiles is run,
# each of its extern functions once (a parameter gets the integer 1), with
# small budgets. A run must end with status 0 (a return or Lang.exit) or 2 (a
# fatal error, with its message); a crash, a sanitizer report, a hang or
# any other status fails.
#
#   run_golden_units.sh TAVOK TAVOK_RUN GOLDEN_DIR
set -uo pipefail

tavok=$1
tavokRun=$2
golden=$3
dir=$(mktemp -d "${TMPDIR:-/tmp}/tavok-golden-units.XXXXXX")
trap 'rm -rf "$dir"' EXIT

units=0 runs=0 returned=0 fatal=0 failures=0
while IFS= read -r -d '' source; do
    unit=$dir/unit.wmlsc
    rm -f "$unit" "$unit.dbg"
    "$tavok" -g "$source" "$unit" >/dev/null 2>&1 || continue
    units=$((units + 1))
    # Each extern function with its parameter count, from the source.
    signatures=$(tr '\n' ' ' <"$source" |
        grep -aoE 'extern[[:space:]]+function[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\([A-Za-z0-9_,[:space:]]*\)' |
        sed -E 's/.*function[[:space:]]+([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\((.*)\)/\1 \2/' | sort -u)
    while read -r function parameters; do
        [[ -n $function ]] || continue
        # Parameters get the integer 1 each: the no-input functions are the
        # ones this test is about, the others come along for the ride.
        arguments=()
        if [[ -n ${parameters// /} ]]; then
            IFS=, read -ra names <<<"$parameters"
            for _ in "${names[@]}"; do arguments+=(1); done
        fi
        runs=$((runs + 1))
        timeout 20 "$tavokRun" --seed 1 --max-steps 2000000 --max-memory 4000000 \
            "$unit" "$function" "${arguments[@]}" >"$dir/out" 2>"$dir/err" </dev/null
        status=$?
        if grep -q "Sanitizer\|runtime error" "$dir/err"; then status=99; fi
        case $status in
            0) returned=$((returned + 1)) ;;
            2)
                fatal=$((fatal + 1))
                echo "${source#$golden/} $function: $(head -1 "$dir/err")"
                if ! grep -q "^tavok-run: .*: fatal: " "$dir/err"; then
                    echo "FAIL: ${source#$golden/} $function: status 2 without a fatal message"
                    failures=$((failures + 1))
                fi ;;
            *)
                echo "FAIL: ${source#$golden/} $function: status $status"
                cat "$dir/err"
                failures=$((failures + 1)) ;;
        esac
    done <<<"$signatures"
done < <(find "$golden" -name '*.wmls' -print0 | sort -z)

echo "$units units compiled, $runs functions run: $returned returned or exited, $fatal fatal, $failures failures"
[[ $failures -eq 0 && $runs -gt 0 ]]
