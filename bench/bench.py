#!/usr/bin/env python3
"""Runs the experiments behind the figures in the README on the machine at hand and prints
them as Markdown tables: the price of the guard and the rate of the race under each core
placement, with the kernel's work behind them; the checker against `wc -l` and `cat`; the
cost of starting each program, timed by hyperfine; and interleave's speed holding
loosetally, against the program's bare start and gdb's, with the outcomes of every
schedule. Each figure is a median over several runs, with their range. A run during which
other work kept the machine busy is marked as disturbed and left out of the medians;
--records keeps every counter run, --traces one trace of each program and placement, and
--plot draws the figures from them."""

import argparse
import errno
import importlib
import os
import platform
import shlex
import subprocess
import sys

import schedules
import tables
from experiments import Bench, sample_load
from records import PROGRAMS, write_records
from tables import count

# The source tree is where the script itself lies, wherever a symlink to it was run from.
SOURCE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
EXPERIMENTS = ("guard", "race", "checker", "startup", "schedules")
# What each experiment runs: the built programs (--bin) and the benchmark's own (--tools).
NEEDS = {"guard": ("guardtally", "serialtally", "tallycheck"),
         "race": ("loosetally", "serialtally", "tallycheck"),
         "checker": ("guardtally", "loosetally", "tallycheck"),
         "startup": ("rawhello", "swaplist", "spawnlist"),
         "schedules": ("loosetally", "guardtally", "interleave", "fetchaddtally",
                       "petersontally", "petersonfencetally")}
TOOLS = ("serialtally", "fetchaddtally", "petersontally", "petersonfencetally")


def version():
    """The project's version: the one line of the file VERSION, which CMake reads too."""
    with open(os.path.join(SOURCE, "VERSION"), encoding="utf-8") as line:
        return line.readline().strip()


def find_matplotlib():
    """Debian's matplotlib loads only in Debian's own interpreter, which need not be the
    python3 first on PATH: where this one lacks it and that one has it, the bench starts
    again in that one."""
    try:
        importlib.import_module("matplotlib")  # whether it loads is the question
        return
    except ImportError:
        pass
    system = "/usr/bin/python3"
    if (os.path.realpath(sys.executable) != os.path.realpath(system)
            and os.access(system, os.X_OK)
            and subprocess.run([system, "-c", "import matplotlib"], capture_output=True,
                               check=False).returncode == 0):
        os.execv(system, [system, os.path.abspath(__file__), *sys.argv[1:]])
    sys.exit("bench.py: --plot needs matplotlib, which this Python cannot load: install it "
             "(Debian: apt-get install python3-matplotlib)")


def ensure_built(args, experiments):
    """Builds the programs that the experiments need where they are missing from a CMake
    build tree; stops with the command that builds them where they are not in one."""
    def folder(name):
        return args.tools if name in TOOLS else args.bin

    def missing():
        wanted = {name for experiment in experiments for name in NEEDS[experiment]}
        return sorted(name for name in wanted
                      if not os.access(os.path.join(folder(name), name), os.X_OK))

    if not missing():
        return
    trees = {os.path.dirname(os.path.abspath(folder(name))) for name in missing()}
    tree = trees.pop()
    if not trees and os.path.exists(os.path.join(tree, "CMakeCache.txt")):
        command = ["cmake", "--build", tree, "--target", *missing()]
        print(f"bench.py: building what is missing: {shlex.join(command)}", file=sys.stderr)
        subprocess.run(command, stdout=sys.stderr, check=False)
    if missing():
        sys.exit(f"bench.py: {', '.join(missing())} not built in {shlex.quote(args.bin)} or "
                 f"{shlex.quote(args.tools)}; build them with: "
                 "cmake --preset default && cmake --build build/default")


