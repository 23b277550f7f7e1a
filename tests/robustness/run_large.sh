#!/usr/bin/env bash
# Deep and huge inputs, generated at run time: each one compiles correctly or
# ends with its message, within a memory budget proportional to its size and
# on a small call stack.
#
#   run_large.sh TAVOK CASE [sanitized]
#   run_large.sh --list
#
# TAVOK is a build without sanitizers: the run is confined with ulimit -v
# (address space: a base plus a multiple of the input's size) and ulimit -s
# (stack). With "sanitized" the program is an AddressSanitizer build, which
# cannot run under ulimit -v: only the stack is limited and the outcome
# checked. Prints the input's size, the time and, when /usr/bin/time is
# there, the peak resident size.
set -euo pipefail

# The chain of additions; 1,000,000 is the target size.
readonly additionCount=1000000

readonly cases=(
    additions parentheses_100000 unary_minus_100000 not_100000 assignments_100000
    conditionals_10000 and_chain_10000 blocks_10000 ifs_10000 if_blocks_10000 else_ifs_10000
    whiles_10000 fors_10000 calls_10000 library_calls_10000
    loop_body_at_jump_limit loop_body_past_jump_limit
    strings_65534 strings_65535 strings_65536 integers_65535 integers_65536 floats_65536
    identifier_1mb extern_name_1mb string_10mb string_10mb_escapes
    integer_1mb_digits octal_1mb_digits float_10mb_digits exponent_1mb_digits
    line_100mb_comment line_100mb_spaces line_100mb_line_comment lines_beyond_int
)

# The cases whose depth, not size, is the point: cheap enough for the
# sanitized build too.
readonly deepCases=(
    parentheses_100000 unary_minus_100000 not_100000 assignments_100000
    conditionals_10000 and_chain_10000 blocks_10000 ifs_10000 if_blocks_10000 else_ifs_10000
    whiles_10000 fors_10000 calls_10000 library_calls_10000
    loop_body_at_jump_limit loop_body_past_jump_limit identifier_1mb
)

case ${1:-} in
--list) printf '%s\n' "${cases[@]}"; exit 0 ;;
--list-deep) printf '%s\n' "${deepCases[@]}"; exit 0 ;;
esac
[[ $# -ge 2 ]] || { echo "usage: run_large.sh TAVOK CASE [sanitized] | --list | --list-deep" >&2; exit 2; }
tavok=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
case=$2
sanitized=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
input=in.wmls
output=out.wmlsc

# ---------------------------------------------------------------- generators

# TEXT repeated COUNT times, without separators (TEXT holds no line feed).
repeat() {
    [[ $2 -gt 0 ]] || return 0
    # yes ends by SIGPIPE when head has enough.
    { yes -- "$1" || true; } | head -n "$2" | tr -d '\n'
}

# Every line of a file, with its own count, from awk.
lines() { awk -v n="$1" "BEGIN { for (i = 0; i < n; ++i) $2 }"; }

# ---------------------------------------------------------------- expectations

expectedStatus=0
expectedError=""    # the whole standard error stream
memoryFactor=8      # address-space budget: base + factor * input size
memoryBaseMb=48
reference=""        # a small source that must compile to the same unit
outputCheck=""      # a function that checks the unit

succeeds() { expectedStatus=0; expectedError="Compilation successful"; }
failsWith() { expectedStatus=1; expectedError=$(printf '%s\n' "$@"); }

# The code of a one-function unit ends with these bytes (hex, no spaces).
unitEndsWith() {
    local tail
    tail=$(tail -c $((${#1} / 2)) "$output" | od -An -v -tx1 | tr -d ' \n')
    [[ $tail == "$1" ]] || { echo "the unit ends with $tail, not $1"; return 1; }
}
unitSizeAtLeast() {
    local size
    size=$(stat -c %s "$output")
    [[ $size -ge $1 ]] || { echo "the unit has $size bytes, fewer than $1"; return 1; }
}

# ---------------------------------------------------------------- cases

case $case in
additions)
    { printf 'function f(a) {\n  return a'; repeat ' + a' $((additionCount - 1)); printf ';\n}\n'; } >$input
    succeeds
    memoryFactor=128
    # load_var a, then load_var a and add for every other term, return.
    outputCheck="unitSizeAtLeast $((2 * additionCount))"
    ;;
parentheses_100000)
    { printf 'function f(a) {\n  return '; repeat '(' 100000; printf a; repeat ')' 100000; printf ';\n}\n'; } >$input
    succeeds
    reference='function f(a) {\n  return a;\n}\n'
    ;;
unary_minus_100000)
    # Folded over the literal: an even number of minus signs leaves 5.
    { printf 'function f() {\n  return '; repeat '- ' 100000; printf '5;\n}\n'; } >$input
    succeeds
    memoryFactor=64
    reference='function f() {\n  return 5;\n}\n'
    ;;
not_100000)
    { printf 'function f(a) {\n  return '; repeat '!' 100000; printf 'a;\n}\n'; } >$input
    succeeds
    memoryFactor=64
    outputCheck="unitSizeAtLeast 100000"
    ;;
assignments_100000)
    { printf 'function f(a) {\n  '; repeat 'a = ' 100000; printf '1;\n}\n'; } >$input
    succeeds
    memoryFactor=64
    outputCheck="unitSizeAtLeast 200000"
    ;;
conditionals_10000)
    { printf 'function f(a) {\n  return '; repeat 'a ? a : ' 10000; printf 'a;\n}\n'; } >$input
    succeeds
    memoryFactor=64
    ;;
