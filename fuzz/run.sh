#!/usr/bin/env bash
# A time-boxed AFL++ campaign against the whole tavok program.
#
#   fuzz/run.sh DURATION        DURATION: seconds, or a number with s, m or h
#
# Builds tavok with AFL++ instrumentation, AddressSanitizer and
# UndefinedBehaviorSanitizer in $FUZZ_BUILD (default build-fuzz), seeds the
# campaign from the golden tests and the examples, fuzzes with the WMLScript
# dictionary for DURATION with one fuzzer process, then minimises every crash
# and hang into fuzz/findings/. A second run resumes the same campaign.
#
# Environment:
#   FUZZ_BUILD   build and campaign directory (default <repo>/build-fuzz)
#   FUZZ_ARGS    options given to tavok before the input (default "-g", which
#                also exercises the debug file; use "" for the plain path)
#   FUZZ_TIMEOUT milliseconds per execution (default 2000)
set -euo pipefail

usage() {
    echo "usage: fuzz/run.sh DURATION   (e.g. 600, 30m, 2h)" >&2
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
build=${FUZZ_BUILD:-$repo/build-fuzz}
args=${FUZZ_ARGS--g}
timeoutMs=${FUZZ_TIMEOUT:-2000}
findings=$repo/fuzz/findings
campaign=$build/afl
seeds=$build/seeds

# The fuzzer: Debian's afl++ package.
if ! command -v afl-fuzz >/dev/null || ! command -v afl-clang-fast++ >/dev/null; then
    if [[ $(id -u) -eq 0 ]]; then
        apt-get install -y afl++ || { apt-get update && apt-get install -y afl++; }
    else
        echo "AFL++ is missing: run 'apt-get install afl++' as root" >&2
        exit 1
    fi
fi

# The instrumented program. One build job: the machine is shared.
generator=$(command -v ninja >/dev/null && echo Ninja || echo "Unix Makefiles")
if [[ ! -f $build/CMakeCache.txt ]]; then
    CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S "$repo" -B "$build" -G "$generator" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOK_SANITIZE=ON -DTAVOK_TESTS=OFF
fi
cmake --build "$build" --target tavok -j 1
target=$build/tavok

# Sanitizer reports must abort so that AFL++ sees them as crashes; leaks are
# not hunted (fatal conditions exit with records still allocated), a run that
# grows beyond 2 GB is a finding, and an allocation the sanitizer refuses comes
# back as null so that the program's own out-of-memory path is exercised.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1:hard_rss_limit_mb=2048
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:symbolize=0:print_stacktrace=1
export AFL_SKIP_CPUFREQ=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1
export AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1

# The program's output goes to a temporary directory; the minimisers work
# beside the campaign (afl-cmin refuses /tmp).
outputDir=$(mktemp -d)
scratch=$build/minimise
trap 'rm -rf "$outputDir" "$scratch"' EXIT
output=$outputDir/out.wmlsc
# shellcheck disable=SC2206
command=("$target" $args @@ "$output")

if [[ -f $campaign/default/fuzzer_stats ]]; then
    input=-                      # resume the campaign where it stopped
else
    rm -rf "$seeds" && mkdir -p "$seeds"
    while IFS= read -r -d '' source; do
        name=${source#"$repo"/}
        cp "$source" "$seeds/${name//\//_}"
    done < <(find "$repo/tests/golden" "$repo/examples" -name '*.wmls' -size -64k -print0)
    input=$seeds
fi

# Units built by the grammar reach checks that byte mutation rarely builds:
# a fresh batch each run, offered to the fuzzer as a foreign queue that it
# takes from whatever brings new coverage (-F needs a main instance, -M).
foreign=$build/grammar-units
rm -rf "$foreign" && mkdir -p "$foreign"
if c++ -std=c++20 -O2 -o "$build/randomwmls" "$repo/tests/robustness/randomwmls.cpp"; then
    first=$(( $(date +%s) % 1000000 * 1000 ))
    for ((seed = first; seed < first + 200; ++seed)); do
        "$build/randomwmls" $seed >"$foreign/id:$seed.wmls"
    done
fi

echo "fuzzing ${command[*]} for ${seconds}s in $campaign"
afl-fuzz -i "$input" -o "$campaign" -M default -F "$foreign" -x "$repo/fuzz/wmlscript.dict" \
    -t "$timeoutMs" -m none -V "$seconds" -- "${command[@]}" || true

# The campaign's totals (cumulative over resumed runs).
stats=$campaign/default/fuzzer_stats
if [[ -f $stats ]]; then
    grep -E '^(run_time|execs_done|execs_per_sec|cycles_done|corpus_count|bitmap_cvg|edges_found|total_edges|saved_crashes|saved_hangs|stability) ' "$stats"
fi

# Minimise what was found: one smallest input per distinct crash path, then
# each input trimmed by afl-tmin.
minimise() {
    local kind=$1 mode=$2 found=$campaign/default/$1
    [[ -d $found ]] || return 0
    local files=("$found"/id:*)
    [[ -e ${files[0]} ]] || return 0
    local distinct=$scratch/$kind
    rm -rf "$distinct" && mkdir -p "$scratch"
    if [[ $kind == crashes ]]; then
        afl-cmin -C -i "$found" -o "$distinct" -t "$timeoutMs" -m none -- "${command[@]}" >/dev/null || cp -r "$found" "$distinct"
    else
        mkdir -p "$distinct" && cp "$found"/id:* "$distinct"/
    fi
    mkdir -p "$findings"
    # Minimised inputs are named by their contents, so that one fault found
    # along several paths, or again in a resumed run, is kept once.
    local n=0 file trimmed=$scratch/trimmed
    for file in "$distinct"/id:*; do
        [[ -e $file ]] || continue
        afl-tmin $mode -i "$file" -o "$trimmed" -t "$timeoutMs" -m none \
            -- "${command[@]}" >/dev/null 2>&1 || cp "$file" "$trimmed"
        local name=$findings/${kind%es}-$(md5sum <"$trimmed" | cut -c1-12).wmls
        [[ -e $name ]] || { mv "$trimmed" "$name"; n=$((n + 1)); }
    done
    echo "$n new $kind minimised into $findings"
}
minimise crashes ""
minimise hangs -H
