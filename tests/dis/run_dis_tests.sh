#!/usr/bin/env bash
# tavok-dis as users meet it: golden listings of compiled and hand-made
# units (exit status, standard error and standard output byte for byte),
# then the command line: usage errors, unreadable and corrupt units, loader
# warnings, debug files found, named, broken and ignored, a failed write.
#
#   run_dis_tests.sh TAVOK TAVOK_DIS
#
# UPDATE=1 rewrites the golden listings from the current output; read the
# diff before committing it.
set -u

absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
tavok=$(absolute "$1")
dis=$(absolute "$2")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# A unit written as hex bytes, with "#" comments, into a binary file.
unhex() { printf "$(sed 's/#.*//' "$1" | tr -cs '0-9A-Fa-f' '\n' | grep . | sed 's/^/\\x/' | tr -d '\n')" > "$2"; }
unhexText() { printf '%s\n' "$1" > "$work/hex.txt"; unhex "$work/hex.txt" "$2"; }

# The run as one text: status, standard error, standard output.
runRecord() {
  "$dis" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  printf '# status %s\n# stderr\n' "$status"
  cat "$work/err"
  printf '# stdout\n'
  cat "$work/out"
}

# golden NAME INPUT TAVOK_OPTIONS DIS_OPTIONS: INPUT is a source compiled
# to unit.wmlsc first, or a .hex unit; the listing is compared with
# golden/NAME.expected.
golden() {
  local name=$1 input=$root/$2 compileOptions=$3 disOptions=$4
  rm -f unit.wmlsc unit.wmlsc.dbg
  case $input in
    *.hex) unhex "$input" unit.wmlsc ;;
    *) "$tavok" $compileOptions "$input" unit.wmlsc >/dev/null 2>&1 ||
         { fail "$name: $2 does not compile"; return; } ;;
  esac
  local expected=$here/golden/$name.expected
  runRecord $disOptions unit.wmlsc >actual
  if [ "${UPDATE:-}" = 1 ]; then
    cp actual "$expected"
  fi
  if cmp -s actual "$expected"; then
    passed=$((passed + 1))
  else
    fail "golden $name"
    diff "$expected" actual | head -n 20
  fi
}

#      name        input                           tavok  tavok-dis
golden hello       examples/hello.wmls             ""     "--strict"
golden hello_raw   examples/hello.wmls             ""     "--strict --raw"
golden tour_debug  examples/tour.wmls              "-g"   "--strict"
golden jumps       tests/dis/golden/jumps.wmls     ""     "--strict"
golden constants   tests/dis/golden/constants.hex  ""     ""

# expect NAME STATUS STDERR STDOUT -- ARGUMENTS: the status and standard
# error exactly; standard output must contain STDOUT, or be empty when
# STDOUT is empty.
expect() {
  local name=$1 status=$2 err=$3 out=$4
  shift 5
  "$dis" "$@" >"$work/out" 2>"$work/err"
  local actual=$?
  local ok=1
  [ "$actual" = "$status" ] || ok=0
  [ "$(cat "$work/err"; echo .)" = "$err." ] || ok=0
  if [ -z "$out" ]; then
    [ -s "$work/out" ] && ok=0
  else
    grep -qF -- "$out" "$work/out" || ok=0
  fi
  if [ $ok = 1 ]; then
    passed=$((passed + 1))
  else
    fail "$name (status $actual, expected $status)"
    echo "  stderr: $(head -c 400 "$work/err")"
    echo "  stdout: $(head -c 400 "$work/out")"
  fi
}

usage=$'usage: tavok-dis [-g DEBUGFILE] [--raw] [--strict] UNIT\n'
"$tavok" "$root/examples/hello.wmls" hello.wmlsc >/dev/null 2>&1
"$tavok" -g "$root/examples/tour.wmls" tour.wmlsc >/dev/null 2>&1
"$tavok" -g "$root/examples/hello.wmls" hellodebug.wmlsc >/dev/null 2>&1
cp hello.wmlsc ./-x.wmlsc

