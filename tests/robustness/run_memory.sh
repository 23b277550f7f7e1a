#!/usr/bin/env bash
# Exhausted memory: every input is compiled under a series of address-space
# limits (ulimit -v, in a subshell), from the least the program needs to
# start up to more than it needs to finish. Each run either succeeds with the
# same unit and debug file as an unlimited run, or ends with status 1 and
# one of the out-of-memory messages, leaving the existing output and debug
# files untouched. A crash, a sanitizer-free abort or any other message fails.
#
# The unlimited run's unit and debug file must load in TAVOK-DIS (the
# disassembler's path) under the strict rules.
#
#   run_memory.sh TAVOK TAVOK-DIS      (TAVOK a build without sanitizers)
set -uo pipefail

tavok=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dis=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

repeat() { { yes -- "$1" || true; } | head -n "$2" | tr -d '\n'; }
lines() { awk "BEGIN { for (i = 0; i < $1; ++i) printf $2 }"; }

# The inputs, each reaching a different allocation first.
{ printf 'function f() {\n  return "'; repeat s 2000000; printf '";\n}\n'; } >long_string.wmls
{ printf 'function f() {\n  var '; repeat x 1000000; printf ' = 1;\n}\n'; } >long_identifier.wmls
{ printf 'function f() {\n  var a;\n'; lines 20000 '"  a = \"s%d\" + %d;\n", i, i + 1000'; printf '}\n'; } >many_constants.wmls
{ printf 'function f(a) {\n  return a'; repeat ' + a' 100000; printf ';\n}\n'; } >long_expression.wmls
{ printf 'function f(a) {\n  return '; repeat '(' 200000; printf a; repeat ')' 200000; printf ';\n}\n'; } >deep_parentheses.wmls
{ printf 'function f(a) {\n  '; repeat 'if (a) { a = a + 1; ' 3000; repeat '} ' 3000; printf '\n}\n'; } >nested_ifs.wmls
lines 255 '"extern function f%d(p, q) { var a = p; var b = q; while (a < b) { a++; if (a == 7) break; } return f%d(a, b); }\n", i, (i + 1) % 255' >many_functions.wmls

# The least address space in which the program starts and compiles a trivial unit.
printf 'function f() {\n}\n' >trivial.wmls
floor=1024
until ( ulimit -v $floor; exec "$tavok" trivial.wmls trivial.wmlsc ) >/dev/null 2>&1; do
    floor=$((floor + 256))
    [[ $floor -lt 262144 ]] || { echo "the program does not start even in 256 MB"; exit 1; }
done
echo "the program starts in $floor KB of address space"

# The last message of a run that ran out of memory; the parser's stacks
# running out is a syntax error of the program.
outOfMemory='^(Fatal Error No (memory space|Memory Space)|Out of memory|[A-Za-z_]+\.[a-z]+,[0-9]+: could not allocated [0-9]+ bytes)$'
parserStacks='^in.wmls ([0-9]*) Error: Syntax error in program$'

failures=0
for name in long_string long_identifier many_constants long_expression deep_parentheses nested_ifs many_functions; do
    cp $name.wmls in.wmls
    rm -f reference.wmlsc reference.wmlsc.dbg
    "$tavok" -g in.wmls reference.wmlsc >/dev/null 2>reference.err
    referenceStatus=$?
    if [[ $referenceStatus == 0 ]] &&
       ! "$dis" --strict -g reference.wmlsc.dbg reference.wmlsc 2>dis.err >/dev/null; then
        echo "FAIL $name: the unit does not load: $(head -c 500 dis.err)"
        failures=$((failures + 1))
    fi
    outcomes=""
    # Above the floor, in KB.
    for step in 0 64 128 256 512 768 1024 1536 2048 3072 4096 6144 8192 12288 16384 24576 32768 \
                49152 65536 98304 131072 196608 262144; do
        limit=$((floor + step))
        echo "old unit" >out.wmlsc
        echo "old debug" >out.wmlsc.dbg
        ( ulimit -v $limit; exec "$tavok" -g in.wmls out.wmlsc ) >out 2>err
        status=$?
        last=$(tail -n 1 err)
        problem=""
        if [[ $status == 0 ]]; then
            [[ $referenceStatus == 0 ]] || problem="succeeded where the unlimited run did not"
            cmp -s out.wmlsc reference.wmlsc || problem="a different unit"
            cmp -s out.wmlsc.dbg reference.wmlsc.dbg || problem="a different debug file"
            outcomes+=" ok"
        elif [[ $status == 1 ]] && { [[ $last =~ $outOfMemory ]] ||
                 { [[ $last == "Compilation failed" ]] && grep -q "$parserStacks" err; }; }; then
            [[ $(cat out.wmlsc) == "old unit" && $(cat out.wmlsc.dbg) == "old debug" ]] ||
                problem="the old files were touched"
            outcomes+=" oom"
        elif [[ $status == 1 ]] && cmp -s err reference.err; then
            outcomes+=" same"   # the unlimited run's own failure
        else
            problem="status $status: $(head -c 300 err)"
        fi
        ls -A | grep -q partial && { problem+="${problem:+; }staged files left"; rm -f ./*partial*; }
        [[ -z $problem ]] || { echo "FAIL $name under $limit KB: $problem"; failures=$((failures + 1)); }
    done
    echo "$name ($(stat -c %s in.wmls) bytes):$outcomes"
done

[[ $failures -eq 0 ]] || { echo "$failures failures"; exit 1; }
