#!/usr/bin/env bash
# The command line as users meet it: argument handling, the usage text byte
# for byte, early stops and their exit status.
#
#   run_cli_tests.sh TAVOK
set -u

tavok=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
printf 'function f() {}\n' > in.wmls

usage_out=$'\n Usage: tavok [-w | -g] <inputFile> <outputFile> \n'
usage_err=$'     -w : option for suppress warnings\n     -g : debug information option\n'
success=$'Compilation successful\n'
no_input='Fatal Error Unable to open input file'

passed=0
failed=0

# expect NAME STATUS STDOUT STDERR -- ARGUMENTS...
expect() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  rm -f actual_out actual_err
  "$tavok" "$@" >actual_out 2>actual_err
  local actual_status=$?
  if [ "$actual_status" = "$status" ] &&
     [ "$(cat actual_out; echo .)" = "$out." ] &&
     [ "$(cat actual_err; echo .)" = "$err." ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name (status $actual_status, expected $status)"
    echo "  stdout: $(od -c actual_out | head -n 5)"
    echo "  stderr: $(od -c actual_err | head -n 5)"
  fi
}

expect "no arguments"              1 "$usage_out" "$usage_err" --
expect "only options"              1 "$usage_out" "$usage_err" -- -w -g
expect "unknown option first"      1 "$usage_out" "$usage_err" -- -x in.wmls out.wmlsc
expect "lone dash"                 1 "$usage_out" "$usage_err" -- - in.wmls out.wmlsc
expect "three file names"          1 "$usage_out" "$usage_err" -- in.wmls out.wmlsc third
expect "output name missing"       1 "$usage_out" "$usage_err" -- in.wmls
expect "unknown option last"       1 "$usage_out" "$usage_err" -- in.wmls out.wmlsc -q
expect "options after names"       0 "" "$success" -- in.wmls out.wmlsc -w
expect "options between names"     0 "" "$success" -- in.wmls -g out.wmlsc
expect "repeated option"           0 "" "$success" -- -g -g in.wmls out.wmlsc
expect "trailing characters"       0 "" "$success" -- -gx -wfoo in.wmls out.wmlsc
expect "missing input"             1 "" "$no_input" -- missing.wmls out.wmlsc
expect "directory as input"        1 "" "$no_input" -- . out.wmlsc
expect "usage wins over input"     1 "$usage_out" "$usage_err" -- missing.wmls -x out.wmlsc

# An unknown option stops the run before anything is opened or written.
"$tavok" -x in.wmls never.wmlsc >/dev/null 2>&1
if [ -e never.wmlsc ]; then
  failed=$((failed + 1)); echo "FAIL: unknown option created the output file"
else
  passed=$((passed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
