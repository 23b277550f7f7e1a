#!/usr/bin/env bash
# Evaluated random programs, seeds FIRST to LAST: randomwmls --evaluated
# writes a terminating program and, on its last line, the value that its own
# evaluator of the program's tree gives ("// expect: LITERAL"). Each program
# is compiled under no option and under -g (which keeps unreachable code and
# constant tests) and run from main; tavok-run must end with status 0 and
# print exactly that literal.
#
#   run_evaluated.sh TAVOK TAVOK_RUN RANDOMWMLS FIRST LAST
set -uo pipefail

# The programs may be given by a path relative to where the script starts.
absolute() { case "$1" in /*) echo "$1" ;; */*) echo "$PWD/$1" ;; *) echo "$1" ;; esac; }
tavok=$(absolute "$1")
run=$(absolute "$2")
generator=$(absolute "$3")
first=$4
last=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
runs=0
fail() {
    echo "FAIL seed $seed (option '$option'): $1"
    echo "--- source"
    cat in.wmls
    echo "--- standard error"
    head -c 2000 err
    failures=$((failures + 1))
    [[ $failures -lt 5 ]] || exit 1
}

for ((seed = first; seed <= last; ++seed)); do
    if ! "$generator" --evaluated $seed >in.wmls; then
        option=none
        fail "the generator failed"
        continue
    fi
    expected=$(sed -n 's|^// expect: ||p' in.wmls)
    for option in "" -g; do
        rm -f out.wmlsc out.wmlsc.dbg
        "$tavok" $option in.wmls out.wmlsc >out 2>err
        status=$?
        if [[ $status != 0 ]]; then
            fail "compilation ended with status $status"
            continue
        fi
        "$run" out.wmlsc main >out 2>err
        status=$?
        runs=$((runs + 1))
        if [[ $status != 0 ]]; then
            fail "tavok-run ended with status $status, expected $expected"
        elif [[ $(cat out) != "$expected" ]]; then
            fail "tavok-run printed $(head -c 1000 out), expected $expected"
        fi
    done
done

echo "seeds $first to $last: $((runs - failures)) of $runs runs gave the evaluator's value"
[[ $failures -eq 0 ]]
