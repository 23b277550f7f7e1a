#!/usr/bin/env bash
# Runs one whole compilation and compares everything it produced with the
# case's .expected file: exit status, standard output, standard error, the
# compiled unit and the debug file (as hex).
#
#   run_golden.sh TAVOK CASE.wmls [TAVOK-DIS]
#
# With TAVOK-DIS (the disassembler's path), a compiled unit the run wrote is
# also loaded by it under the strict rules, with its debug file when there is
# one; a unit it rejects fails the case and is never recorded by UPDATE.
# Options for the compiler come from CASE.options (one line), if present.
# With UPDATE=1 the .expected file is rewritten from the actual run.
set -u

# The compiler runs inside a scratch directory: programs named by a relative
# path are found from here first.
absolute() { case "$1" in /* | '') echo "$1" ;; */*) echo "$PWD/$1" ;; *) echo "$1" ;; esac; }
tavok=$(absolute "$1")
case_source=$2
dis=$(absolute "${3:-}")
case_base=${case_source%.wmls}
expected=$case_base.expected
name=$(basename "$case_base")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$case_source" "$work/$name.wmls"

options=()
if [ -f "$case_base.options" ]; then
  read -r -a options < "$case_base.options"
fi

(cd "$work" && "$tavok" "${options[@]}" "$name.wmls" "$name.wmlsc" >stdout 2>stderr)
status=$?

hex_or_none() {
  if [ -f "$1" ]; then od -An -v -tx1 "$1"; else echo " (none)"; fi
}

{
  echo "status: $status"
  echo "--- stdout"
  cat "$work/stdout"
  echo "--- stderr"
  cat "$work/stderr"
  echo
  echo "--- output"
  hex_or_none "$work/$name.wmlsc"
  echo "--- debug"
  hex_or_none "$work/$name.wmlsc.dbg"
} > "$work/actual"

if [ -n "$dis" ] && [ -f "$work/$name.wmlsc" ]; then
  check_options=()
  if [ -f "$work/$name.wmlsc.dbg" ]; then check_options=(-g "$work/$name.wmlsc.dbg"); fi
  if ! "$dis" --strict "${check_options[@]}" "$work/$name.wmlsc" >/dev/null; then
    echo "the unit written for $case_source does not hold together"
    exit 1
  fi
fi

if [ "${UPDATE:-0}" = 1 ]; then
  cp "$work/actual" "$expected"
  exit 0
fi

if [ ! -f "$expected" ]; then
  echo "no expected file $expected; the run gave:"
  cat "$work/actual"
  exit 1
fi

diff -u "$expected" "$work/actual"
