#!/usr/bin/env bash
# Output files as users meet them: paths that cannot be opened or written end
# the run with their message and status 1 and leave no file behind; a failed
# compilation of any kind leaves existing output and debug files exactly as
# they were; a successful one replaces both whole.
#
# The units written, and the debug file written with one, must load in
# TAVOK-DIS (the disassembler's path) under the strict rules.
#
#   run_outputs.sh TAVOK TAVOK-DIS
set -uo pipefail

tavok=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dis=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
    echo "FAIL $current: $*"
    failures=$((failures + 1))
}

# Runs the case named NAME: the compiler with the remaining arguments, its
# standard output and error kept in out and err.
run() {
    current=$1
    shift
    "$tavok" "$@" >out 2>err
    status=$?
}
# expect STATUS [STDERR [STDOUT]]
expect() {
    [[ $status == "$1" ]] || fail "status $status, expected $1 ($(head -c 300 err))"
    [[ $# -lt 2 || $(cat err) == "$2" ]] || fail "standard error: $(cat err); expected: $2"
    [[ $# -lt 3 || $(cat out) == "$3" ]] || fail "standard output: $(cat out); expected: $3"
}
cannotOpen() { expect 1 "Could not open output file \"$1\" for writing"; }
expectText() { [[ -f $1 && $(cat "$1") == "$2" ]] || fail "$1 is not \"$2\" any more"; }
expectAbsent() { [[ ! -e $1 && ! -L $1 ]] || fail "$1 exists"; }
# UNIT loads under the strict rules, with the debug file DEBUG if given.
unitSound() {
    local debug=()
    [[ $# -lt 2 ]] || debug=(-g "$2")
    "$dis" --strict "${debug[@]}" "$1" 2>dis.err >/dev/null || fail "$1 does not load: $(head -c 300 dis.err)"
}
unitWritten() {
    ! cmp -s "$1" <(echo "old unit") || fail "the unit was not written before the debug file"
    unitSound "$1"
}
# Nothing left in a directory, no staged file either, besides the given names.
expectOnly() {
    local left wanted
    left=$(cd "$1" && ls -A | sort | tr '\n' ' ')
    wanted=$(shift; [[ $# -eq 0 ]] || printf '%s\n' "$@" | sort | tr '\n' ' ')
    [[ $left == "$wanted" ]] || fail "$1 holds: $left; expected: $wanted"
}
# A fresh directory kept/ holding the given FILE TEXT pairs.
kept() {
    rm -rf kept && mkdir kept
    while [[ $# -ge 2 ]]; do echo "$2" >"kept/$1"; shift 2; done
}

printf 'extern function f(a) {\n  var b = a + 1;\n  return b;\n}\n' >good.wmls

# ---------------------------------------------------------------- paths that cannot be opened or written

mkdir -p directory
run "output path is a directory" good.wmls directory
cannotOpen directory
[[ -d directory ]] || fail "the directory is gone"
expectOnly directory

run "output path in a missing directory" good.wmls missing/out.wmlsc
cannotOpen missing/out.wmlsc
expectAbsent missing

mkdir -p readonly && chmod a-w readonly
if touch readonly/probe 2>/dev/null; then
    # Permissions do not stop root: a directory of /proc takes no new file.
    rm -f readonly/probe
    echo "note: running as root; /proc stands in for a read-only directory"
    run "output path in a read-only directory" good.wmls /proc/tavok-output.wmlsc
    cannotOpen /proc/tavok-output.wmlsc
    expectAbsent /proc/tavok-output.wmlsc
else
    run "output path in a read-only directory" good.wmls readonly/out.wmlsc
    cannotOpen readonly/out.wmlsc
    expectOnly readonly
fi
chmod u+w readonly

mkdir -p debugdir/out.wmlsc.dbg
echo "old unit" >debugdir/out.wmlsc
run "debug path is a directory" -g good.wmls debugdir/out.wmlsc
expect 1 '' 'Could not open debug output file "debugdir/out.wmlsc.dbg" for writing'
# The unit is complete and in place before the debug file is begun.
unitWritten debugdir/out.wmlsc
expectOnly debugdir out.wmlsc out.wmlsc.dbg

run "output to the full device" good.wmls /dev/full
expect 1 'Could not write output file "/dev/full"'
[[ -c /dev/full ]] || fail "/dev/full is no device any more"

mkdir -p full && ln -s /dev/full full/out.wmlsc.dbg
echo "old unit" >full/out.wmlsc
run "debug file on the full device" -g good.wmls full/out.wmlsc
expect 1 'Could not write debug output file "full/out.wmlsc.dbg"'
unitWritten full/out.wmlsc
[[ -L full/out.wmlsc.dbg ]] || fail "the link to the full device is gone"
expectOnly full out.wmlsc out.wmlsc.dbg

run "output to a device" good.wmls /dev/null
expect 0
[[ -c /dev/null ]] || fail "/dev/null is no device any more"

# ---------------------------------------------------------------- nothing lost

# Every failed compilation, each with an existing unit and debug file:
# name | the last line of its messages | source.
failedCases=(
    "syntax error|Compilation failed|function f() {\n  var ;\n}\n"
    "undeclared identifier|Compilation failed|function f() {\n  return x;\n}\n"
    "unterminated string|Compilation failed|function f() {\n  return \"abc;\n}\n"
    "undefined function|Error: function \"g\" not defined|extern function f() {\n  g();\n}\n"
    "jump offset beyond the limit|kept/in.wmls, Error: Jump offset exceeds limit|function f(a) {\n  while (a) { a = LONG; }\n}\n"
    "error limit|Fatal Error Error limit exceeded|ERRORS"
    "too many parameters|Compilation failed|function f(PARAMETERS) {\n}\n"
)
longSum=$(printf 'a'; for ((i = 0; i < 40000; ++i)); do printf ' + a'; done)
errors=$(for ((i = 0; i < 25; ++i)); do printf 'function f%d() { return x; }\n' $i; done)
parameters=$(printf 'p0'; for ((i = 1; i < 256; ++i)); do printf ', p%d' $i; done)

for entry in "${failedCases[@]}"; do
    IFS='|' read -r name lastLine source <<<"$entry"
    source=${source//LONG/$longSum}
    source=${source//ERRORS/$errors}
    source=${source//PARAMETERS/$parameters}
    kept out.wmlsc "old unit" out.wmlsc.dbg "old debug"
    printf "$source" >kept/in.wmls
    run "nothing lost: $name" -g kept/in.wmls kept/out.wmlsc
    expect 1
    [[ $(tail -n 1 err) == "$lastLine" ]] || fail "the messages end with $(tail -n 1 err)"
    expectText kept/out.wmlsc "old unit"
    expectText kept/out.wmlsc.dbg "old debug"
    expectOnly kept in.wmls out.wmlsc out.wmlsc.dbg
done

kept out.wmlsc "old unit"
run "nothing lost: input file missing" -g kept/missing.wmls kept/out.wmlsc
expect 1 'Fatal Error Unable to open input file'
expectText kept/out.wmlsc "old unit"
expectOnly kept out.wmlsc

# ---------------------------------------------------------------- replaced whole

run "a successful compilation replaces both files" -g good.wmls fresh.wmlsc
expect 0
unitSound fresh.wmlsc fresh.wmlsc.dbg
kept out.wmlsc.dbg "old debug"
head -c 100000 /dev/zero >kept/out.wmlsc   # longer than the new unit
chmod 600 kept/out.wmlsc
run "a successful compilation replaces both files" -g good.wmls kept/out.wmlsc
expect 0
cmp -s fresh.wmlsc kept/out.wmlsc || fail "the unit was not replaced whole"
cmp -s fresh.wmlsc.dbg kept/out.wmlsc.dbg || fail "the debug file was not replaced whole"
[[ $(stat -c %a kept/out.wmlsc) == 600 ]] || fail "the unit's permissions changed"
expectOnly kept out.wmlsc out.wmlsc.dbg

kept target "old unit"
ln -s target kept/out.wmlsc
run "a successful compilation through a link replaces the linked file" good.wmls kept/out.wmlsc
expect 0
[[ -L kept/out.wmlsc ]] || fail "the link was replaced"
"$tavok" good.wmls plain.wmlsc 2>/dev/null
cmp -s plain.wmlsc kept/target || fail "the linked file was not replaced"
expectOnly kept out.wmlsc target

kept out.wmlsc.dbg "old debug"
run "without -g an old debug file stays" good.wmls kept/out.wmlsc
expect 0
expectText kept/out.wmlsc.dbg "old debug"
expectOnly kept out.wmlsc out.wmlsc.dbg

[[ $failures -eq 0 ]] || { echo "$failures failures"; exit 1; }
echo "all output file cases passed"
