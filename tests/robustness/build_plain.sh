#!/usr/bin/env bash
# Builds the program without sanitizers for the tests that confine it with
# ulimit -v, which an AddressSanitizer build cannot run under.
#
#   build_plain.sh SOURCE_DIR BUILD_DIR [GENERATOR]
set -euo pipefail
source=$1
build=$2
generator=${3:-}
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$source" -B "$build" ${generator:+-G "$generator"} \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOK_SANITIZE=OFF -DTAVOK_TESTS=OFF
fi
cmake --build "$build" --target tavok -j 2
