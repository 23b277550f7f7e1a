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

passed=0
failed=0

# Hex text ("01 0c 00") to the bytes it spells.
write_hex() { echo "$1" | xxd -r -p > "$2"; }

# Version byte and size in front of a body (bodies here stay below 128 bytes).
with_header() {
  local body=$1
  local size=$(( $(echo "$body" | tr -d ' \n' | wc -c) / 2 ))
  printf '01 %02x %s' "$size" "$body"
}

# A unit around one function's code: no constants, no pragmas, one function
# (index 0, extern name f) with ARGUMENTS and LOCALS and the given code.
unit_with_code() {
  local arguments=$1 locals=$2 code=$3
  local code_size=$(( $(echo "$code" | tr -d ' \n' | wc -c) / 2 ))
  with_header "00 6a 00 01 01 00 01 66 $arguments $locals $(printf '%02x' "$code_size") $code"
}

# check NAME EXPECTED_STATUS MESSAGE_FRAGMENT UNIT_HEX [DEBUG_HEX]
# An empty fragment expects no message at all.
check() {
  local name=$1 status=$2 fragment=$3 unit=$4 debug=${5:-}
  rm -f "$work"/u.wmlsc "$work"/u.wmlsc.dbg
  write_hex "$unit" "$work/u.wmlsc"
  local options=()
  if [ -n "$debug" ]; then
    write_hex "$debug" "$work/u.wmlsc.dbg"
    options=(-g)
  fi
  "$unitcheck" "${options[@]}" "$work/u.wmlsc" 2>"$work/message"
  local actual=$?
  local message_ok
  if [ -z "$fragment" ]; then
    [ ! -s "$work/message" ] && message_ok=1
  else
    grep -q -F -- "$fragment" "$work/message" && message_ok=1
  fi
  if [ "$actual" = "$status" ] && [ -n "${message_ok:-}" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name (status $actual, expected $status with \"$fragment\")"
    sed 's/^/  /' "$work/message"
  fi
}

empty_extern=$(unit_with_code 00 00 3b)

# --- the layout of the unit
check "well-formed unit" 0 "" "$empty_extern"
check "version" 1 "version number is 0x02" "02 0c 00 6a 00 01 01 00 01 66 00 00 01 3b"
check "size one short" 1 "unit size says 11 bytes, 12 follow" "01 0b 00 6a 00 01 01 00 01 66 00 00 01 3b"
check "size with a zero group" 1 "starts with a zero group" "01 80 0c 00 6a 00 01 01 00 01 66 00 00 01 3b"
check "character set" 1 "character set is 0x6B" "$(with_header "00 6b 00 01 01 00 01 66 00 00 01 3b")"
check "constant type" 1 "constant 0 has type 5" "$(with_header "01 6a 05 00 00 01 00 00 00 01 3b")"
check "integer wider than needed" 1 "integer 5 written in 16 bits fits in 8" \
  "$(with_header "01 6a 01 00 05 00 01 00 00 00 01 3b")"
check "constant twice" 1 "constant 1 repeats an earlier constant" \
  "$(with_header "02 6a 04 01 61 04 01 61 00 01 00 00 00 01 3b")"
check "string past the end" 1 "string constant: 9 bytes announced" "$(with_header "01 6a 04 09 61")"
check "pragma on an integer" 1 "access domain: constant 0 is not a string" \
  "$(with_header "01 6a 00 07 01 00 00 01 00 00 00 01 3b")"
check "path before domain" 1 "pragma 1 (access domain) out of order" \
  "$(with_header "01 6a 04 01 61 02 01 00 00 00 01 00 00 00 01 3b")"
check "name of a missing function" 1 "function name 0 names function 1 of 1" \
  "$(with_header "00 6a 00 01 01 01 01 66 00 00 01 3b")"
check "byte after the last function" 1 "1 bytes follow the last function" \
  "$(with_header "00 6a 00 01 01 00 01 66 00 00 01 3b 3b")"

# --- the code of a function
check "unknown opcode" 1 "byte 0x78 at code offset 0 is no instruction" "$(unit_with_code 00 00 "78 3b")"
check "instruction past the code" 1 "load_var at code offset 0 runs past the end" \
  "$(unit_with_code 00 00 "0e")"
check "jump into an instruction" 1 "tjump_fw_s 1 at code offset 1 lands at 3, not on an instruction" \
  "$(unit_with_code 01 00 "e0 c1 1d 00 3b")"
check "jump onto an instruction" 0 "" "$(unit_with_code 01 00 "e0 c2 1d 00 3b")"
check "jump before the code" 1 "jump_bw_s 2 at code offset 1 lands at -1" "$(unit_with_code 00 00 "14 a2")"
check "jump to itself" 0 "" "$(unit_with_code 00 00 "a0")"
check "variable beyond the slots" 1 "load_var_s 1 at code offset 0: the function has 1 variables" \
  "$(unit_with_code 01 00 "e1 3a")"
check "constant beyond the pool" 1 "load_const_s 0 at code offset 0: the pool has 0 constants" \
  "$(unit_with_code 00 00 "50 3a")"
check "call beyond the functions" 1 "call_s 1 at code offset 0: the unit has 1 functions" \
  "$(unit_with_code 00 00 "61 3a")"
check "unknown library" 1 "library 16 has no function 0" "$(unit_with_code 00 00 "68 10 3a")"
check "library function beyond its table" 1 "library 0 has no function 15" \
  "$(unit_with_code 00 00 "0a 0f 00 3a")"
check "normal form for a short operand" 1 "load_var 5 at code offset 0: a shorter form holds the operand" \
  "$(unit_with_code 06 00 "0e 05 3a")"
check "wide jump for a short offset" 1 "jump_fw_w 0 at code offset 0: a shorter form" \
  "$(unit_with_code 00 00 "02 00 00 3b")"
check "call_url on an integer" 1 "the url of call_url: constant 0 is not a string" \
  "$(with_header "01 6a 00 07 00 01 00 00 00 05 0c 00 00 00 3a")"
check "running off the end" 1 "function 0 runs off the end of its code after const_0" \
  "$(unit_with_code 00 00 "14")"
check "no code at all" 1 "function 0 has no code" "$(unit_with_code 00 00 "")"

# --- the debug file, for the unit with the empty extern function f
names_f="01 66 00"
check "well-formed debug file" 0 "" "$empty_extern" "$(with_header "$names_f 01 00 00 00 00 01 00 02")"
check "debug size" 1 "debug size says 10 bytes, 11 follow" "$empty_extern" \
  "01 0a $names_f 01 00 00 00 00 01 00 02"
check "debug function count" 1 "2 function records, the unit has 1 functions" "$empty_extern" \
  "$(with_header "$names_f 02 00 00 00 00 01 00 02")"
check "name id beyond the names" 1 "name id 1, the file has 1 names" "$empty_extern" \
  "$(with_header "$names_f 01 01 00 00 00 01 00 02")"
check "name differs from the unit" 1 "function 0 is f in the unit, g in the debug file" "$empty_extern" \
  "$(with_header "01 67 00 01 00 00 00 00 01 00 02")"
check "arguments differ from the unit" 1 "1 arguments in the debug file, 0 in the unit" "$empty_extern" \
  "$(with_header "$names_f 01 00 00 01 00 00 00 01 00 02")"
check "line entry inside no instruction" 1 "offset 1 is not an instruction" "$empty_extern" \
  "$(with_header "$names_f 01 00 00 00 00 01 01 02")"
check "line zero" 1 "line 0" "$empty_extern" "$(with_header "$names_f 01 00 00 00 00 01 00 00")"
variables_unit=$(unit_with_code 01 01 "e0 41 e1 3a")
names_fab="03 66 00 61 00 62 00"
check "parameters and locals by index" 0 "" "$variables_unit" \
  "$(with_header "$names_fab 01 00 00 01 01 00 01 02 01 02 00 02 02 03")"
check "local with a parameter's index" 1 "locals 0 (b) has index 0, not 1" "$variables_unit" \
  "$(with_header "$names_fab 01 00 00 01 01 00 01 02 00 02 00 02 02 03")"
check "line repeated" 1 "line 2 repeats the previous entry" "$variables_unit" \
  "$(with_header "$names_fab 01 00 00 01 01 00 01 02 01 02 00 02 02 02")"
check "offsets going back" 1 "offset 0 not above 2" "$variables_unit" \
  "$(with_header "$names_fab 01 00 00 01 01 00 01 02 01 02 02 02 00 03")"

echo "unitcheck: $passed passed, $failed failed"
[ "$failed" = 0 ]
