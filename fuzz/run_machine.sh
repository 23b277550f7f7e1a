#!/usr/bin/env bash
# A time-boxed libFuzzer campaign against the virtual machine.
#
#   fuzz/run_machine.sh DURATION      DURATION: seconds, or a number with s, m or h
#
# Builds fuzz/machine_fuzz.cpp with the runtime library under libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in $FUZZ_BUILD (default
# build-fuzz-machine), seeds the corpus with every golden source that tavok
# compiles (mutations of verified units are what reach the machine), runs
# for DURATION and copies what it finds into fuzz/findings/machine/.
# A second run resumes from the same corpus.
set -euo pipefail

usage() {
    echo "usage: fuzz/run_machine.sh DURATION   (e.g. 600, 30m, 2h)" >&2
    exit 2
}
[[ $# -eq 1 ]] || usage
case "$1" in
    *h) seconds=$(( ${1%h} * 3600 )) ;;
    *m) seconds=$(( ${1%m} * 60 )) ;;
    *s) seconds=$(( ${1%s} )) ;;
    *[!0-9]* | '') usage ;;
    *) seconds=$1 ;;
esac

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$repo/build-fuzz-machine}
corpus=$build/corpus
artifacts=$build/artifacts
findings=$repo/fuzz/findings/machine
mkdir -p "$build/objects" "$corpus" "$artifacts"
rm -f "$artifacts"/*  # earlier findings were copied out when their run ended

# The target, one object per runtime source so a second run rebuilds little.
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -I"$repo/runtime")
objects=()
for source in "$repo"/runtime/*.cpp; do
    [[ $source == *_main.cpp ]] && continue
    object=$build/objects/$(basename "${source%.cpp}").o
    if [[ ! -f $object || $source -nt $object || $repo/runtime -nt $object ]]; then
        clang++ "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
    fi
    objects+=("$object")
done
clang++ "${flags[@]}" -fsanitize=fuzzer "$repo/fuzz/machine_fuzz.cpp" "${objects[@]}" \
    -o "$build/machine_fuzz"

# Seeds: the golden sources compiled by tavok (a plain build of it).
tavok=$repo/build/tavok
if [[ ! -x $tavok ]]; then
    cmake -S "$repo" -B "$build/tavok" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOK_TESTS=OFF >/dev/null
    cmake --build "$build/tavok" --target tavok -j 1 >/dev/null
    tavok=$build/tavok/tavok
fi
count=0
while IFS= read -r -d '' source; do
    name=$(echo "${source#$repo/}" | tr '/' '_')
    if "$tavok" "$source" "$corpus/seed_${name%.wmls}.wmlsc" >/dev/null 2>&1; then
        count=$((count + 1))
    fi
done < <(find "$repo/tests/golden" "$repo/examples" "$repo/tests/run" -name '*.wmls' -print0 2>/dev/null)
echo "seeds: $count compiled units in $corpus"

# libFuzzer's own time-out per input stays well above what the budgets allow.
# AddressSanitizer keeps freed memory for reuse: with its default quarantine
# and no release to the system, the process grew past 2 GB in seven minutes
# while the live heap stayed under 30 MB. A smaller quarantine and periodic
# release keep the resident size for what the inputs use; one allocation
# above 1 GB is still reported.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32:allocator_release_to_os_interval_ms=100}
status=0
"$build/machine_fuzz" "$corpus" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -malloc_limit_mb=1024 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" ||
    status=$?

if compgen -G "$artifacts/*" >/dev/null; then
    mkdir -p "$findings"
    cp "$artifacts"/* "$findings"/
    echo "findings copied to $findings"
fi
exit $status
