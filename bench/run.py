#!/usr/bin/env python3
"""Times the compiler on generated units of every shape and size.

    run.py [--tavok PATH] [--baseline OTHER_TAVOK] [--shapes a,b] [--sizes 0.1,1,4]
           [--repeat N] [--statements N] [--json FILE]

For each shape and size (in MB of source) the unit is generated once (see
generate.py) and compiled --repeat times. The table gives the minimum and
median wall-clock time, the CPU time (user + system) of the fastest run,
the source throughput of the fastest run, and the peak resident memory of
the compiler. A last row compiles one function of --statements simple
statements. Every run must end in "Compilation successful".

Wall-clock time depends on what else the machine is doing; CPU time much
less so, which is why both are shown.

With --baseline, a second compiler runs on the same units in the same run,
the two alternating run by run (at least 5 runs each), and the table gives
the median CPU time of each, their ratio, and both peak memory figures.
Every unit each compiler writes, and its messages, must be byte for byte
what the baseline writes.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHAPES = ("mixed", "constants", "longfunction", "deep", "statements", "chain")
DEFAULT_SHAPES = ("mixed", "constants", "longfunction", "deep", "statements")


def gnu_time():
    """GNU time, if installed: it measures the peak memory of the compiler alone.

    The peak that the kernel reports for a child of this script also counts
    the memory of this script at the moment of the fork."""
    path = "/usr/bin/time"
    try:
        probe = subprocess.run([path, "-f", "%M", "true"], capture_output=True, check=False)
    except OSError:
        return None
    return path if probe.returncode == 0 and probe.stderr.strip().isdigit() else None


def compile_once(tavok, source, work, timer, output=None):
    """Runs one compilation; returns (wall seconds, cpu seconds, peak RSS bytes, messages)."""
    output = output or os.path.join(work, "out.wmlsc")
    peak_file = os.path.join(work, "peak")
    command = [tavok, source, output]
    if timer:
        command = [timer, "-f", "%M", "-o", peak_file] + command
    with open(os.path.join(work, "stderr"), "w+b") as stderr, \
            open(os.devnull, "wb") as stdout:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=stdout, stderr=stderr)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        returncode = os.waitstatus_to_exitcode(status)
        stderr.seek(0)
        messages = stderr.read().decode("latin-1")
    if returncode != 0 or not messages.rstrip().endswith("Compilation successful"):
        tail = "\n".join(messages.rstrip().splitlines()[-5:])
        raise SystemExit(f"{source}: the compiler failed (status {returncode}):\n{tail}")
    peak_kb = usage.ru_maxrss
    if timer:
        with open(peak_file, encoding="ascii") as file:
            peak_kb = int(file.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, peak_kb * 1024, messages


def generated_unit(shape, size, count, work):
    amount = ["--size", str(size)] if size else ["--count", str(count)]
    source = os.path.join(work, f"{shape}{'-'.join(amount)}.wmls")
    if not os.path.exists(source):
        # In a process of its own, so that this script stays small.
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), shape, *amount,
                        "-o", source], check=True)
    return source


def measure(tavok, shape, size, count, repeat, work, timer):
    source = generated_unit(shape, size, count, work)
    source_bytes = os.path.getsize(source)
    runs = [compile_once(tavok, source, work, timer) for _ in range(repeat)]
    walls = sorted(run[0] for run in runs)
    fastest = min(runs, key=lambda run: run[0])
    return {
        "shape": shape,
        "source_mb": source_bytes / 1e6,
        "statements": count,
        "wall_min_s": walls[0],
        "wall_median_s": statistics.median(walls),
        "cpu_s": fastest[1],
        "mb_per_s": source_bytes / 1e6 / walls[0],
        "peak_rss_mb": max(run[2] for run in runs) / 1e6,
    }


def same_bytes(first, second):
    with open(first, "rb") as a, open(second, "rb") as b:
        return a.read() == b.read()


def compare(tavok, baseline, shape, size, count, repeat, work, timer):
    """Runs both compilers on one unit, alternating; checks their outputs agree."""
    source = generated_unit(shape, size, count, work)
    source_bytes = os.path.getsize(source)
    outputs = {tavok: os.path.join(work, "new.wmlsc"), baseline: os.path.join(work, "base.wmlsc")}
    runs = {tavok: [], baseline: []}
    for index in range(repeat):
        # Alternate which goes first, so that neither always follows the other.
        order = (tavok, baseline) if index % 2 == 0 else (baseline, tavok)
        for compiler in order:
            runs[compiler].append(compile_once(compiler, source, work, timer, outputs[compiler]))
        if not same_bytes(outputs[tavok], outputs[baseline]):
            raise SystemExit(f"{shape}: the unit {tavok} writes differs from the baseline's")
        if runs[tavok][-1][3] != runs[baseline][-1][3]:
            raise SystemExit(f"{shape}: the messages of {tavok} differ from the baseline's")
    new_cpu = statistics.median(run[1] for run in runs[tavok])
    base_cpu = statistics.median(run[1] for run in runs[baseline])
    return {
        "shape": shape,
        "source_mb": source_bytes / 1e6,
        "statements": count,
        "baseline_cpu_median_s": base_cpu,
        "cpu_median_s": new_cpu,
        "ratio": new_cpu / base_cpu if base_cpu else float("nan"),
        "baseline_peak_rss_mb": max(run[2] for run in runs[baseline]) / 1e6,
        "peak_rss_mb": max(run[2] for run in runs[tavok]) / 1e6,
    }


def print_comparison(rows):
    header = ("shape", "source MB", "baseline cpu s", "cpu s", "ratio", "baseline RSS MB",
              "RSS MB")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|")
    for row in rows:
        label = row["shape"] + (f" ({row['statements']:,})" if row["statements"] else "")
        print(f"| {label} | {row['source_mb']:.2f} | {row['baseline_cpu_median_s']:.3f} | "
              f"{row['cpu_median_s']:.3f} | {row['ratio']:.2f} | "
              f"{row['baseline_peak_rss_mb']:.1f} | {row['peak_rss_mb']:.1f} |")


def print_table(rows):
    header = ("shape", "source MB", "min s", "median s", "cpu s", "MB/s", "s per MB", "peak RSS MB")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|")
    for row in rows:
        label = row["shape"] + (f" ({row['statements']:,})" if row["statements"] else "")
        print(f"| {label} | {row['source_mb']:.2f} | {row['wall_min_s']:.3f} | "
              f"{row['wall_median_s']:.3f} | {row['cpu_s']:.3f} | {row['mb_per_s']:.1f} | "
              f"{row['wall_min_s'] / row['source_mb']:.3f} | {row['peak_rss_mb']:.1f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tavok", default=os.path.join(HERE, "..", "build", "tavok"))
    parser.add_argument("--shapes", default=",".join(DEFAULT_SHAPES))
    parser.add_argument("--sizes", default="0.1,1,4", help="source sizes in MB")
    parser.add_argument("--baseline", help="another compiler to compare against, run by run")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per unit (at least 5 with --baseline)")
    parser.add_argument("--statements", type=int, default=1_000_000,
                        help="simple statements in the last row (0: no such row)")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args()

    tavok = os.path.abspath(args.tavok)
    if not os.access(tavok, os.X_OK):
        raise SystemExit(f"no compiler at {tavok}: run `make build` first")
    shapes = [s for s in args.shapes.split(",") if s]
    for shape in shapes:
        if shape not in SHAPES:
            raise SystemExit(f"unknown shape {shape}; shapes: {', '.join(SHAPES)}")
    sizes = [int(float(s) * 1e6) for s in args.sizes.split(",") if s]
    baseline = None
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        if not os.access(baseline, os.X_OK):
            raise SystemExit(f"no baseline compiler at {baseline}")
        args.repeat = max(args.repeat, 5)

    timer = gnu_time()
    print(f"{tavok} on {platform.machine()}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.2f}; "
          + (f"against {baseline}, median of {args.repeat} alternating runs each; "
             if baseline else f"best of {args.repeat}; ")
          + "peak memory "
          + ("of the compiler alone (GNU time)" if timer else
             "as the kernel reports it for a child (install GNU time to leave this script out)"))
    rows = []
    with tempfile.TemporaryDirectory(prefix="tavok-bench-") as work:
        units = [(shape, size, None) for shape in shapes for size in sizes]
        if args.statements:
            units.append(("statements", None, args.statements))
        for shape, size, count in units:
            if baseline:
                rows.append(compare(tavok, baseline, shape, size, count, args.repeat, work,
                                    timer))
                note = (f"{rows[-1]['baseline_cpu_median_s']:.3f} s -> "
                        f"{rows[-1]['cpu_median_s']:.3f} s")
            else:
                rows.append(measure(tavok, shape, size, count, args.repeat, work, timer))
                note = f"{rows[-1]['wall_min_s']:.3f} s"
            label = f"{size / 1e6:g} MB" if size else f"{count:,} statements"
            print(f"  {shape} {label}: {note}", file=sys.stderr, flush=True)
    if baseline:
        print_comparison(rows)
    else:
        print_table(rows)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as file:
            json.dump(rows, file, indent=2)


if __name__ == "__main__":
    main()
