#!/usr/bin/env bash
# The Debian package as a distribution's review would see it. A clean copy of
# the source tree (what a clone holds: no build directories, nothing ignored)
# is built and installed with `make install DESTDIR=... PREFIX=/usr`, then
# packaged, with a umask that would leave files group-writable. The package
# must then have:
#   - the control fields, with Depends from dpkg-shlibdeps that this machine
#     satisfies, and a description that names every program;
#   - every program with its manual page, compressed with gzip -9n, the
#     changelog.Debian.gz of its version and the copyright file made from
#     LICENSE; root ownership, 0755 directories and programs, 0644 files;
#   - no error or warning from lintian but those cmake/lintian-overrides lists;
#   - once installed with dpkg into a throw-away root (unpacked with dpkg-deb
#     where dpkg cannot install), the files of `make install`, the manual pages
#     compressed and the changelog and lintian overrides added; and dpkg -r
#     removes them all again;
#   - manual pages that `man --warnings` renders without a warning, with a
#     SYNOPSIS that matches the usage text of the program.
# The build directory's install record survives packaging, and `make
# uninstall` removes the DESTDIR installation.
#
# lintian is installed (with scripts/check-deps.sh --package) when missing,
# if this runs as root with apt-get. Skipped (status 77) without dpkg-deb or
# make; a run without lintian or man does every other check, then ends with
# status 77 if they passed.
#
#   run_package_test.sh SOURCE_DIR VERSION
set -u

source=$(cd "$1" && pwd)
upstreamVersion=$2

for tool in dpkg-deb dpkg make cmake; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool not found, the Debian package was not built"
    exit 77
  fi
done
if ! command -v lintian >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  "$source/scripts/check-deps.sh" --package
fi
skipped=()

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

# Runs a step, timing it; its output is shown only when it fails.
step() {
  local name=$1
  shift
  local start=$SECONDS
  if ! "$@" >"$work/step.log" 2>&1; then
    tail -n 40 "$work/step.log"
    fail "$name"
    return 1
  fi
  echo "time: $name $((SECONDS - start)) s"
}

# The programs, as the install rules list them.
read -r -a programs <<<"$(sed -n 's/^set(tavokPrograms \(.*\))$/\1/p' "$source/CMakeLists.txt")"
[ "${#programs[@]}" -gt 0 ] || fail "no set(tavokPrograms ...) in CMakeLists.txt"

# ---- A clean copy of the source tree ---------------------------------------
# The files git knows or would take (tracked, or new and not ignored) as they
# are in the working tree, so that uncommitted work is tested too; without
# git, everything but the build directories.
clone=$work/source
mkdir "$clone"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$source" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' path; do [ -e "$path" ] && printf '%s\0' "$path"; done |
     tar --null -T - -cf -) | tar -xf - -C "$clone" || fail "copying the source tree"
else
  (cd "$source" && tar --exclude='./build' --exclude='./build-*' -cf - .) | tar -xf - -C "$clone" ||
    fail "copying the source tree"
fi
build=$clone/build
stage=$work/stage

# ---- make install, the package, make uninstall -----------------------------
# The copy's make must not take variables or a job server from a make that
# runs this test (make test).
unset MAKEFLAGS MFLAGS MAKELEVEL DESTDIR
umask 0002
step "clean build and make install DESTDIR" make -C "$clone" install DESTDIR="$stage" PREFIX=/usr ||
  exit 1
record=$build/install_record.txt
[ -f "$record" ] && cp "$record" "$work/record-before" || fail "make install left no install record"
step "cpack" cmake --build "$build" --target package || exit 1
cmp -s "$record" "$work/record-before" || fail "packaging changed the install record"
umask 0022

# The Debian revision is the copy's own, as its configuration has it.
revision=$(sed -n 's/^TAVOK_PACKAGE_REVISION:STRING=//p' "$build/CMakeCache.txt")
version=$upstreamVersion-$revision
deb=$build/tavok_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
  fail "no package $(basename "$deb"); cpack made: $(cd "$build" && ls -- *.deb 2>/dev/null)"
  exit 1
fi

# ---- Control fields --------------------------------------------------------
field() {
  dpkg-deb --field "$deb" "$1"
}
[ "$(field Package)" = tavok ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Section)" = devel ] || fail "Section: $(field Section)"
[ "$(field Priority)" = optional ] || fail "Priority: $(field Priority)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "no long description: $description"
for program in "${programs[@]}"; do
  grep -qw -- "$program" <<<"$description" || fail "the description does not say what $program is for"
