#!/usr/bin/env python3
"""Times the virtual machine: instructions per second and start-up.

    machine.py [--tavok PATH] [--run PATH] [--repeat N] [--startups N] [--json FILE]

Two programs are compiled with tavok and run with tavok-run --stats:

  loop    for (i = 0; i < n; i++) s += i;   with n = 10,000,000
  fib     a recursive fib(27)

Each runs --repeat times; the table gives the instructions executed, the
fastest run's wall-clock and CPU time and the rates they give (tavok-run
counts the steps it executes and times the run itself, so process start-up
is not in these figures; these programs build no strings, so every step is
one instruction). On a machine shared with other work the
CPU rate is the one that says how fast the loop is.

Start-up: hello("world") of examples/hello.wmls, compiled, is run
--startups times as a whole process (fork, exec, load, verify, run, exit),
timed from this script; the table gives the minimum and the median.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PROGRAMS = {
    "loop": (
        "extern function loop(n) {\n"
        "  var s = 0, i;\n"
        "  for (i = 0; i < n; i++) s += i;\n"
        "  return s;\n"
        "}\n",
        ["10000000"],
    ),
    "fib": (
        "function fib(n) {\n"
        "  if (n < 2) return n;\n"
        "  return fib(n - 1) + fib(n - 2);\n"
        "}\n"
        "extern function main(n) {\n"
        "  return fib(n);\n"
        "}\n",
        ["27"],
    ),
}
ENTRY = {"loop": "loop", "fib": "main"}

STATS = re.compile(
    r"tavok-run: (\d+) steps in ([\d.]+) s \([\d.]+ million per second\), "
    r"CPU ([\d.]+) s")


def compile_unit(tavok, directory, name, source):
    path = os.path.join(directory, name + ".wmls")
    with open(path, "w", encoding="utf-8") as out:
        out.write(source)
    unit = os.path.join(directory, name + ".wmlsc")
    subprocess.run([tavok, path, unit], check=True, capture_output=True)
    return unit


def time_program(run, unit, function, arguments, repeat):
    best = None
    for _ in range(repeat):
        done = subprocess.run(
            [run, "--stats", "--max-steps", "4000000000", unit, function] + arguments,
            capture_output=True, text=True, check=False)
        if done.returncode != 0:
            sys.exit("tavok-run failed: " + done.stderr)
        match = STATS.search(done.stderr)
        if not match:
            sys.exit("no --stats line in: " + done.stderr)
        steps, wall, cpu = int(match.group(1)), float(match.group(2)), float(match.group(3))
        if best is None or cpu < best["cpu"]:
            best = {"instructions": steps, "wall": wall, "cpu": cpu,
                    "result": done.stdout.strip()}
    best["wall_rate"] = best["instructions"] / best["wall"] / 1e6 if best["wall"] else 0.0
    best["cpu_rate"] = best["instructions"] / best["cpu"] / 1e6 if best["cpu"] else 0.0
    return best


def time_startup(run, unit, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        done = subprocess.run([run, unit, "hello", "world"], capture_output=True, check=False)
        times.append(time.perf_counter() - start)
        if done.returncode != 0 or done.stdout.strip() != b'"Hello, world!"':
            sys.exit("hello did not run: " + done.stderr.decode(errors="replace"))
    return {"min_ms": min(times) * 1e3, "median_ms": statistics.median(times) * 1e3}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tavok", default=os.path.join(ROOT, "build", "tavok"))
    parser.add_argument("--run", default=os.path.join(ROOT, "build", "tavok-run"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--startups", type=int, default=50)
    parser.add_argument("--json")
    options = parser.parse_args()

    results = {}
    with tempfile.TemporaryDirectory() as directory:
        print("%-8s %14s %10s %10s %12s %12s  %s" % (
            "program", "instructions", "wall s", "CPU s", "M/s wall", "M/s CPU", "result"))
        for name, (source, arguments) in PROGRAMS.items():
            unit = compile_unit(options.tavok, directory, name, source)
            figures = time_program(options.run, unit, ENTRY[name], arguments, options.repeat)
            results[name] = figures
            print("%-8s %14d %10.3f %10.3f %12.1f %12.1f  %s" % (
                name, figures["instructions"], figures["wall"], figures["cpu"],
                figures["wall_rate"], figures["cpu_rate"], figures["result"]))
        hello = os.path.join(ROOT, "examples", "hello.wmls")
        unit = os.path.join(directory, "hello.wmlsc")
        subprocess.run([options.tavok, hello, unit], check=True, capture_output=True)
        startup = time_startup(options.run, unit, options.startups)
        results["startup"] = startup
        print("start-up, load, verify and run of hello(\"world\"), whole process: "
              "min %.2f ms, median %.2f ms over %d runs" % (
                  startup["min_ms"], startup["median_ms"], options.startups))
    if options.json:
        with open(options.json, "w", encoding="utf-8") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