def check_quiet(disturbed_percent, seconds=2):
    """Says how much of the machine other work used over a few seconds and whether a run
    measured meanwhile would count as quiet; returns the status."""
    load = sample_load(seconds)
    quiet = load <= disturbed_percent / 100
    print(f"Other work used {load:.0%} of all CPUs over {seconds} seconds: "
          + ("quiet enough to measure" if quiet else "too busy to measure: the race hides "
             "and the timings slow; wait, or close other work, and run this again")
          + f" (a run is disturbed above {disturbed_percent:g}%).")
    return 0 if quiet else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-e", "--experiment", action="append", choices=EXPERIMENTS,
                        help="run only this experiment; may be repeated (default: all)")
    parser.add_argument("-n", "--lines", type=int, default=5_000_000,
                        help="lines of each counter run (default: %(default)s)")
    parser.add_argument("-r", "--runs", type=int, default=5,
                        help="runs of each measurement; of the schedules' timings, rounds "
                             "(default: %(default)s)")
    parser.add_argument("--checker-lines", type=int, default=20_000_000, metavar="LINES",
                        help="lines of each trace that the checker reads, long enough that "
                             "starting a command costs little beside it (default: %(default)s)")
    parser.add_argument("--disturbed", type=float, default=10, metavar="PERCENT",
                        help="mark a run as disturbed when other work used more than this "
                             "share of all CPUs while it ran (default: %(default)s)")
    parser.add_argument("--check-quiet", action="store_true",
                        help="run nothing: watch the machine for 2 seconds and say whether "
                             "other work leaves it quiet enough to measure, by --disturbed; "
                             "status 0 when it does, 1 when it does not")
    parser.add_argument("--records", action="append", default=[], metavar="FILE",
                        help="write one record a counter run to FILE, as CSV if its name "
                             "ends in .csv, as JSON lines if it ends in .jsonl; may be repeated")
    parser.add_argument("--traces", metavar="DIR",
                        help="keep one trace of each program and placement in DIR: of the "
                             "quiet runs, the one with the median number of runs (turns)")
    parser.add_argument("--plot", metavar="DIR",
                        help="draw the figures of the guard and the race, and of the "
                             "schedules, into DIR as SVG (needs matplotlib)")
    parser.add_argument("--png", action="store_true", help="with --plot, draw PNG files too")
    parser.add_argument("--bin", default=os.path.join(SOURCE, "build", "default", "bin"),
                        help="folder of the built programs (default: %(default)s)")
    parser.add_argument("--tools", default=os.path.join(SOURCE, "build", "default", "bench"),
                        help="folder of the benchmark's own programs (default: %(default)s)")
    parser.add_argument("--build", default="", help="how the programs were built, for the "
                                                    "heading")
    parser.add_argument("--version", action="version", version=f"%(prog)s (glassbox) {version()}")
    args = parser.parse_args()
    if min(args.lines, args.runs, args.checker_lines) < 1:
        parser.error("--lines, --runs and --checker-lines take a whole number above 0")
    if not 0 <= args.disturbed <= 100:
        parser.error("--disturbed takes a share of the CPUs from 0 to 100")
    for path in args.records:
        if not path.endswith((".csv", ".jsonl")):
            parser.error(f"--records {shlex.quote(path)}: the name ends in .csv or .jsonl")
    if args.check_quiet:
        sys.exit(check_quiet(args.disturbed))
    experiments = args.experiment or EXPERIMENTS
    # The counters' figures are drawn from the guard and race experiments together, the
    # schedules' from theirs.
    counter_figures = {"guard", "race"} & set(experiments)
    if args.plot:
        if counter_figures not in (set(), {"guard", "race"}) or not (
                counter_figures or "schedules" in experiments):
            parser.error("--plot draws from the guard and race experiments together, and "
                         "from schedules: run both of the first, or schedules, or all three")
        find_matplotlib()
    if args.png and not args.plot:
        parser.error("--png draws the figures of --plot as PNG too: give --plot DIR")
    ensure_built(args, experiments)
    # Every file and folder that the user named is made now, so that a wrong name stops the
    # bench before its runs, not after them.
    try:
        files = [open(path, "w", encoding="utf-8", newline="") for path in args.records]
        for folder in filter(None, (args.traces, args.plot)):
            os.makedirs(folder, exist_ok=True)
    except OSError as error:
        sys.exit(f"bench.py: cannot write {shlex.quote(error.filename)}: {error.strerror}")

    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
        processor = next((line.split(":", 1)[1].strip() for line in cpuinfo
                          if line.startswith("model name")), platform.machine())
    machine = (f"{processor}, {count(len(os.sched_getaffinity(0)), 'core')}, Linux "
               f"{platform.release()}")
    print(f"Machine: {machine}." + (f" Build: {args.build}." if args.build else ""))
    counters = [experiment for experiment in experiments if experiment in PROGRAMS]
    print(f"Each figure: the median of {count(args.runs, 'run')}"
          + (", with their range" if args.runs > 1 else "")
          + (f"; {count(args.lines, 'line')} in each counter run"
             if counters or "checker" in experiments else "")
          + (f", {count(args.checker_lines, 'line')} in each trace that the checker reads."
             if "checker" in experiments else "."))
    bench = Bench(args)
    if counters:
        placements = bench.counters(counters)
        for experiment in counters:
            tables.counter_table(bench.records, experiment, placements, bench.perf)
        tables.counter_note(args.disturbed, bench.perf)
        write_records(bench.records, files)
    if args.plot and counter_figures:
        import figures  # here, so that only --plot needs matplotlib
        caption = (f"{machine}; {count(args.runs, 'run')} of {count(args.lines, 'line')} per "
                   "program and placement. Placements: one core, the producer and its reader "
                   "under taskset -c 0; all cores, free; split, the producer under taskset "
                   "-c 0 and its reader under taskset -c 1. Disturbed: other work used more than "
                   f"{args.disturbed:g}% of all CPUs.")
        figures.Figures(bench.records, bench.kept, bench.check, caption).draw_all(args.plot,
                                                                                  args.png)
    if "checker" in experiments:
        tables.checker_table(bench.checker(), args.checker_lines)
    if "startup" in experiments:
        tables.startup_table(bench.startup())
    if "schedules" in experiments:
        speed, found, orders = schedules.run(bench)
        tables.schedule_tables(speed, found, args.disturbed)
        tables.order_table(orders)
        if args.plot:
            import schedule_figures
            schedule_figures.draw_all(speed, found, machine, args.runs, args.plot, args.png)


