#!/usr/bin/env bash
# One end-to-end run of tavok-run against its expected outcome.
#
#   run_case.sh TAVOK TAVOK_RUN tests/run/NAME.args
#
# NAME.args holds the command line of tavok-run, one argument per line, in
# which {unit} is NAME.wmls compiled with -g into a fresh directory (as
# NAME.wmlsc beside NAME.wmlsc.dbg), {source} is NAME.wmls itself, {dir} the
# fresh directory and {root} the repository. Lines that start with '#' are
# directives:
#   #nodebug          compile NAME.wmls without -g (no debug file)
#   #compile OTHER    also compile OTHER.wmls into the directory (with -g)
# NAME.stdin, when it exists, is the standard input of the run (for the
# dialogs); otherwise the input is empty.
# NAME.expected holds "status N", then "--- stdout" and the standard output,
# then "--- stderr" and the error stream, with the directory written {dir}
# and the repository {root}. UPDATE=1 rewrites NAME.expected instead.
set -uo pipefail

tavok=$(realpath "$1")
tavokRun=$(realpath "$2")
argsFile=$(realpath "$3")
here=$(dirname "$argsFile")
root=$(cd "$here/../.." && pwd)
name=$(basename "$argsFile" .args)
expectedFile=$here/$name.expected

dir=$(mktemp -d "${TMPDIR:-/tmp}/tavok-run-case.XXXXXX")
trap 'rm -rf "$dir"' EXIT

compileFlags=(-g)
arguments=()
while IFS= read -r line || [[ -n $line ]]; do
    case "$line" in
        '#nodebug') compileFlags=() ;;
        '#compile '*)
            other=${line#'#compile '}
            "$tavok" -g "$here/$other.wmls" "$dir/$other.wmlsc" >/dev/null 2>&1 ||
                { echo "cannot compile $other.wmls"; exit 1; } ;;
        '#'*) ;;
        *)
            line=${line//\{unit\}/$dir/$name.wmlsc}
            line=${line//\{source\}/$here/$name.wmls}
            line=${line//\{dir\}/$dir}
            line=${line//\{root\}/$root}
            arguments+=("$line") ;;
    esac
done < "$argsFile"

if [[ -f $here/$name.wmls ]]; then
    "$tavok" "${compileFlags[@]}" "$here/$name.wmls" "$dir/$name.wmlsc" >/dev/null 2>&1 || true
fi

# Run from the directory, so that relative paths in messages stay short.
input=/dev/null
[[ -f $here/$name.stdin ]] && input=$here/$name.stdin
(cd "$dir" && "$tavokRun" "${arguments[@]}" <"$input" >"$dir/stdout" 2>"$dir/stderr")
status=$?
# The sanitizers' own status would hide a crash behind a plausible number.
if grep -q "Sanitizer\|runtime error" "$dir/stderr"; then
    cat "$dir/stderr"
    exit 1
fi

actual=$dir/actual
{
    echo "status $status"
    echo "--- stdout"
    cat "$dir/stdout"
    echo "--- stderr"
    sed -e "s|$dir|{dir}|g" -e "s|$root|{root}|g" "$dir/stderr"
} >"$actual"

if [[ ${UPDATE:-} == 1 ]]; then
    cp "$actual" "$expectedFile"
    exit 0
fi
if ! diff -u "$expectedFile" "$actual"; then
    echo "FAIL: $name (expected $expectedFile)"
    exit 1
fi