expect "no unit"             2 "tavok-dis: no unit given"$'\n'"$usage" "" --
expect "two units"           2 "tavok-dis: one unit at a time"$'\n'"$usage" "" -- hello.wmlsc tour.wmlsc
expect "unknown option"      2 "tavok-dis: unknown option --verbose"$'\n'"$usage" "" -- --verbose hello.wmlsc
expect "-g without a file"   2 "tavok-dis: option -g needs a debug file"$'\n'"$usage" "" -- hello.wmlsc -g
expect "-g twice"            2 "tavok-dis: option -g given twice"$'\n'"$usage" "" -- -g a.dbg -g b.dbg hello.wmlsc
expect "usage error first"   2 "tavok-dis: unknown option -q"$'\n'"$usage" "" -- missing.wmlsc -q
expect "help"                0 "" "$usage" -- --help
expect "options after unit"  0 "" "0001  E0                 load_var_s" -- hello.wmlsc --raw --strict
expect "unit named -x"       0 "" "function f0 \"hello\" extern" -- -- -x.wmlsc

expect "missing unit"        1 "tavok-dis: missing.wmlsc: cannot open: No such file or directory"$'\n' "" -- missing.wmlsc
expect "directory as unit"   1 "tavok-dis: .: cannot read: Is a directory"$'\n' "" -- .
: >empty.wmlsc
expect "empty unit"          1 "tavok-dis: empty.wmlsc: offset 0x0: file ends where the version number is expected"$'\n' "" -- empty.wmlsc

# A jump into the middle of load_var: one line naming the offset of the jump
# in the file, and nothing on the standard output.
unhexText '01 0F  00 6A  00  01 01  00 01 66  00 01 04  81 0E 00 3A' corrupt.wmlsc
expect "corrupt unit"        1 "tavok-dis: corrupt.wmlsc: offset 0xD: jump_fw_s at 0x0000: jump target 0x0002 is not an instruction boundary"$'\n' "" -- corrupt.wmlsc

# String has no function 99: a warning, and the listing; --strict refuses it.
unhexText '01 10  00 6A  00  01 01  00 01 66  00 00 05  0A 63 02 37 3B' unknownlib.wmlsc
warning='offset 0xD: call_lib at 0x0000: library 2 (String) has no function 99'
expect "loader warning"      0 "tavok-dis: unknownlib.wmlsc: warning: $warning"$'\n' "call_lib      String.function99" -- unknownlib.wmlsc
expect "warning under strict" 1 "tavok-dis: unknownlib.wmlsc: $warning"$'\n' "" -- --strict unknownlib.wmlsc

# Debug files: UNIT.dbg is found without being asked; one named with -g is
# used instead; a broken one named with -g fails the run, found alone it is a
# warning; --raw reads none.
expect "automatic debug file" 0 "" "  0000  E0                 load_var_s    v0 value" -- tour.wmlsc
cp tour.wmlsc.dbg other.dbg
cp tour.wmlsc plain.wmlsc
expect "named debug file"    0 "" "  ; arguments v0 value, v1 low, v2 high" -- -g other.dbg plain.wmlsc
mismatch="offset 0x16: 1 function records, the unit has 2 functions"
expect "broken named debug file" 1 "tavok-dis: hellodebug.wmlsc.dbg: $mismatch"$'\n' "" -- -g hellodebug.wmlsc.dbg tour.wmlsc
cp hellodebug.wmlsc.dbg plain.wmlsc.dbg
expect "broken debug file found" 0 "tavok-dis: plain.wmlsc.dbg: warning: $mismatch (listed without it)"$'\n' "function f0: 3 arguments" -- plain.wmlsc
grep -q "; arguments" "$work/out" && fail "broken debug file found: names listed"
expect "missing named debug file" 1 "tavok-dis: none.dbg: cannot open: No such file or directory"$'\n' "" -- -g none.dbg hello.wmlsc
expect "raw reads no debug file" 0 "" "  0000  E0                 load_var_s" -- --raw -g none.dbg plain.wmlsc

# A listing that cannot be written is a failure, not a silent truncation.
if [ -w /dev/full ]; then
  "$dis" hello.wmlsc >/dev/full 2>"$work/err"
  status=$?
  if [ $status = 1 ] && [ "$(cat "$work/err")" = "tavok-dis: standard output: No space left on device" ]; then
    passed=$((passed + 1))
  else
    fail "output cannot be written (status $status): $(cat "$work/err")"
  fi
fi

echo "tavok-dis: $passed passed, $failed failed"
[ "$failed" = 0 ]
