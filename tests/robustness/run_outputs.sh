#!/usr/bin/env bash
# Output files as users meet them: paths that cannot be opened or written end
# the run with their message and status 1 and leave no file behind; a failed
# compilation of any kind leaves existing output and debug files exactly as
# they were; a successful one replaces both whole.
#
#   run_outputs.sh TAVOK
set -uo pipefail

tavok=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
    echo "FAIL $current: $*"
    failures=$((failures + 1))
}

# Runs the compiler; status, stdout and stderr are kept in $status, out, err.
compile() {
    "$tavok" "$@" >out 2>err
    status=$?
}

expectStatus() { [[ $status == "$1" ]] || fail "status $status, expected $1 ($(head -c 300 err))"; }
expectStderr() { [[ $(cat err) == "$1" ]] || fail "standard error: $(cat err); expected: $1"; }
expectStdout() { [[ $(cat out) == "$1" ]] || fail "standard output: $(cat out); expected: $1"; }
expectText() { [[ -f $1 && $(cat "$1") == "$2" ]] || fail "$1 is not \"$2\" any more"; }
expectAbsent() { [[ ! -e $1 && ! -L $1 ]] || fail "$1 exists"; }
# No staged file or anything else left in a directory besides the given names.
expectOnly() {
    local directory=$1
    shift
    local left
    left=$(cd "$directory" && ls -A | sort | tr '\n' ' ')
    local wanted=""
    [[ $# -eq 0 ]] || wanted=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [[ $left == "$wanted" ]] || fail "$directory holds: $left; expected: $wanted"
}

printf 'extern function f(a) {\n  var b = a + 1;\n  return b;\n}\n' >good.wmls

# ---------------------------------------------------------------- paths that cannot be opened

current="output path is a directory"
mkdir -p directory
compile good.wmls directory
expectStatus 1
expectStderr 'Could not open output file "directory" for writing'
[[ -d directory ]] || fail "the directory is gone"
expectOnly directory

current="output path in a missing directory"
compile good.wmls missing/out.wmlsc
expectStatus 1
expectStderr 'Could not open output file "missing/out.wmlsc" for writing'
expectAbsent missing

current="output path in a read-only directory"
mkdir -p readonly && chmod a-w readonly
if touch readonly/probe 2>/dev/null; then
    # Permissions do not stop root: a directory of /proc takes no new file.
    rm -f readonly/probe
    echo "note: running as root; /proc stands in for a read-only directory"
    compile good.wmls /proc/tavok-output.wmlsc
    expectStatus 1
    expectStderr 'Could not open output file "/proc/tavok-output.wmlsc" for writing'
    expectAbsent /proc/tavok-output.wmlsc
else
    compile good.wmls readonly/out.wmlsc
    expectStatus 1
    expectStderr 'Could not open output file "readonly/out.wmlsc" for writing'
    expectOnly readonly
fi
chmod u+w readonly

current="debug path is a directory"
mkdir -p debugdir/out.wmlsc.dbg
echo "old unit" >debugdir/out.wmlsc
compile -g good.wmls debugdir/out.wmlsc
expectStatus 1
expectStdout 'Could not open debug output file "debugdir/out.wmlsc.dbg" for writing'
expectStderr ''
# The unit is complete and in place before the debug file is begun.
[[ "$(cat debugdir/out.wmlsc)" != "old unit" ]] || fail "the unit was not written before the debug file"
expectOnly debugdir out.wmlsc out.wmlsc.dbg

# ---------------------------------------------------------------- full device

current="output to the full device"
compile good.wmls /dev/full
expectStatus 1
expectStderr 'Could not write output file "/dev/full"'
[[ -c /dev/full ]] || fail "/dev/full is no device any more"

current="debug file on the full device"
mkdir -p full && ln -s /dev/full full/out.wmlsc.dbg
echo "old unit" >full/out.wmlsc
compile -g good.wmls full/out.wmlsc
expectStatus 1
expectStderr 'Could not write debug output file "full/out.wmlsc.dbg"'
[[ "$(cat full/out.wmlsc)" != "old unit" ]] || fail "the unit was not written before the debug file"
[[ -L full/out.wmlsc.dbg ]] || fail "the link to the full device is gone"
expectOnly full out.wmlsc out.wmlsc.dbg

current="output to a device"
compile good.wmls /dev/null
expectStatus 0
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
    current="nothing lost: ${entry%%|*}"
    lastLine=${entry#*|}
    lastLine=${lastLine%%|*}
    source=${entry#*|*|}
    source=${source//LONG/$longSum}
    source=${source//ERRORS/$errors}
    source=${source//PARAMETERS/$parameters}
    rm -rf kept && mkdir kept
    printf "$source" >kept/in.wmls
    echo "old unit" >kept/out.wmlsc
    echo "old debug" >kept/out.wmlsc.dbg
    compile -g kept/in.wmls kept/out.wmlsc
    expectStatus 1
    [[ $(tail -n 1 err) == "$lastLine" ]] || fail "the messages end with $(tail -n 1 err)"
    expectText kept/out.wmlsc "old unit"
    expectText kept/out.wmlsc.dbg "old debug"
    expectOnly kept in.wmls out.wmlsc out.wmlsc.dbg
done

current="nothing lost: input file missing"
rm -rf kept && mkdir kept
echo "old unit" >kept/out.wmlsc
compile -g kept/missing.wmls kept/out.wmlsc
expectStatus 1
expectStderr 'Fatal Error Unable to open input file'
expectText kept/out.wmlsc "old unit"
expectOnly kept out.wmlsc

# ---------------------------------------------------------------- replaced whole

current="a successful compilation replaces both files"
compile -g good.wmls fresh.wmlsc
expectStatus 0
rm -rf kept && mkdir kept
head -c 100000 /dev/zero >kept/out.wmlsc   # longer than the new unit
echo "old debug" >kept/out.wmlsc.dbg
chmod 600 kept/out.wmlsc
compile -g good.wmls kept/out.wmlsc
expectStatus 0
cmp -s fresh.wmlsc kept/out.wmlsc || fail "the unit was not replaced whole"
cmp -s fresh.wmlsc.dbg kept/out.wmlsc.dbg || fail "the debug file was not replaced whole"
[[ $(stat -c %a kept/out.wmlsc) == 600 ]] || fail "the unit's permissions changed"
expectOnly kept out.wmlsc out.wmlsc.dbg

current="a successful compilation through a link replaces the linked file"
rm -rf kept && mkdir kept
echo "old unit" >kept/target
ln -s target kept/out.wmlsc
compile good.wmls kept/out.wmlsc
expectStatus 0
[[ -L kept/out.wmlsc ]] || fail "the link was replaced"
compile good.wmls plain.wmlsc
cmp -s plain.wmlsc kept/target || fail "the linked file was not replaced"
expectOnly kept out.wmlsc target

current="without -g an old debug file stays"
rm -rf kept && mkdir kept
echo "old debug" >kept/out.wmlsc.dbg
compile good.wmls kept/out.wmlsc
expectStatus 0
expectText kept/out.wmlsc.dbg "old debug"
expectOnly kept out.wmlsc out.wmlsc.dbg

if [[ $failures -ne 0 ]]; then
    echo "$failures failures"
    exit 1
fi
echo "all output file cases passed"
