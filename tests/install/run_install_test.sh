#!/usr/bin/env bash
# Installation as users meet it: install into temporary prefixes, run the
# installed program on the installed example, render the installed manual
# page, uninstall, and check that exactly what the installation added is gone
# and everything that was there before (or was added since) is still there.
#
#   run_install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -u

cmake=$1
build=$(cd "$2" && pwd)
source=$(cd "$3" && pwd)
record=$build/install_record.txt

work=$(mktemp -d)
# The test installs from the build directory under test, which rewrites its
# install record; a developer's own record is put back afterwards.
[ -f "$record" ] && cp "$record" "$work/saved_record"
restore() {
  if [ -f "$work/saved_record" ]; then cp "$work/saved_record" "$record"; else rm -f "$record"; fi
  rm -rf "$work"
}
trap restore EXIT

failed=0
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

install_into() {
  "$cmake" --install "$build" --prefix "$1" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "installing into $1"; }
}

uninstall() {
  "$cmake" -DINSTALL_RECORD="$record" -P "$source/cmake/uninstall.cmake" >"$work/uninstall.log" 2>&1 ||
    { cat "$work/uninstall.log"; fail "uninstalling"; }
  [ -e "$record" ] && fail "the install record is still there after uninstalling"
}

# Every path below a directory, one a line, sorted.
tree() {
  (cd "$1" && find . | LC_ALL=C sort)
}

expect_tree() {
  local name=$1 directory=$2 expected=$3
  local actual
  actual=$(tree "$directory")
  if [ "$actual" != "$expected" ]; then
    fail "$name: left behind"
    diff <(echo "$expected") <(echo "$actual")
  fi
}

# An existing, empty prefix: everything installed, the program works, the
# manual page renders, and after uninstalling the prefix is empty again.
prefix=$(mktemp -d "$work/prefix.XXXXXX")
install_into "$prefix"
# Every program with its manual page, as the install rules list them.
read -r -a programs <<<"$(sed -n 's/^set(tavokPrograms \(.*\))$/\1/p' "$source/CMakeLists.txt")"
[ "${#programs[@]}" -gt 0 ] || fail "no set(tavokPrograms ...) in CMakeLists.txt"
for program in "${programs[@]}"; do
  [ -x "$prefix/bin/$program" ] || fail "no executable bin/$program"
  cmp -s "$prefix/share/man/man1/$program.1" "$source/man/$program.1" ||
    fail "share/man/man1/$program.1 is not a copy of man/$program.1"
done
for installed in share/doc/tavok/README.md:README.md \
                 share/doc/tavok/examples/hello.wmls:examples/hello.wmls; do
  cmp -s "$prefix/${installed%%:*}" "$source/${installed#*:}" ||
    fail "${installed%%:*} is not a copy of ${installed#*:}"
done
# The licence goes with every installation, in the form of Debian's
# copyright files (the package test checks that form in full).
holders=$(sed -n 's/^Copyright ([cC]) //p' "$source/LICENSE")
grep -qxF "Copyright: $holders" "$prefix/share/doc/tavok/copyright" 2>/dev/null ||
  fail "share/doc/tavok/copyright does not name \"$holders\" as LICENSE does"

mkdir "$work/run"
(cd "$work/run" &&
 "$prefix/bin/tavok" "$prefix/share/doc/tavok/examples/hello.wmls" hello.wmlsc >stdout 2>stderr)
status=$?
[ "$status" = 0 ] || fail "installed tavok exited with status $status"
[ "$(cat "$work/run/stderr")" = "Compilation successful" ] ||
  fail "installed tavok said: $(cat "$work/run/stderr")"
[ -s "$work/run/stdout" ] && fail "installed tavok wrote to the standard output"
[ "$(od -An -tx1 -N1 "$work/run/hello.wmlsc" 2>/dev/null | tr -d ' ')" = 01 ] ||
  fail "hello.wmlsc missing or not a compiled unit (version byte 01)"
(cd "$work/run" && "$build/tavok" "$source/examples/hello.wmls" built.wmlsc 2>/dev/null)
cmp -s "$work/run/hello.wmlsc" "$work/run/built.wmlsc" ||
  fail "installed and built tavok compile the example differently"

if command -v groff >/dev/null 2>&1; then
  groff -man -Tutf8 -ww "$prefix/share/man/man1/tavok.1" >"$work/man.txt" 2>"$work/man.err" ||
    fail "groff failed on the manual page"
  if [ -s "$work/man.err" ]; then
    fail "groff warns about the manual page:"
    cat "$work/man.err"
  fi
  # A broken request can swallow whole sections without a warning.
  sed 's/.\x08//g' "$work/man.txt" > "$work/man.plain"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" DIAGNOSTICS FILES LIMITS EXAMPLES; do
    grep -qx "$section" "$work/man.plain" || fail "the rendered manual page has no $section section"
  done
else
  echo "SKIPPED: groff not found, the manual page was not rendered"
fi

uninstall
expect_tree "existing prefix" "$prefix" "."

# A prefix that does not exist yet: uninstalling removes it with every
# directory the installation made, and nothing above it.
install_into "$work/new/usr"
uninstall
[ -e "$work/new" ] && { fail "new prefix: left behind"; tree "$work/new"; }
[ -d "$work/run" ] || fail "uninstalling removed a directory beside the prefix"

# A prefix in use, installed into twice: directories that existed before stay,
# and so does what was added to an installed directory since.
shared=$work/shared
mkdir -p "$shared/bin" "$shared/share/man"
echo tool > "$shared/bin/other-tool"
install_into "$shared"
install_into "$shared"
echo notes > "$shared/share/doc/tavok/notes.txt"
uninstall
expect_tree "shared prefix" "$shared" ".
./bin
./bin/other-tool
./share
./share/doc
./share/doc/tavok
./share/doc/tavok/notes.txt
./share/man"
[ "$(cat "$shared/bin/other-tool")" = tool ] || fail "other-tool was changed"

# Nothing recorded: uninstalling says so and fails.
if "$cmake" -DINSTALL_RECORD="$record" -P "$source/cmake/uninstall.cmake" >/dev/null 2>&1; then
  fail "uninstalling without an install record succeeded"
fi

[ "$failed" = 0 ] && echo "install: all checks passed"
[ "$failed" = 0 ]
