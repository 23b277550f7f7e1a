#!/usr/bin/env bash
# A time-boxed libFuzzer campaign against the verifying loader.
#
#   fuzz/run_loader.sh DURATION    DURATION: seconds, or a number with s, m or h
#
# Builds fuzz/loader_fuzz.cpp with the loader's sources under clang++
# -fsanitize=fuzzer,address,undefined in $FUZZ_BUILD (default
# build-fuzz-loader), builds tavok there too and seeds the corpus with the
# unit of every golden case compiled with and without -g, then fuzzes for
# DURATION with one process. Crashes, leaks, timeouts and oversized
# allocations go to fuzz/findings/ (loader-crash-*, loader-timeout-*, ...).
# A second run goes on from the corpus the first one left. At the end, when
# llvm-profdata-14 and llvm-cov-14 are there, the corpus is replayed through
# a source-coverage build and the coverage of the loader's files printed.
set -euo pipefail

usage() {
    echo "usage: fuzz/run_loader.sh DURATION   (e.g. 600, 30m, 2h)" >&2
    exit 2
}
[[ $# -eq 1 ]] || usage

toSeconds() {
    case "$1" in
        *h) echo $(( ${1%h} * 3600 )) ;;
        *m) echo $(( ${1%m} * 60 )) ;;
        *s) echo $(( ${1%s} )) ;;
        *[!0-9]* | '') usage ;;
        *) echo "$1" ;;
    esac
}
seconds=$(toSeconds "$1")

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$repo/build-fuzz-loader}
findings=$repo/fuzz/findings
corpus=$build/corpus
seeds=$build/seeds
mkdir -p "$build" "$findings" "$corpus"

# The target: only the loader's own sources, so that work in progress
# elsewhere in runtime/ cannot break the build.
target=$build/loader_fuzz
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$repo/runtime" -o "$target" "$repo/fuzz/loader_fuzz.cpp" \
    "$repo/runtime/loader.cpp" "$repo/runtime/verifier.cpp" "$repo/runtime/instructions.cpp"

# The seeds: every golden case that compiles, with and without -g; a -g
# unit also with its debug file behind it, which the target loads as such.
generator=$(command -v ninja >/dev/null && echo Ninja || echo "Unix Makefiles")
compiler=$build/compiler
if [[ ! -f $compiler/CMakeCache.txt ]]; then
    cmake -S "$repo" -B "$compiler" -G "$generator" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTAVOK_TESTS=OFF >/dev/null
fi
cmake --build "$compiler" --target tavok -j 1 >/dev/null
rm -rf "$seeds" && mkdir -p "$seeds"
count=0
while IFS= read -r -d '' source; do
    name=${source#"$repo"/tests/golden/}
    name=${name//\//_}
    "$compiler/tavok" "$source" "$seeds/${name%.wmls}.wmlsc" >/dev/null 2>&1 || true
    unit=$seeds/${name%.wmls}.g.wmlsc
    if "$compiler/tavok" -g "$source" "$unit" >/dev/null 2>&1 && [[ -f $unit.dbg ]]; then
        cat "$unit" "$unit.dbg" >"$unit+dbg"
    fi
    rm -f "$unit.dbg"
done < <(find "$repo/tests/golden" -name '*.wmls' -print0)
echo "seeded with $(find "$seeds" -name '*.wmlsc' | wc -l) compiled units" \
    "and $(find "$seeds" -name '*+dbg' | wc -l) units with their debug files"

# Leaks are hunted too: the loader holds nothing once it returns.
export ASAN_OPTIONS=symbolize=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
echo "fuzzing the loader for ${seconds}s; corpus $corpus"
mkdir -p "$findings"
"$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$findings/loader-" \
    "$corpus" "$seeds" || status=$?
echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
mkdir -p "$findings"
echo "findings: $(find "$findings" -name 'loader-*' | wc -l) in $findings"

# Source coverage of the loader over the corpus and the seeds.
if command -v llvm-profdata-14 >/dev/null && command -v llvm-cov-14 >/dev/null; then
    coverage=$build/coverage
    mkdir -p "$coverage"
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping \
        -I"$repo/runtime" -o "$coverage/loader_cov" "$repo/fuzz/loader_fuzz.cpp" \
        "$repo/runtime/loader.cpp" "$repo/runtime/verifier.cpp" "$repo/runtime/instructions.cpp"
    rm -f "$coverage"/*.profraw
    LLVM_PROFILE_FILE=$coverage/replay.profraw "$coverage/loader_cov" -runs=0 "$corpus" "$seeds" \
        >"$coverage/replay.log" 2>&1 || true
    llvm-profdata-14 merge -o "$coverage/replay.profdata" "$coverage/replay.profraw"
    llvm-cov-14 report "$coverage/loader_cov" -instr-profile="$coverage/replay.profdata" \
        "$repo/runtime/loader.cpp" "$repo/runtime/verifier.cpp"
fi
exit "${status:-0}"