done
depends=$(field Depends)
grep -q 'libc6' <<<"$depends" || fail "Depends does not name libc6: $depends"
if command -v dpkg-shlibdeps >/dev/null 2>&1; then
  # As dpkg-shlibdeps writes them: every dependency with the version the
  # programs need, and each one satisfied here, where they were built.
  IFS=',' read -r -a clauses <<<"$depends"
  for clause in "${clauses[@]}"; do
    if [[ $clause =~ ^\ *([a-z0-9.+-]+)\ \(\>=\ ([^\)]+)\)\ *$ ]]; then
      installed=$(dpkg-query -W -f='${Version}' "${BASH_REMATCH[1]}" 2>/dev/null)
      dpkg --compare-versions "${installed:-0}" ge "${BASH_REMATCH[2]}" ||
        fail "Depends:$clause is not satisfied here (${installed:-not installed})"
    else
      fail "Depends:$clause has no version, as dpkg-shlibdeps would give it"
    fi
  done
else
  skipped+=("dpkg-shlibdeps not found: Depends named by hand, not checked")
fi

# ---- Contents: paths, ownership, permissions -------------------------------
dpkg-deb --contents "$deb" >"$work/contents"
while read -r mode owner _ _ _ path _; do
  [ "$owner" = root/root ] || fail "$path is owned by $owner"
  case $path in
    ./) ;;
    ./usr/) [ "$mode" = drwxr-xr-x ] || fail "$path: $mode, expected drwxr-xr-x" ;;
    ./usr/*/) [ "$mode" = drwxr-xr-x ] || fail "$path: $mode, expected drwxr-xr-x" ;;
    ./usr/bin/*) [ "$mode" = -rwxr-xr-x ] || fail "$path: $mode, expected -rwxr-xr-x" ;;
    ./usr/*) [ "$mode" = -rw-r--r-- ] || fail "$path: $mode, expected -rw-r--r--" ;;
    *) fail "the package holds $path, outside /usr" ;;
  esac
done <"$work/contents"
awk '{ print $6 }' "$work/contents" >"$work/paths"
for program in "${programs[@]}"; do
  for path in ./usr/bin/$program ./usr/share/man/man1/$program.1.gz; do
    grep -qxF "$path" "$work/paths" || fail "the package does not hold $path"
  done
done
for path in copyright changelog.Debian.gz README.md examples/hello.wmls; do
  grep -qxF "./usr/share/doc/tavok/$path" "$work/paths" || fail "the package does not hold /usr/share/doc/tavok/$path"
done
while read -r path; do
  fail "manual page $path is not compressed"
done < <(grep '^\./usr/share/man/.*[^z/]$' "$work/paths")

root=$work/root
mkdir -p "$root"
dpkg-deb --extract "$deb" "$work/unpacked"

# gzip -9n: the header names no file and no time, and says "best compression".
for compressed in "$work/unpacked"/usr/share/man/man1/*.gz "$work/unpacked/usr/share/doc/tavok/changelog.Debian.gz"; do
  header=$(od -An -tx1 -N10 "$compressed" | tr -d ' \n')
  name=${compressed#"$work/unpacked"}
  [ "${header:0:4}" = 1f8b ] || { fail "$name is not gzip"; continue; }
  (( (0x${header:6:2} & 0x08) == 0 )) || fail "$name: the gzip header names the file (not gzip -n)"
  [ "${header:8:8}" = 00000000 ] || fail "$name: the gzip header holds a time (not gzip -n)"
  [ "${header:16:2}" = 02 ] || fail "$name: not compressed with gzip -9"
done

zcat "$work/unpacked/usr/share/doc/tavok/changelog.Debian.gz" | head -n 1 >"$work/changelog.head"
grep -q "^tavok ($version) " "$work/changelog.head" ||
  fail "changelog.Debian.gz begins: $(cat "$work/changelog.head")"

# The copyright file in the machine-readable format, holding LICENSE's
# holders and text word for word.
copyright=$work/unpacked/usr/share/doc/tavok/copyright
head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
holders=$(sed -n 's/^Copyright ([cC]) //p' "$source/LICENSE")
grep -qxF "Copyright: $holders" "$copyright" || fail "the copyright file does not name \"$holders\""
sed '1,/^Copyright (/d' "$source/LICENSE" | sed '/./,$!d' >"$work/license.text"
sed '1,/^License: /d; s/^ \.$//; s/^ //' "$copyright" >"$work/copyright.text"
cmp -s "$work/license.text" "$work/copyright.text" || {
  fail "the licence text in the copyright file differs from LICENSE"
  diff "$work/license.text" "$work/copyright.text"
}

# ---- lintian ---------------------------------------------------------------
if command -v lintian >/dev/null 2>&1; then
  start=$SECONDS
  # Not with --show-overrides: lintian then fails on the overridden findings.
  lintian --tag-display-limit 0 --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
  status=$?
  grep -v '^running with root privileges' "$work/lintian.log"
  echo "time: lintian $((SECONDS - start)) s"
  [ "$status" = 0 ] || fail "lintian found errors or warnings (status $status)"
else
  skipped+=("lintian not found: the package was not checked by it")
fi

# ---- Installed into a throw-away root --------------------------------------
installed_with_dpkg=0
if [ "$(id -u)" = 0 ]; then
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  # The root holds none of the libraries the package depends on.
  if dpkg --root="$root" --force-depends -i "$deb" >"$work/dpkg.log" 2>&1; then
    installed_with_dpkg=1
  else
    cat "$work/dpkg.log"
    fail "dpkg -i into a throw-away root"
  fi
else
  echo "NOTE: not root: the package is unpacked with dpkg-deb --extract, not installed with dpkg -i"
  dpkg-deb --extract "$deb" "$root"
fi

# The installed files are those of make install, but for what packaging adds
# and the compressed manual pages.
(cd "$stage" && find . | LC_ALL=C sort) >"$work/stage.list"
{
  sed 's|^\(\./usr/share/man/man1/.*\.1\)$|\1.gz|' "$work/stage.list"
  printf '%s\n' ./usr/share/doc/tavok/changelog.Debian.gz ./usr/share/lintian \
                ./usr/share/lintian/overrides ./usr/share/lintian/overrides/tavok
} | LC_ALL=C sort >"$work/expected.list"
(cd "$root" && find . -path ./var -prune -o -print | LC_ALL=C sort) >"$work/installed.list"
if ! cmp -s "$work/expected.list" "$work/installed.list"; then
  fail "the package installs other files than make install (< make install, > package):"
  diff "$work/expected.list" "$work/installed.list"
fi
# Same contents, but for the programs, which the package strips.
while read -r path; do
  [ -f "$stage/$path" ] || continue
  case $path in
    ./usr/bin/*) ;;
    ./usr/share/man/man1/*.1) zcat "$root/$path.gz" 2>/dev/null | cmp -s - "$stage/$path" ||
                                fail "$path.gz in the package is not $path of make install" ;;
    *) cmp -s "$root/$path" "$stage/$path" || fail "$path differs between the package and make install" ;;
  esac
done <"$work/stage.list"

step "make uninstall" make -C "$clone" uninstall
[ -e "$stage" ] && { fail "make uninstall left the DESTDIR installation behind:"; (cd "$stage" && find .); }

# The packaged (stripped) program compiles the packaged example.
(cd "$work" && "$root/usr/bin/tavok" "$root/usr/share/doc/tavok/examples/hello.wmls" hello.wmlsc >/dev/null 2>&1)
status=$?
[ "$status" = 0 ] && [ -s "$work/hello.wmlsc" ] || fail "the packaged tavok failed on the example (status $status)"

# ---- Manual pages: rendered by man, synopsis against usage text ------------
# Every form of a command line, one a line, as "name options: ... operands:
# ...": options sorted (their order is free), operands in order and in lower
# case (a page shows FILE as italic file), brackets, bars and ellipses
# dropped; the options named in $2 are left out, and with $3 = all, every
# option (for a usage text that says just "[options]").
normalize_forms() {
  local leftOut=" $2 " which=${3:-}
  while read -r line; do
    [ -n "$line" ] || continue
    local -a words options=() operands=()
    read -r -a words <<<"$(tr '[]|<>{}' '       ' <<<"$line" | sed 's/\.\.\.//g; s/,/ /g')"
    local name=${words[0]}
    for word in "${words[@]:1}"; do
      case $word in
        -*) [[ $which == all || $leftOut == *" $word "* ]] || options+=("$word") ;;
        [oO][pP][tT][iI][oO][nN]|[oO][pP][tT][iI][oO][nN][sS]) ;;
        *) operands+=("${word,,}") ;;
      esac
    done
    echo "$name options: $(printf '%s\n' "${options[@]}" | LC_ALL=C sort -u | tr '\n' ' ')operands: ${operands[*]}"
  done <<<"$1" | LC_ALL=C sort -u
}

# The forms of the SYNOPSIS section of a rendered page: a line that begins
# with the program's name begins a form, any other line continues it.
synopsis_forms() {
  local program=$1 page=$2
  # groff may render a hyphen or a minus sign as U+2010 or U+2212.
  sed -n '/^SYNOPSIS$/,/^[A-Z]/p' "$page" | sed '1d;$d' | LC_ALL=C sed 's/^ *//; s/\xe2\x80\x90/-/g; s/\xe2\x88\x92/-/g' |
    awk -v p="$program" '$1 == p { if (form != "") print form; form = $0; next }
                         NF { form = form " " $0 }
                         END { if (form != "") print form }'
}