class WriteError(Exception):
    """A write to standard output failed. It stands in for the OSError, which argparse
    swallows when it prints --help or --version."""


class CheckedOutput:
    """Standard output whose failed writes and flushes raise WriteError."""

    def __init__(self, stream):
        self.stream = stream

    def __getattr__(self, name):
        return getattr(self.stream, name)

    def write(self, text):
        return self.checked(self.stream.write, text)

    def flush(self):
        self.checked(self.stream.flush)

    @staticmethod
    def checked(call, *arguments):
        try:
            return call(*arguments)
        except OSError as error:
            raise WriteError(error.strerror) from None


def report_write_errors(run):
    """Runs `run` with standard output checked: a write that fails, at once or when what
    is buffered is flushed at the end, ends the bench with `bench.py: write error: REASON`
    and status 1, as does standard output closed from the start."""
    if sys.stdout is None:  # Python's stand-in when descriptor 1 was closed at start
        sys.exit(f"bench.py: write error: {os.strerror(errno.EBADF)}")
    sys.stdout = CheckedOutput(sys.stdout)
    try:
        try:
            run()
        finally:
            sys.stdout.flush()
    except WriteError as error:
        # What is still buffered goes nowhere, so that Python's own flush at exit does not
        # fail again with a message of its own.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.__stdout__.fileno())
        sys.exit(f"bench.py: write error: {error}")


if __name__ == "__main__":
    report_write_errors(main)
