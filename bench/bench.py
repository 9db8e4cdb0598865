#!/usr/bin/env python3
"""Runs the experiments behind the figures in the README on the machine at hand and prints
them as Markdown tables: the price of the guard and the rate of the race under each core
placement, with the kernel's work behind them; the checker against `wc -l`; and the cost of
starting each program, timed by hyperfine. Each figure is a median over several runs, with
their range."""

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPERIMENTS = ("guard", "race", "checker", "startup")
# Where the producer's two workers may run, and where its reader may. Pinning the producer
# to one core makes its workers share that core: a semaphore hand-off is then a switch on
# one core, and the race shows only when a worker is preempted between load and store.
PLACEMENTS = {"one core": (["taskset", "-c", "0"], []),
              "all cores": ([], []),
              "split": (["taskset", "-c", "0"], ["taskset", "-c", "1"])}
PROGRAMS = {"guard": ("guardtally", "serialtally"), "race": ("loosetally", "serialtally")}
# The counter table's columns: heading, measurement, digits and scale of each cell.
COLUMNS = (("M lines/s", "rate", 2, 1e-6), ("× serial bound", "bound", 2, 1),
           ("breaks per M lines", "breaks", 0, 1), ("drift", "drift", 0, 1),
           ("mean run", "runs", 1, 1), ("voluntary switches", "voluntary", 1, 1),
           ("involuntary switches", "involuntary", 1, 1), ("system µs", "system", 0, 1),
           ("futex calls", "futex", 1, 1))


def version():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as build:
        return re.search(r"project\(glassbox\s+VERSION (\S+)", build.read()).group(1)


def cell(values, digits=1, scale=1.0):
    """The median and range of values, as one table cell."""
    values = sorted(value * scale for value in values)
    median = statistics.median(values)
    return f"{median:,.{digits}f} ({values[0]:,.{digits}f}–{values[-1]:,.{digits}f})"


def summary_field(summary, pattern):
    return float(re.search(pattern, summary, re.M).group(1))