and_chain_10000)
    { printf 'function f(a) {\n  return a'; repeat ' && a' 9999; printf ';\n}\n'; } >$input
    succeeds
    memoryFactor=64
    ;;
blocks_10000)
    { printf 'function f(a) {\n  '; repeat '{' 10000; printf 'a = 2;'; repeat '}' 10000; printf '\n}\n'; } >$input
    succeeds
    reference='function f(a) {\n  a = 2;\n}\n'
    ;;
ifs_10000)
    { printf 'function f(a) {\n  '; repeat 'if (a) ' 10000; printf 'a = 2;\n}\n'; } >$input
    succeeds
    memoryFactor=128
    ;;
if_blocks_10000)
    { printf 'function f(a) {\n  '; repeat 'if (a) { ' 10000; printf 'a = 2;'; repeat ' } else a = 3;' 10000; printf '\n}\n'; } >$input
    # Every level adds code that the outer jumps must span: more than
    # 65535 bytes.
    failsWith "$input, Error: Jump offset exceeds limit"
    memoryFactor=128
    ;;
else_ifs_10000)
    { printf 'function f(a) {\n  '; repeat 'if (a) a = 2; else ' 10000; printf 'a = 3;\n}\n'; } >$input
    # Every level adds code that the outer jumps must span: more than
    # 65535 bytes.
    failsWith "$input, Error: Jump offset exceeds limit"
    memoryFactor=128
    ;;
whiles_10000)
    { printf 'function f(a) {\n  '; repeat 'while (a) { ' 10000; printf 'break;'; repeat ' continue; }' 10000; printf '\n}\n'; } >$input
    succeeds
    memoryFactor=128
    ;;
fors_10000)
    { printf 'function f(a) {\n  '; repeat 'for (a = 0; a < 10; a++) ' 10000; printf 'a--;\n}\n'; } >$input
    # Every level adds code that the outer jumps must span: more than
    # 65535 bytes.
    failsWith "$input, Error: Jump offset exceeds limit"
    memoryFactor=128
    ;;
calls_10000)
    { printf 'function f(a) {\n  return '; repeat 'f(' 10000; printf a; repeat ')' 10000; printf ';\n}\n'; } >$input
    succeeds
    memoryFactor=128
    ;;
library_calls_10000)
    { printf 'function f(a) {\n  return '; repeat 'Lang.abs(' 10000; printf a; repeat ')' 10000; printf ';\n}\n'; } >$input
    succeeds
    memoryFactor=128
    ;;
loop_body_at_jump_limit | loop_body_past_jump_limit)
    # isvalid a, then "+ a" per further term: the backward jump of the loop
    # spans exactly 65535 bytes with 32765 terms.
    terms=32765
    [[ $case == loop_body_past_jump_limit ]] && terms=32766
    { printf 'function f(a) {\n  while (a) {\n    a = isvalid a'; repeat ' + a' $((terms - 1)); printf ';\n  }\n}\n'; } >$input
    memoryFactor=128
    if [[ $terms == 32765 ]]; then
        succeeds
        outputCheck="unitEndsWith 04ffff3b"   # jump_bw_w 65535, then return_es
    else
        failsWith "$input, Error: Jump offset exceeds limit"
    fi
    ;;
strings_65534 | strings_65535 | strings_65536)
    count=${case#strings_}
    { printf 'function f() {\n  var a;\n'; lines "$count" 'printf "  a = \"s%d\";\n", i'; printf '}\n'; } >$input
    memoryFactor=64
    if [[ $count -le 65535 ]]; then
        succeeds
    else
        # The 65536th string would get index 65535, one past the last.
        failsWith "$input (65538) Error: Number of constants is out of range" "Compilation failed"
    fi
    ;;
integers_65535 | integers_65536)
    count=${case#integers_}
    { printf 'function f() {\n  var a;\n'; lines "$count" 'printf "  a = %d;\n", i + 1000'; printf '}\n'; } >$input
    memoryFactor=64
    if [[ $count -le 65535 ]]; then
        succeeds
    else
        # Integers enter the pool when their statement is lowered, after
        # the parser has seen the next line.
        failsWith "$input (65538) Error: Number of constants is out of range" "Compilation failed"
    fi
    ;;
floats_65536)
    { printf 'function f() {\n  var a;\n'; lines 65536 'printf "  a = %d.5;\n", i'; printf '}\n'; } >$input
    memoryFactor=64
    failsWith "$input (65538) Error: Number of constants is out of range" "Compilation failed"
    ;;
