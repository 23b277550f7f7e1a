#!/usr/bin/env bash
# Deep and huge inputs, generated at run time: each one compiles correctly or
# ends with its message, within a memory budget proportional to its size and
# on a small call stack.
#
#   run_large.sh TAVOK TAVOK-DIS CASE [sanitized]
#   run_large.sh --list | --list-deep
#
# Every unit a case writes, and its debug file under -g, must load in
# TAVOK-DIS (the disassembler's path) under the strict rules.
# TAVOK is a build without sanitizers: the run is confined with ulimit -v
# (address space: 48 MB plus a factor times the input's size) and ulimit -s
# (stack). With "sanitized" the program is an AddressSanitizer build, which
# cannot run under ulimit -v: only the stack is limited. Prints the input's
# size, the time and, when /usr/bin/time is there, the peak resident size.
set -euo pipefail

# One case a line: name, kind (deep: cheap enough for the sanitized build
# too, and also run with -d and -g; stream: piped in), memory factor, the
# expected outcome, then after "|" the generator. Outcomes:
#   ok            compiles
#   =SOURCE       compiles to the same unit as the small SOURCE (printf text)
#   >=BYTES       compiles to a unit of at least BYTES bytes
#   ends HEX      compiles to a unit ending with these bytes
#   jump          "Jump offset exceeds limit"
#   !(LINE) TEXT  "Error: TEXT" on LINE, then "Compilation failed"
# An even number of minus signs leaves 5; 0.000...0025 is below the smallest
# float and converts to 0; in the loop body, isvalid a and 32764 "+ a" make
# the backward jump span exactly 65535 bytes; every line past the last one an
# int counts counts as that one.
table() {
    cat <<'EOF'
additions                  -      128 >=2000000 | g "${Fa}return a" ' + a' 999999 ";$E"
parentheses_100000         deep   8   =function f(a) {\n  return a;\n}\n | g "${Fa}return " '(' 100000 a ')' 100000 ";$E"
unary_minus_100000         deep   64  =function f() {\n  return 5;\n}\n | g "${F}return " '- ' 100000 "5;$E"
not_100000                 deep   64  >=100000 | g "${Fa}return " '!' 100000 "a;$E"
assignments_100000         deep   64  >=200000 | g "$Fa" 'a = ' 100000 "1;$E"
conditionals_10000         deep   64  ok | g "${Fa}return " 'a ? a : ' 10000 "a;$E"
and_chain_10000            deep   64  ok | g "${Fa}return a" ' && a' 9999 ";$E"
blocks_10000               deep   8   =function f(a) {\n  a = 2;\n}\n | g "$Fa" '{' 10000 'a = 2;' '}' 10000 "$E"
ifs_10000                  deep   128 ok | g "$Fa" 'if (a) ' 10000 "a = 2;$E"
if_blocks_10000            deep   128 jump | g "$Fa" 'if (a) { ' 10000 'a = 2;' ' } else a = 3;' 10000 "$E"
else_ifs_10000             deep   128 jump | g "$Fa" 'if (a) a = 2; else ' 10000 "a = 3;$E"
whiles_10000               deep   128 ok | g "$Fa" 'while (a) { ' 10000 'break;' ' continue; }' 10000 "$E"
fors_10000                 deep   128 jump | g "$Fa" 'for (a = 0; a < 10; a++) ' 10000 "a--;$E"
calls_10000                deep   128 ok | g "${Fa}return " 'f(' 10000 a ')' 10000 ";$E"
library_calls_10000        deep   128 ok | g "${Fa}return " 'Lang.abs(' 10000 a ')' 10000 ";$E"
loop_body_at_jump_limit    deep   128 ends 04ffff3b | g "${Fa}while (a) {\n    a = isvalid a" ' + a' 32764 ";\n  }$E"
loop_body_past_jump_limit  deep   128 jump | g "${Fa}while (a) {\n    a = isvalid a" ' + a' 32765 ";\n  }$E"
strings_65534              -      64  ok | constants 65534 '"s%d"' i
strings_65535              -      64  ok | constants 65535 '"s%d"' i
strings_65536              -      64  !(65538) Number of constants is out of range | constants 65536 '"s%d"' i
integers_65535             -      64  ok | constants 65535 %d 'i + 1000'
integers_65536             -      64  !(65538) Number of constants is out of range | constants 65536 %d 'i + 1000'
floats_65536               -      64  !(65538) Number of constants is out of range | constants 65536 %d.5 i
url_pragmas_65535          -      64  ok | urlPragmas 65535
url_pragmas_65536          -      64  !(65536) Number of constants is out of range | urlPragmas 65536
identifier_1mb             deep   8   =function f() {\n  var x = 7;\n  return x;\n}\n | x=$(repeat x 1048576); g "${F}var $x = 7;\n  return $x;$E"
extern_name_1mb            -      8   !(1) Function name size exceeds maximum limit | g 'extern function ' x 1048576 '() {\n}\n'
string_10mb                -      8   >=10485760 | g "${F}return \"" s 10485760 "\";$E"
string_10mb_escapes        -      8   >=2621440 | g "${F}return '" '\x41' 2621440 "';$E"
integer_1mb_digits         -      8   !(2) Integer constant is out of range | g "${F}return " 9 1048576 ";$E"
octal_1mb_digits           -      8   =function f() {\n  return 7;\n}\n | g "${F}return " 0 1048576 "7;$E"
float_10mb_digits          -      8   =function f() {\n  return 0.0;\n}\n | g "${F}return 0." 0 10485760 "25;$E"
exponent_1mb_digits        -      8   !(2) Float constant is out of range | g "${F}return 1e" 9 1048576 ";$E"
line_100mb_comment         -      0   =function f(a) { var b = a; return b; } | g 'function f(a) { var b = a; /*' '*' 104857600 '*/ return b; }'
line_100mb_spaces          -      0   =function f(a) { return a; } | g 'function f(a) {' ' ' 104857600 'return a; }'
line_100mb_line_comment    -      0   =function f(a) { return a; } | g 'function f(a) { return a; } //' / 104857600 ''
lines_beyond_int           stream 0   !(2147483647) Identifier is not declared | g '' '\n' 2147483700 "${F}return x;$E"
EOF
}

