#!/usr/bin/env bash
# The command line as users meet it: argument handling, the usage text byte
# for byte, early stops and their exit status.
#
#   run_cli_tests.sh TAVOK
set -u

case $1 in /*) tavok=$1 ;; *) tavok=$PWD/$1 ;; esac
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
  local actual_out=$work/actual_out actual_err=$work/actual_err
  rm -f "$actual_out" "$actual_err"
  "$tavok" "$@" >"$actual_out" 2>"$actual_err"
  local actual_status=$?
  if [ "$actual_status" = "$status" ] &&
     [ "$(cat "$actual_out"; echo .)" = "$out." ] &&
     [ "$(cat "$actual_err"; echo .)" = "$err." ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name (status $actual_status, expected $status)"
    echo "  stdout: $(od -c "$actual_out" | head -n 5)"
    echo "  stderr: $(od -c "$actual_err" | head -n 5)"
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

# An output file, or with -g its debug file, that is the input stops the run
# before anything is read: the message, status 1, no verdict, and every file
# as it was, whatever spelling or link leads to the input.
mkdir same other
printf 'extern function main() { return "kept"; }\n' > same/src.wmls
cp same/src.wmls src.orig
printf 'an older unit\n' > same/older.wmlsc
cp same/older.wmlsc older.orig
ln same/src.wmls same/hard.wmlsc
ln -s src.wmls same/soft.wmlsc
ln -s src.wmls same/link.wmls
cp same/src.wmls same/y.wmls.dbg
cp same/older.wmlsc same/y.wmls
ls -A same > listing.orig
is_input() { printf 'Output file "%s" is the input file\n.' "$1"; }

# same_file NAME STATUS STDERR -- ARGUMENTS...: run inside same/;
# then src.wmls, y.wmls.dbg, older.wmlsc and y.wmls must hold their old bytes
# and no file may have appeared or gone.
same_file() {
  local name=$1 status=$2 err=$3
  shift 4
  cd same && expect "$name" "$status" "" "${err%.}" -- "$@"
  cd "$work" || exit 1
  local file
  for file in src.wmls y.wmls.dbg; do
    if ! cmp -s "same/$file" src.orig; then
      failed=$((failed + 1)); echo "FAIL: $name changed $file"
    fi
  done
  for file in older.wmlsc y.wmls; do
    if ! cmp -s "same/$file" older.orig; then
      failed=$((failed + 1)); echo "FAIL: $name changed $file"
    fi
  done
  if [ "$status" = 1 ] && ! ls -A same | cmp -s - listing.orig; then
    failed=$((failed + 1)); echo "FAIL: $name left files behind: $(ls -A same)"
  fi
}

same_file "output is the input"        1 "$(is_input src.wmls)" -- src.wmls src.wmls
same_file "output spelt ./"            1 "$(is_input ./src.wmls)" -- src.wmls ./src.wmls
same_file "output spelt absolutely"    1 "$(is_input "$work/same/src.wmls")" -- src.wmls "$work/same/src.wmls"
same_file "output through .."          1 "$(is_input ../same/src.wmls)" -- -w src.wmls ../same/src.wmls
same_file "output a hard link"         1 "$(is_input hard.wmlsc)" -- src.wmls hard.wmlsc
same_file "output a symbolic link"     1 "$(is_input soft.wmlsc)" -- src.wmls soft.wmlsc
same_file "input a symbolic link"      1 "$(is_input src.wmls)" -- link.wmls src.wmls
same_file "debug file is the input"    1 "$(is_input y.wmls.dbg)" -- -g y.wmls.dbg y.wmls
same_file "debug file, -g last"        1 "$(is_input y.wmls.dbg)" -- y.wmls.dbg y.wmls -g
same_file "same file and -d"           1 "$(is_input src.wmls)" -- -d src.wmls src.wmls
# Controls: the same name in another directory, and the debug file's name
# without -g, are other files and compile.
cd other && expect "same name elsewhere" 0 "" "$success" -- ../same/src.wmls src.wmls
cd "$work" || exit 1
if ! cmp -s same/src.wmls src.orig || ! [ -s other/src.wmls ] || cmp -s other/src.wmls src.orig; then
  failed=$((failed + 1)); echo "FAIL: same name elsewhere: input changed or no unit written"
fi
cp same/src.wmls other/z.wmls.dbg
cd other && expect "debug file name without -g" 0 "" "$success" -- z.wmls.dbg z.wmls
cd "$work" || exit 1
if ! cmp -s other/z.wmls.dbg src.orig || ! [ -s other/z.wmls ] || [ -e other/z.wmls.dbg.dbg ]; then
  failed=$((failed + 1)); echo "FAIL: debug file name without -g: input changed or no unit written"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
