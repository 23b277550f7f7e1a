#!/usr/bin/env bash
# The Debian package: built by cpack into a temporary directory, named
# tavok_<version>_<architecture>.deb, with the program, the manual page and
# the documentation under /usr, the control fields filled in, a packaged
# program that runs, and the build directory's install record left alone.
# Skipped (status 77) without dpkg-deb.
#
#   run_package_test.sh CPACK BUILD_DIR VERSION
set -u

cpack=$1
build=$(cd "$2" && pwd)
version=$3
record=$build/install_record.txt

if ! command -v dpkg-deb >/dev/null 2>&1 || ! command -v dpkg >/dev/null 2>&1; then
  echo "SKIPPED: dpkg-deb not found, the Debian package was not built"
  exit 77
fi

work=$(mktemp -d)
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

# Packaging runs the install rules into a staging area; an installation
# made from this build directory must still be the one that is recorded.
printf 'root %s\n' "$work/earlier-installation" > "$record"
cp "$record" "$work/sentinel"

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"
fi
cmp -s "$record" "$work/sentinel" || fail "packaging changed the install record"

deb=$work/out/tavok_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
  fail "no package $(basename "$deb"); cpack made: $(cd "$work/out" && ls -- *.deb 2>/dev/null)"
  exit 1
fi

contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }')
for path in ./usr/bin/tavok ./usr/share/man/man1/tavok.1 ./usr/share/doc/tavok/README.md \
            ./usr/share/doc/tavok/examples/hello.wmls; do
  grep -qxF "$path" <<<"$contents" || fail "the package does not hold $path"
done
grep -v '^\./usr/' <<<"$contents" | grep -qv '^\./$' && fail "the package holds files outside /usr"

field() {
  dpkg-deb --field "$deb" "$1"
}
[ "$(field Package)" = tavok ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Section)" = devel ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
grep -q 'libc6' <<<"$(field Depends)" || fail "Depends does not name libc6: $(field Depends)"

# The packaged (stripped) program compiles the packaged example.
dpkg-deb --extract "$deb" "$work/root"
(cd "$work" && root/usr/bin/tavok root/usr/share/doc/tavok/examples/hello.wmls hello.wmlsc >/dev/null 2>&1)
status=$?
[ "$status" = 0 ] && [ -s "$work/hello.wmlsc" ] || fail "the packaged tavok failed on the example (status $status)"

[ "$failed" = 0 ] && echo "package: all checks passed"
[ "$failed" = 0 ]
