#!/usr/bin/env python3
"""Times the runtime's loader on a big compiled unit: tavok-dis verifies it
under the strict rules and lists it, the whole listing written once.

    runtime.py [--tavok PATH] [--dis PATH] [--source-size SIZE] [--repeat N]

A `mixed` unit (see generate.py) of --source-size bytes of source (17M by
default, which compiles to about 4.2 MB) is generated and compiled once,
then `tavok-dis --strict UNIT` and `tavok-dis --raw UNIT` run --repeat times
each with their output thrown away. The table gives the unit's size, the
minimum and median wall-clock time, the CPU time (user + system) of the
fastest run, the size of the listing and the peak resident memory.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_once(command):
    """Returns (wall seconds, cpu seconds, peak RSS bytes, stdout bytes)."""
    with tempfile.TemporaryFile() as stderr, tempfile.TemporaryFile() as stdout:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=stdout, stderr=stderr)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        returncode = os.waitstatus_to_exitcode(status)
        listed = stdout.seek(0, os.SEEK_END)
        if returncode != 0:
            stderr.seek(0)
            raise SystemExit(f"{' '.join(command)} failed (status {returncode}):\n"
                             + stderr.read().decode("latin-1")[-800:])
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, listed


def measure(label, command, repeat):
    runs = [run_once(command) for _ in range(repeat)]
    walls = sorted(run[0] for run in runs)
    fastest = min(runs, key=lambda run: run[0])
    return {"label": label, "wall_min_s": walls[0], "wall_median_s": statistics.median(walls),
            "cpu_s": fastest[1], "peak_rss_mb": max(run[2] for run in runs) / 1e6,
            "listing_mb": fastest[3] / 1e6}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tavok", default=os.path.join(HERE, "..", "build", "tavok"))
    parser.add_argument("--dis", default=os.path.join(HERE, "..", "build", "tavok-dis"))
    parser.add_argument("--source-size", default="17M")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    tavok, dis = os.path.abspath(args.tavok), os.path.abspath(args.dis)
    for program in (tavok, dis):
        if not os.access(program, os.X_OK):
            raise SystemExit(f"no program at {program}: run `make build` first")

    with tempfile.TemporaryDirectory(prefix="tavok-bench-") as work:
        source = os.path.join(work, "mixed.wmls")
        unit = os.path.join(work, "mixed.wmlsc")
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), "mixed",
                        "--size", args.source_size, "-o", source], check=True)
        compiled = subprocess.run([tavok, source, unit], capture_output=True, check=False)
        if compiled.returncode != 0:
            raise SystemExit(f"{source} does not compile:\n{compiled.stderr.decode('latin-1')[-800:]}")
        unit_mb = os.path.getsize(unit) / 1e6
        print(f"{dis} on {platform.machine()}, {os.cpu_count()} CPUs, load average "
              f"{os.getloadavg()[0]:.2f}; a mixed unit of {unit_mb:.2f} MB "
              f"({os.path.getsize(source) / 1e6:.1f} MB of source); best of {args.repeat}")
        rows = [measure("load, verify (strict) and list", [dis, "--strict", unit], args.repeat),
                measure("load, verify and list raw", [dis, "--raw", unit], args.repeat)]

    header = ("tavok-dis", "unit MB", "min s", "median s", "cpu s", "listing MB", "peak RSS MB")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|")
    for row in rows:
        print(f"| {row['label']} | {unit_mb:.2f} | {row['wall_min_s']:.3f} | "
              f"{row['wall_median_s']:.3f} | {row['cpu_s']:.3f} | {row['listing_mb']:.1f} | "
              f"{row['peak_rss_mb']:.1f} |")


if __name__ == "__main__":
    main()