case ${1:-} in
--list) table | awk '{ print $1 }'; exit 0 ;;
--list-deep) table | awk '$2 == "deep" { print $1 }'; exit 0 ;;
esac
[[ $# -ge 3 ]] || { echo "usage: run_large.sh TAVOK TAVOK-DIS CASE [sanitized] | --list | --list-deep" >&2; exit 2; }
tavok=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dis=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
case=$3
sanitized=${4:-}
line=$(table | awk -v name="$case" '$1 == name')
[[ $line ]] || { echo "unknown case $case" >&2; exit 2; }
read -r _ kind memoryFactor expect <<<"${line%%|*}"
generator=${line#*|}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
input=in.wmls
output=out.wmlsc

# g TEXT [REPEAT COUNT TEXT]...: the TEXTs are printf formats.
g() {
    printf "$1"
    shift
    while [[ $# -ge 3 ]]; do
        repeat "$1" "$2"
        printf "$3"
        shift 3
    done
}
repeat() {
    if [[ ${#1} -eq 1 || $1 == '\n' ]]; then
        head -c "$2" /dev/zero | tr '\0' "$1"
    else
        # yes ends by SIGPIPE when head has enough.
        { yes -- "$1" || true; } | head -n "$2" | tr -d '\n'
    fi
}
# A function assigning COUNT constants, one a line from line 3 on, to a.
constants() {
    printf 'function f() {\n  var a;\n'
    awk -v n="$1" -v format="  a = $2;\n" "BEGIN { for (i = 0; i < n; ++i) printf format, $3 }"
    printf '}\n'
}
# COUNT "use url" pragmas, one a line, each URL a constant of its own, then
# a function that adds none.
urlPragmas() {
    awk -v n="$1" 'BEGIN { for (i = 0; i < n; ++i) printf "use url u%d \"http://h/%d\";\n", i, i }'
    printf 'function f() {\n}\n'
}
F='function f() {\n  '
Fa='function f(a) {\n  '
E='\n}\n'

expectedStatus=0 expectedError="Compilation successful" reference="" minimumSize=0 ending=""
[[ $kind != stream ]] || input=/dev/stdin
case $expect in
ok) ;;
=*) reference=${expect#=} ;;
">="*) minimumSize=${expect#>=} ;;
ends*) ending=${expect#ends } ;;
jump) expectedStatus=1 expectedError="$input, Error: Jump offset exceeds limit" ;;
!*) message=${expect#!}
    expectedStatus=1
    expectedError=$(printf '%s %s) Error: %s\nCompilation failed' $input "${message%%) *}" "${message#*) }") ;;
esac

inputBytes=0
[[ $kind == stream ]] || { eval "$generator" >$input; inputBytes=$(stat -c %s $input); }
memoryKb=$((48 * 1024 + memoryFactor * inputBytes / 1024))
timer=()
[[ -x /usr/bin/time ]] && timer=(/usr/bin/time -f %M -o rss)

# Runs the compiler confined, with the options given; sets status.
confinedRun() {
    set +e
    (
        ulimit -s 1024
        [[ $sanitized == sanitized ]] || ulimit -v $memoryKb
        if [[ $kind == stream ]]; then
            eval "$generator" | "${timer[@]}" "$tavok" "$@" $input $output >stdout 2>stderr
        else
            exec "${timer[@]}" "$tavok" "$@" $input $output >stdout 2>stderr
        fi
    )
    status=$?
    set -e
}

start=$(date +%s%N)
confinedRun
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
rss=$( [[ -s rss ]] && echo "$(tail -n 1 rss) KB peak" || echo "peak unknown")
echo "$case: input ${inputBytes/#0/streamed} bytes, status $status, ${elapsed} ms, $rss, budget $((memoryKb / 1024)) MB${sanitized:+ (sanitized build, no budget)}"

fail() {
    echo "FAIL $case: $*"
    echo "--- standard error (first lines)"
    head -c 2000 stderr
    exit 1
}

# UNIT loads under the strict rules, with the debug file DEBUG if given.
unitSound() {
    local debug=()
    [[ $# -lt 2 ]] || debug=(-g "$2")
    "$dis" --strict "${debug[@]}" "$1" 2>dis.err >/dev/null || fail "$1 does not load: $(head -c 500 dis.err)"
}

[[ $status == "$expectedStatus" ]] || fail "status $status, expected $expectedStatus"
[[ $(cat stderr) == "$expectedError" ]] || fail "unexpected messages; expected: $expectedError"
[[ ! -s stdout ]] || fail "unexpected standard output"
if [[ $expectedStatus != 0 ]]; then
    [[ ! -e $output ]] || fail "a failed compilation left $output"
else
    [[ -s $output ]] || fail "no unit written"
    if [[ -n $reference ]]; then
        printf "$reference" >reference.wmls
        "$tavok" reference.wmls reference.wmlsc 2>/dev/null || fail "the reference did not compile"
        cmp -s reference.wmlsc $output || fail "the unit differs from the reference's"
    fi
    size=$(stat -c %s $output)
    [[ $size -ge $minimumSize ]] || fail "the unit has $size bytes, fewer than $minimumSize"
    tail=$(tail -c $((${#ending} / 2)) $output | od -An -v -tx1 | tr -d ' \n')
    [[ -z $ending || $tail == "$ending" ]] || fail "the unit ends with $tail, not $ending"
    unitSound $output
    mv $output first.wmlsc
fi

# The deep cases also go through the dumps (-d: the same verdict and unit)
# and the debug information (-g: code kept, so only the jump limit may come
# in addition), within the same limits.
if [[ $kind == deep ]]; then
    confinedRun -d
    [[ $status == "$expectedStatus" && $(cat stderr) == "$expectedError" ]] || fail "-d: status $status"
    [[ $expectedStatus != 0 ]] || cmp -s first.wmlsc $output || fail "-d: a different unit"
    [[ $expectedStatus == 0 || ! -e $output ]] || fail "-d: a failed compilation left $output"
    [[ $expectedStatus != 0 ]] || [[ -s stdout ]] || fail "-d: no dump"
    rm -f $output
    confinedRun -g
    if [[ $(cat stderr) != "$input, Error: Jump offset exceeds limit" ]]; then
        [[ $status == "$expectedStatus" && $(cat stderr) == "$expectedError" ]] || fail "-g: status $status"
        [[ $expectedStatus != 0 ]] || [[ -s $output && -s $output.dbg ]] || fail "-g: no unit or debug file"
    fi
    if [[ -e $output ]]; then
        unitSound $output $output.dbg
    fi
    echo "$case: the same with -d and -g"
fi
exit 0
