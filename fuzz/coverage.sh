#!/usr/bin/env bash
# How much of the compiler the campaign's corpus reaches: every input in the
# queues of build-fuzz/afl is compiled by a clang source-coverage build under
# no option, -g and -d, and the line, region and function coverage of
# source/ is printed.
#
#   fuzz/coverage.sh
#
# Environment:
#   FUZZ_BUILD      campaign directory's build (default <repo>/build-fuzz)
#   COVERAGE_BUILD  the coverage build (default <repo>/build-fuzzcov)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
campaign=${FUZZ_BUILD:-$repo/build-fuzz}/afl
build=${COVERAGE_BUILD:-$repo/build-fuzzcov}

if [[ ! -f $build/CMakeCache.txt ]]; then
    CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVOK_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
        -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate"
fi
cmake --build "$build" --target tavok -j 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
inputs=("$campaign"/*/queue/id:*)
[[ -e ${inputs[0]} ]] || { echo "no queue in $campaign" >&2; exit 1; }

# One profile per run would be thousands of files: %4m merges them into a
# few pools as the runs go.
export LLVM_PROFILE_FILE=$work/profile-%4m.profraw
for option in "" -g -d; do
    for input in "${inputs[@]}"; do
        timeout 10 "$build/tavok" $option "$input" "$work/out.wmlsc" >/dev/null 2>&1 || true
    done
done
llvm-profdata merge -o "$work/merged.profdata" "$work"/profile-*.profraw
echo "${#inputs[@]} inputs, each under no option, -g and -d"
llvm-cov report "$build/tavok" -instr-profile="$work/merged.profdata" "$repo/source" | tail -n 1 |
    awk '{ printf "regions %s, functions %s, lines %s of source/\n", $4, $7, $10 }'
