#!/usr/bin/env bash
# The unit reader itself: it accepts well-formed units and debug files and
# rejects each deliberately broken one with the message naming the broken
# rule.
#
#   run_unitcheck_tests.sh UNITCHECK
set -u

unitcheck=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The number of bytes that hex text spells.
size_of() { local hex=${1// /}; echo $(( ${#hex} / 2 )); }
# Version byte and size in front of a body (bodies here stay below 128 bytes).
with_header() { printf '01 %02x %s' "$(size_of "$1")" "$1"; }

# The bytes of a unit or debug file, spelt as hex with a shorthand in front:
#   H BODY...              BODY behind the version byte and size
#   C ARGUMENTS LOCALS CODE...
#                          a unit of one function, index 0, extern name f,
#                          no constants or pragmas, with the given code
#   E                      that unit with an empty function (return_es)
#   V                      that unit with a parameter and a local: a = b
#   anything else          the bytes as written
bytes_of() {
  set -- $1
  case ${1:-} in
  H) shift; with_header "$*" ;;
  C) with_header "00 6a 00 01 01 00 01 66 $2 $3 $(printf '%02x' "$(size_of "${*:4}")") ${*:4}" ;;
  E) bytes_of "C 00 00 3b" ;;
  V) bytes_of "C 01 01 e0 41 e1 3a" ;;
  *) echo "$*" ;;
  esac
}

# One case a line: name | status | message fragment (empty: no message at
# all) | unit | debug file (none: checked without -g). Debug files name f, or
# f, a and b.
passed=0
failed=0
while IFS=$'\x1f' read -r name status fragment unit debug; do
  [[ -n $name && $name != \#* ]] || continue
  rm -f "$work"/u.wmlsc "$work"/u.wmlsc.dbg
  bytes_of "$unit" | xxd -r -p >"$work/u.wmlsc"
  options=()
  if [[ -n $debug ]]; then
    bytes_of "$debug" | xxd -r -p >"$work/u.wmlsc.dbg"
    options=(-g)
  fi
  "$unitcheck" "${options[@]}" "$work/u.wmlsc" 2>"$work/message"
  actual=$?
  if [[ -z $fragment ]]; then
    [[ ! -s $work/message ]]
  else
    grep -q -F -- "$fragment" "$work/message"
  fi
  message_ok=$?
  if [[ $actual == "$status" && $message_ok == 0 ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name (status $actual, expected $status with \"$fragment\")"
    sed 's/^/  /' "$work/message"
  fi
done < <(sed 's/ | /\x1f/g' <<'EOF'
# the layout of the unit
well-formed unit | 0 |  | E
version | 1 | version number is 0x02 | 02 0c 00 6a 00 01 01 00 01 66 00 00 01 3b
size one short | 1 | unit size says 11 bytes, 12 follow | 01 0b 00 6a 00 01 01 00 01 66 00 00 01 3b
size with a zero group | 1 | starts with a zero group | 01 80 0c 00 6a 00 01 01 00 01 66 00 00 01 3b
character set | 1 | character set is 0x6B | H 00 6b 00 01 01 00 01 66 00 00 01 3b
constant type | 1 | constant 0 has type 5 | H 01 6a 05 00 00 01 00 00 00 01 3b
integer wider than needed | 1 | integer 5 written in 16 bits fits in 8 | H 01 6a 01 00 05 00 01 00 00 00 01 3b
constant twice | 1 | constant 1 repeats an earlier constant | H 02 6a 04 01 61 04 01 61 00 01 00 00 00 01 3b
string past the end | 1 | string constant: 9 bytes announced | H 01 6a 04 09 61
pragma on an integer | 1 | access domain: constant 0 is not a string | H 01 6a 00 07 01 00 00 01 00 00 00 01 3b
path before domain | 1 | pragma 1 (access domain) out of order | H 01 6a 04 01 61 02 01 00 00 00 01 00 00 00 01 3b
name of a missing function | 1 | function name 0 names function 1 of 1 | H 00 6a 00 01 01 01 01 66 00 00 01 3b
byte after the last function | 1 | 1 bytes follow the last function | H 00 6a 00 01 01 00 01 66 00 00 01 3b 3b
# the code of a function
unknown opcode | 1 | byte 0x78 at code offset 0 is no instruction | C 00 00 78 3b
instruction past the code | 1 | load_var at code offset 0 runs past the end | C 00 00 0e
jump into an instruction | 1 | tjump_fw_s 1 at code offset 1 lands at 3, not on an instruction | C 01 00 e0 c1 1d 00 3b
jump onto an instruction | 0 |  | C 01 00 e0 c2 1d 00 3b
jump before the code | 1 | jump_bw_s 2 at code offset 1 lands at -1 | C 00 00 14 a2
jump to itself | 0 |  | C 00 00 a0
variable beyond the slots | 1 | load_var_s 1 at code offset 0: the function has 1 variables | C 01 00 e1 3a
constant beyond the pool | 1 | load_const_s 0 at code offset 0: the pool has 0 constants | C 00 00 50 3a
call beyond the functions | 1 | call_s 1 at code offset 0: the unit has 1 functions | C 00 00 61 3a
unknown library | 1 | library 16 has no function 0 | C 00 00 68 10 3a
library function beyond its table | 1 | library 0 has no function 15 | C 00 00 0a 0f 00 3a
normal form for a short operand | 1 | load_var 5 at code offset 0: a shorter form holds the operand | C 06 00 0e 05 3a
wide jump for a short offset | 1 | jump_fw_w 0 at code offset 0: a shorter form | C 00 00 02 00 00 3b
call_url on an integer | 1 | the url of call_url: constant 0 is not a string | H 01 6a 00 07 00 01 00 00 00 05 0c 00 00 00 3a
running off the end | 1 | function 0 runs off the end of its code after const_0 | C 00 00 14
no code at all | 1 | function 0 has no code | C 00 00
# the debug file
well-formed debug file | 0 |  | E | H 01 66 00 01 00 00 00 00 01 00 02
debug size | 1 | debug size says 10 bytes, 11 follow | E | 01 0a 01 66 00 01 00 00 00 00 01 00 02
debug function count | 1 | 2 function records, the unit has 1 functions | E | H 01 66 00 02 00 00 00 00 01 00 02
name id beyond the names | 1 | name id 1, the file has 1 names | E | H 01 66 00 01 01 00 00 00 01 00 02
name differs from the unit | 1 | function 0 is f in the unit, g in the debug file | E | H 01 67 00 01 00 00 00 00 01 00 02
arguments differ from the unit | 1 | 1 arguments in the debug file, 0 in the unit | E | H 01 66 00 01 00 00 01 00 00 00 01 00 02
line entry inside no instruction | 1 | offset 1 is not an instruction | E | H 01 66 00 01 00 00 00 00 01 01 02
line zero | 1 | line 0 | E | H 01 66 00 01 00 00 00 00 01 00 00
parameters and locals by index | 0 |  | V | H 03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 01 02 00 02 02 03
local with a parameter's index | 1 | locals 0 (b) has index 0, not 1 | V | H 03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 00 02 00 02 02 03
line repeated | 1 | line 2 repeats the previous entry | V | H 03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 01 02 00 02 02 02
offsets going back | 1 | offset 0 not above 2 | V | H 03 66 00 61 00 62 00 01 00 00 01 01 00 01 02 01 02 02 02 00 03
EOF
)

echo "unitcheck: $passed passed, $failed failed"
[[ $failed == 0 && $passed == 41 ]]