# The forms of a usage text: what follows "Usage:" (in any case), and each
# following line that begins with the program's name.
usage_forms() {
  local program=$1 text=$2
  awk -v p="$program" 'tolower($0) ~ /usage:/ { sub(/.*[Uu][Ss][Aa][Gg][Ee]: */, ""); print; inside = 1; next }
                       inside && $1 == p { sub(/^ */, ""); print; next }
                       { inside = 0 }' "$text"
}

# program | arguments that make it print its usage text | options of its
# synopsis that the usage text leaves out, on purpose
usage_cases="
tavok||-d
tavok-dis||
tavok-run||
"

if command -v man >/dev/null 2>&1; then
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -M "$root/usr/share/man" 1 "$name" \
      >"$work/$name.man" 2>"$work/$name.man.err"
    status=$?
    [ "$status" = 0 ] && [ -s "$work/$name.man" ] || fail "man $name: status $status, $(wc -c <"$work/$name.man") bytes"
    if [ -s "$work/$name.man.err" ]; then
      fail "man --warnings $name warns:"
      cat "$work/$name.man.err"
    fi
  done
  for program in "${programs[@]}"; do
    row=$(grep "^$program|" <<<"$usage_cases")
    [ -n "$row" ] || { fail "no row for $program in the usage table of this test"; continue; }
    IFS='|' read -r _ arguments leftOut <<<"$row"
    [ -s "$work/$program.man" ] || continue
    synopsis=$(synopsis_forms "$program" "$work/$program.man")
    if [ -z "$synopsis" ]; then
      skipped+=("the manual page of $program has no SYNOPSIS yet: its usage text was not compared")
      continue
    fi
    read -r -a argv <<<"$arguments"
    (cd "$work" && timeout 10 "$root/usr/bin/$program" "${argv[@]}" >"$work/$program.usage" 2>&1 </dev/null)
    usage=$(usage_forms "$program" "$work/$program.usage")
    if [ -z "$usage" ]; then
      fail "$program ${arguments:-(no arguments)} printed no usage text: $(head -c 300 "$work/$program.usage")"
      continue
    fi
    which=named
    grep -qiwE 'options?' <<<"$synopsis$usage" && which=all
    expected=$(normalize_forms "$synopsis" "$leftOut" "$which")
    actual=$(normalize_forms "$usage" "" "$which")
    if [ "$expected" != "$actual" ]; then
      fail "the SYNOPSIS of man $program does not match its usage text"
      echo "  SYNOPSIS: $synopsis"
      echo "  usage:    $usage"
    fi
  done
else
  skipped+=("man not found: the manual pages were not rendered")
fi

if [ "$installed_with_dpkg" = 1 ]; then
  dpkg --root="$root" -r tavok >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r in the throw-away root"; }
  left=$(cd "$root" && find . -path ./var -prune -o -print | grep -vx '\.')
  [ -z "$left" ] || fail "dpkg -r left behind: $left"
fi

[ "$failed" = 0 ] || exit 1
for reason in "${skipped[@]}"; do
  echo "SKIPPED: $reason"
done
if [[ " ${skipped[*]} " == *"lintian not found"* || " ${skipped[*]} " == *"man not found"* ]]; then
  echo "package: every other check passed"
  exit 77
fi
echo "package: all checks passed"