class Bench:
    def __init__(self, args):
        self.args = args
        self.env = dict(os.environ, LC_ALL="C",
                        PATH=os.pathsep.join((args.bin, args.tools, os.environ["PATH"])))
        self.scratch = tempfile.TemporaryDirectory(
            dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
        self.trace = os.path.join(self.scratch.name, "trace")
        self.perf = shutil.which("perf") and subprocess.run(
            ["perf", "stat", "-e", "syscalls:sys_enter_futex", "-o", os.devnull, "true"],
            capture_output=True, check=False).returncode == 0

    def check(self, path):
        return subprocess.run(["tallycheck", path], env=self.env, capture_output=True,
                              text=True, check=False).stdout

    def counter_run(self, program, placement):
        """One run of `program | head -n LINES` into a file, timed; the producer's kernel
        work from its own resource usage and, where perf can count it, its futex calls;
        then the checker's summary of the trace."""
        producer_cpus, reader_cpus = PLACEMENTS[placement]
        counts = os.path.join(self.scratch.name, "perf")
        perf = (["perf", "stat", "-x,", "-e", "syscalls:sys_enter_futex", "-o", counts, "--"]
                if self.perf else [])
        # What the producer says goes to a file, read only if it falls short: perf's
        # launcher may report the broken pipe that ends every run.
        with open(self.trace, "wb") as trace, tempfile.TemporaryFile("w+") as errors:
            start = time.perf_counter()
            producer = subprocess.Popen([*perf, *producer_cpus, program], env=self.env,
                                        stdout=subprocess.PIPE, stderr=errors)
            reader = subprocess.Popen([*reader_cpus, "head", "-n", str(self.args.lines)],
                                      env=self.env, stdin=producer.stdout, stdout=trace)
            producer.stdout.close()
            reader.wait()
            _, status, usage = os.wait4(producer.pid, 0)
            seconds = time.perf_counter() - start
            producer.returncode = os.waitstatus_to_exitcode(status)
            summary = self.check(self.trace)
            lines = self.args.lines
            if summary_field(summary, r"^lines: (\d+)") != lines:
                errors.seek(0)
                sys.exit(f"bench.py: {program} stopped before {lines} lines:\n{errors.read()}"
                         f"{summary}")
        run = {"rate": lines / seconds,
               "voluntary": usage.ru_nvcsw * 1000 / lines,
               "involuntary": usage.ru_nivcsw * 1000 / lines,
               "system": usage.ru_stime * 1e9 / lines,  # µs per 1,000 lines
               "breaks": summary_field(summary, r"^breaks: (\d+)") * 1e6 / lines,
               "drift": summary_field(summary, r"^drift: (-?\d+)"),
               "runs": summary_field(summary, r"^runs: \d+, mean length ([\d.]+)")}
        if self.perf:
            with open(counts, encoding="utf-8") as perf_output:
                futex = re.search(r"^(\d+),.*syscalls:sys_enter_futex", perf_output.read(), re.M)
            run["futex"] = int(futex.group(1)) * 1000 / lines
        return run

    def counters(self, experiments):
        placements = [name for name in PLACEMENTS
                      if name != "split" or len(os.sched_getaffinity(0)) >= 2]
        programs = [program for program in ("guardtally", "loosetally", "serialtally")
                    if any(program in PROGRAMS[experiment] for experiment in experiments)]
        columns = [column for column in COLUMNS if column[1] != "futex" or self.perf]
        headings = ["program", "placement"] + [heading for heading, *_ in columns]
        print("| " + " | ".join(headings) + " |\n|" + "---|" * len(headings))
        for placement in placements:
            runs = {program: [self.counter_run(program, placement)
                              for _ in range(self.args.runs)] for program in programs}
            bound = statistics.median(run["rate"] for run in runs["serialtally"])
            for program, measured in runs.items():
                for run in measured:
                    run["bound"] = run["rate"] / bound
                cells = [cell([run[key] for run in measured], digits, scale)
                         for _, key, digits, scale in columns]
                print("| " + " | ".join([f"`{program}`", placement, *cells]) + " |")
        print("\nThe kernel's work is per 1,000 lines, from the producer's resource usage"
              + (" and perf's count of futex calls." if self.perf else
                 "; perf cannot count futex calls here."))

    def timed(self, command):
        start = time.perf_counter()
        subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start

    def checker(self):
        subprocess.run(f"guardtally | head -n {self.args.lines} > {self.trace}", shell=True,
                       env=self.env, check=True)
        self.timed(["cat", self.trace])  # into the page cache
        pairs = [(self.timed(["tallycheck", self.trace]), self.timed(["wc", "-l", self.trace]))
                 for _ in range(self.args.runs)]
        lines = self.args.lines
        print("| measure | median (min–max) |\n|---|---|")
        print(f"| `tallycheck` on a cached trace, M lines/s | "
              f"{cell([lines / check for check, _ in pairs], 1, 1e-6)} |")
        print(f"| `wc -l` on the same file, the floor, M lines/s | "
              f"{cell([lines / count for _, count in pairs], 1, 1e-6)} |")
        print(f"| `tallycheck` time / `wc -l` time | "
              f"{cell([check / count for check, count in pairs], 1)} |")

    def startup(self):
        if not shutil.which("hyperfine"):
            print("hyperfine is not installed (Debian: apt-get install hyperfine): "
                  "no start-up figures.")
            return
        table = os.path.join(self.scratch.name, "startup.md")
        listed = os.path.join(self.scratch.name, "listed")
        os.mkdir(listed)  # an empty folder, so that the listing costs the same every run
        commands = ["/bin/true"] + [os.path.join(self.args.bin, name)
                                    for name in ("rawhello", "swaplist", "spawnlist")]
        subprocess.run(["hyperfine", "-N", "--style", "basic", "--warmup", "3",
                        "--runs", str(max(self.args.runs, 2) * 20), "--export-markdown", table,
                        *commands], cwd=listed, env=self.env, check=True,
                       stdout=subprocess.DEVNULL)
        with open(table, encoding="utf-8") as markdown:
            print(markdown.read().replace(self.args.bin + os.sep, "").rstrip())
        print("\n`spawnlist` is timed until its parent exits; the listing runs on after it.")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-e", "--experiment", action="append", choices=EXPERIMENTS,
                        help="run only this experiment; may be repeated (default: all)")
    parser.add_argument("-n", "--lines", type=int, default=5_000_000,
                        help="lines of each counter run (default: %(default)s)")
    parser.add_argument("-r", "--runs", type=int, default=5,
                        help="runs of each measurement (default: %(default)s)")
    parser.add_argument("--bin", default=os.path.join(SOURCE, "build", "default", "bin"),
                        help="folder of the built programs (default: %(default)s)")
    parser.add_argument("--tools", default=os.path.join(SOURCE, "build", "default", "bench"),
                        help="folder of the benchmark's own programs (default: %(default)s)")
    parser.add_argument("--build", default="", help="how the programs were built, for the "
                                                    "heading")
    parser.add_argument("--version", action="version", version=f"%(prog)s (glassbox) {version()}")
    args = parser.parse_args()
    if args.lines < 1 or args.runs < 1:
        parser.error("--lines and --runs take a whole number above 0")
    experiments = args.experiment or EXPERIMENTS

    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        processor = next((line.split(":", 1)[1].strip() for line in cpuinfo
                          if line.startswith("model name")), platform.machine())
    print(f"Machine: {processor}, {len(os.sched_getaffinity(0))} cores, Linux "
          f"{platform.release()}." + (f" Build: {args.build}." if args.build else ""))
    print(f"Each figure: the median of {args.runs} runs, with their range; "
          f"{args.lines:,} lines in each counter run.")
    bench = Bench(args)
    if "guard" in experiments or "race" in experiments:
        print("\n### The counter programs by placement\n")
        bench.counters([e for e in experiments if e in PROGRAMS])
    if "checker" in experiments:
        print("\n### The checker against the cost of reading the bytes\n")
        bench.checker()
    if "startup" in experiments:
        print("\n### Start to exit, timed by hyperfine\n")
        bench.startup()


if __name__ == "__main__":
    main()