identifier_1mb)
    name=$(repeat x $((1 << 20)))
    printf 'function f() {\n  var %s = 7;\n  return %s;\n}\n' "$name" "$name" >$input
    succeeds
    reference='function f() {\n  var x = 7;\n  return x;\n}\n'
    ;;
extern_name_1mb)
    printf 'extern function %s() {\n}\n' "$(repeat x $((1 << 20)))" >$input
    failsWith "$input (1) Error: Function name size exceeds maximum limit" "Compilation failed"
    ;;
string_10mb)
    { printf 'function f() {\n  return "'; repeat s $((10 << 20)); printf '";\n}\n'; } >$input
    succeeds
    outputCheck="unitSizeAtLeast $((10 << 20))"
    ;;
string_10mb_escapes)
    # 10 MB of escapes, each decoding to one byte.
    { printf "function f() {\n  return '"; repeat '\x41' $((10 << 18)); printf "';\n}\n"; } >$input
    succeeds
    outputCheck="unitSizeAtLeast $((10 << 18))"
    ;;
integer_1mb_digits)
    printf 'function f() {\n  return %s;\n}\n' "$(repeat 9 $((1 << 20)))" >$input
    failsWith "$input (2) Error: Integer constant is out of range" "Compilation failed"
    ;;
octal_1mb_digits)
    # Leading zeros: the value is 7.
    printf 'function f() {\n  return %s7;\n}\n' "$(repeat 0 $((1 << 20)))" >$input
    succeeds
    reference='function f() {\n  return 7;\n}\n'
    ;;
float_10mb_digits)
    # 0.000...0025: below the smallest float, it converts to 0.
    { printf 'function f() {\n  return 0.'; repeat 0 $((10 << 20)); printf '25;\n}\n'; } >$input
    succeeds
    reference='function f() {\n  return 0.0;\n}\n'
    ;;
exponent_1mb_digits)
    printf 'function f() {\n  return 1e%s;\n}\n' "$(repeat 9 $((1 << 20)))" >$input
    failsWith "$input (2) Error: Float constant is out of range" "Compilation failed"
    ;;
line_100mb_comment)
    { printf 'function f(a) { var b = a; /*'; head -c $((100 << 20)) /dev/zero | tr '\0' '*'; printf '*/ return b; }'; } >$input
    succeeds
    memoryFactor=0
    reference='function f(a) { var b = a; return b; }'
    ;;
line_100mb_spaces)
    { printf 'function f(a) {'; head -c $((100 << 20)) /dev/zero | tr '\0' ' '; printf 'return a; }'; } >$input
    succeeds
    memoryFactor=0
    reference='function f(a) { return a; }'
    ;;
line_100mb_line_comment)
    { printf 'function f(a) { return a; } //'; head -c $((100 << 20)) /dev/zero | tr '\0' '/'; } >$input
    succeeds
    memoryFactor=0
    reference='function f(a) { return a; }'
    ;;
lines_beyond_int)
    # More line feeds than an int counts (2 GB), streamed through a pipe:
    # the lines past the last one an int holds all count as that one.
    streamed() { head -c 2147483700 /dev/zero | tr '\0' '\n'; printf 'function f() {\n  return x;\n}\n'; }
    input=/dev/stdin
    failsWith "$input (2147483647) Error: Identifier is not declared" "Compilation failed"
    memoryFactor=0
    ;;
*)
    echo "unknown case $case" >&2
    exit 2
    ;;
esac

# ---------------------------------------------------------------- the run

streamed=$(type -t streamed || true)
if [[ $streamed ]]; then
    inputBytes="$((2147483700 + 29)) streamed"
else
    inputBytes=$(stat -c %s $input)
fi
memoryKb=$((memoryBaseMb * 1024 + memoryFactor * ${inputBytes% streamed} / 1024))
timer=()
[[ -x /usr/bin/time ]] && timer=(/usr/bin/time -f %M -o rss)

# Runs the compiler confined, with the options given; sets status.
confinedRun() {
    set +e
    (
        ulimit -s 1024
        [[ $sanitized == sanitized ]] || ulimit -v $memoryKb
        if [[ $streamed ]]; then
            streamed | "${timer[@]}" "$tavok" "$@" $input $output >stdout 2>stderr
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
echo "$case: input $inputBytes bytes, status $status, ${elapsed} ms, $rss, budget $((memoryKb / 1024)) MB${sanitized:+ (sanitized build, no budget)}"

fail() {
    echo "FAIL $case: $*"
    echo "--- standard error (first lines)"
    head -c 2000 stderr
    exit 1
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
    if [[ -n $outputCheck ]]; then
        $outputCheck || fail "unit check failed"
    fi
    mv $output first.wmlsc
fi

# The deep cases also go through the dumps (-d: the same verdict and unit)
# and the debug information (-g: code kept, so only the jump limit may come
# in addition), within the same limits.
if printf '%s\n' "${deepCases[@]}" | grep -qx "$case"; then
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
    echo "$case: the same with -d and -g"
fi
exit 0
