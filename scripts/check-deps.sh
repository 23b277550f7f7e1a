#!/usr/bin/env bash
# Checks what building and testing tavok needs: cmake, a C++20 compiler,
# bison 3.8 or newer and GoogleTest. Installs what is missing with apt-get
# when run as root; otherwise prints the apt-get line and fails.
#
# With --package, checks what making the Debian package needs instead:
# dpkg-shlibdeps (dpkg-dev), which computes the package's dependencies, and
# lintian, which checks the package. As root, installs what is missing;
# otherwise prints the apt-get line and goes on, since the package can be
# made without them (with dependencies named by hand, and unchecked).
set -u

if [ "${1:-}" = --package ]; then
  missing=()
  command -v dpkg-shlibdeps >/dev/null 2>&1 || missing+=(dpkg-dev)
  command -v lintian >/dev/null 2>&1 || missing+=(lintian)
  [ "${#missing[@]}" -eq 0 ] && exit 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "Packaging tools missing; the package is made without them. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 0
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
    echo "apt-get install -y ${missing[*]} failed" >&2
    exit 1
  }
  exit 0
fi

missing=()

command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)

if ! command -v c++ >/dev/null 2>&1 ||
   ! printf '#include <span>\nint main() { return 0; }\n' |
     c++ -std=c++20 -x c++ - -o /dev/null >/dev/null 2>&1; then
  missing+=(g++)
fi

bison_ok=0
if command -v bison >/dev/null 2>&1; then
  version=$(bison --version | head -n 1 | grep -o -E '[0-9]+\.[0-9]+' | head -n 1)
  major=${version%%.*}
  minor=${version#*.}
  if [ "${major:-0}" -gt 3 ] || { [ "${major:-0}" -eq 3 ] && [ "${minor:-0}" -ge 8 ]; }; then
    bison_ok=1
  fi
fi
[ "$bison_ok" -eq 1 ] || missing+=(bison)

gtest_found=0
for dir in /usr/include /usr/local/include; do
  [ -f "$dir/gtest/gtest.h" ] && gtest_found=1
done
[ "$gtest_found" -eq 1 ] || missing+=(libgtest-dev)

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing build tools. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null || {
  echo "apt-get install -y ${missing[*]} failed" >&2
  exit 1
}
