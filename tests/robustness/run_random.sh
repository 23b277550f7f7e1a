#!/usr/bin/env bash
# Random units from randomwmls, seeds FIRST to LAST: every valid unit
# compiles, under each option in turn, into a unit (and debug file) that
# tavok-dis loads under the strict rules; every mutated unit ends with status
# 0 or 1, with nothing but well-formed diagnostics, and any unit it writes is
# loaded too.
#
#   run_random.sh TAVOK RANDOMWMLS TAVOK-DIS FIRST LAST
set -uo pipefail

tavok=$1
generator=$2
dis=$3
first=$4
last=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
    echo "FAIL seed $seed ($1): $2"
    echo "--- source"
    head -c 3000 in.wmls
    echo "--- standard error"
    head -c 2000 err
    failures=$((failures + 1))
    [[ $failures -lt 5 ]] || exit 1
}

# Every line of the standard error stream has one of the program's forms.
wellFormed() {
    ! grep -Ev '^in\.wmls \([1-9][0-9]*\) (Error|Warning): [A-Za-z ]+$|^Compilation (successful|failed)$|^Fatal Error Error limit exceeded$|^Error: function "[A-Za-z0-9_]+" not defined$|^in\.wmls, Error: Jump offset exceeds limit$' err
}

unitAccepted() {
    local checkOptions=()
    [[ $1 == -g && -e out.wmlsc.dbg ]] && checkOptions=(-g out.wmlsc.dbg)
    "$dis" --strict "${checkOptions[@]}" out.wmlsc 2>check >/dev/null
}

options=("" -g -d -w)
for ((seed = first; seed <= last; ++seed)); do
    option=${options[seed % 4]}

    "$generator" $seed >in.wmls
    rm -f out.wmlsc out.wmlsc.dbg
    "$tavok" $option in.wmls out.wmlsc >out 2>err
    status=$?
    if [[ $status != 0 || $(tail -n 1 err) != "Compilation successful" ]]; then
        fail "valid, option '$option'" "status $status"
    elif ! unitAccepted "$option"; then
        fail "valid, option '$option'" "$(cat check)"
    elif [[ $option == -d && ! -s out ]]; then
        fail "valid, option -d" "no dump"
    fi

    "$generator" $seed mutate >in.wmls
    rm -f out.wmlsc out.wmlsc.dbg
    "$tavok" $option in.wmls out.wmlsc >out 2>err
    status=$?
    if [[ $status != 0 && $status != 1 ]]; then
        fail "mutated, option '$option'" "status $status"
    elif ! wellFormed; then
        fail "mutated, option '$option'" "a malformed diagnostic"
    elif [[ $status == 0 ]] && ! unitAccepted "$option"; then
        fail "mutated, option '$option'" "$(cat check)"
    elif [[ $status == 1 && -e out.wmlsc ]]; then
        fail "mutated, option '$option'" "a failed compilation wrote a unit"
    fi
done

[[ $failures -eq 0 ]] || exit 1
echo "seeds $first to $last: valid and mutated units passed"
