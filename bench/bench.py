#!/usr/bin/env python3
"""Runs the experiments behind the figures in the README on the machine at hand and prints
them as Markdown tables: the price of the guard and the rate of the race under each core
placement, with the kernel's work behind them; the checker against `wc -l` and `cat`; and
the cost of starting each program, timed by hyperfine. Each figure is a median over several
runs, with their range. A run during which other work kept the machine busy is marked as
disturbed and left out of the medians; --records keeps every run, --traces one trace of
each program and placement, and --plot draws the figures from them."""

import argparse
import csv
import json
import os
import platform
import re
import resource
import shlex
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
PROGRAMS = {"guard": ("guardtally", "serialtally"), "race": ("loosetally",)}
# What each experiment runs: the built programs (--bin) and the benchmark's own (--tools).
NEEDS = {"guard": ("guardtally", "serialtally", "tallycheck"),
         "race": ("loosetally", "serialtally", "tallycheck"),
         "checker": ("guardtally", "loosetally", "tallycheck"),
         "startup": ("rawhello", "swaplist", "spawnlist")}
TOOLS = ("serialtally",)
# One record a counter run, in this order in the CSV file.
FIELDS = ("program", "placement", "run", "lines", "seconds", "rate", "bound", "breaks",
          "drift", "runs", "mean_run", "voluntary_switches", "involuntary_switches",
          "system_seconds", "futex_calls", "other_load", "disturbed")
# Each counter table's columns: heading, the figure from one record, and its digits. The
# kernel's work is per 1,000 lines; the mean run of serialtally, which alternates its labels
# by construction, says nothing and is left out.
COLUMNS = {
    "guard": (("M lines/s", lambda run: run["rate"] * 1e-6, 2),
              ("× serial bound", lambda run: run["bound"], 2),
              ("mean run", lambda run: run["mean_run"], 1),
              ("voluntary switches", lambda run: run["voluntary_switches"] * 1e3 / run["lines"], 1),
              ("involuntary switches",
               lambda run: run["involuntary_switches"] * 1e3 / run["lines"], 1),
              ("system µs", lambda run: run["system_seconds"] * 1e9 / run["lines"], 0),
              ("futex calls", lambda run: run["futex_calls"] * 1e3 / run["lines"], 1)),
    "race": (("M lines/s", lambda run: run["rate"] * 1e-6, 2),
             ("× serial bound", lambda run: run["bound"], 2),
             ("breaks per M lines", lambda run: run["breaks"] * 1e6 / run["lines"], 0),
             ("drift", lambda run: run["drift"], 0),
             ("mean run", lambda run: run["mean_run"], 1))}
HEADINGS = {"guard": "The price of the guard, by placement",
            "race": "The rate of the race, by placement"}
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def version():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as build:
        return re.search(r"project\(glassbox\s+VERSION (\S+)", build.read()).group(1)


def count(number, noun):
    """A count with its noun, in the singular where it is one: "1 run", "5 runs"."""
    return f"{number:,} {noun}" + ("" if number == 1 else "s")


def cell(values, digits=1):
    """The median and range of values, as one table cell; "–" where a figure does not
    apply."""
    if None in values:
        return "–"
    values = sorted(values)
    median = statistics.median(values)
    return f"{median:,.{digits}f} ({values[0]:,.{digits}f}–{values[-1]:,.{digits}f})"


def summary_field(summary, pattern):
    return float(re.search(pattern, summary, re.M).group(1))


def cpu_busy():
    """The CPU time that the whole machine has spent busy since it started, in seconds, and
    its number of CPUs, from /proc/stat. Busy is user, nice, system, interrupt, soft
    interrupt and steal time; a guest's time is counted in user time already."""
    with open("/proc/stat", encoding="ascii") as stat:
        lines = stat.read().splitlines()
    ticks = [int(field) for field in lines[0].split()[1:]]
    cpus = sum(1 for line in lines if re.match(r"cpu\d", line))
    return sum(ticks[index] for index in (0, 1, 2, 5, 6, 7)) / CLOCK_TICKS, cpus


def cpu_time(usage):
    return usage.ru_utime + usage.ru_stime


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
        self.records = []
        # The kept traces, one of each program and placement, chosen by keep().
        self.traces = args.traces or (os.path.join(self.scratch.name, "traces")
                                      if args.plot else None)
        if self.traces:
            os.makedirs(self.traces, exist_ok=True)
        self.kept = {}

    def check(self, path, *options):
        return subprocess.run(["tallycheck", *options, "--", path], env=self.env,
                              capture_output=True, text=True, check=False).stdout

    def counter_run(self, program, placement, number, lines):
        """One run of `program | head -n LINES` into a file, timed; the producer's kernel
        work from its own resource usage and, where perf can count it, its futex calls; the
        machine's other load in the meantime; then the checker's summary of the trace."""
        producer_cpus, reader_cpus = PLACEMENTS[placement]
        counts = os.path.join(self.scratch.name, "perf")
        perf = (["perf", "stat", "-x,", "-e", "syscalls:sys_enter_futex", "-o", counts, "--"]
                if self.perf else [])
        # What the producer says goes to a file, read only if it falls short: perf's
        # launcher may report the broken pipe that ends every run.
        with open(self.trace, "wb") as trace, tempfile.TemporaryFile("w+") as errors:
            busy_before, cpus = cpu_busy()
            own_before = cpu_time(resource.getrusage(resource.RUSAGE_SELF))
            start = time.perf_counter()
            producer = subprocess.Popen([*perf, *producer_cpus, program], env=self.env,
                                        stdout=subprocess.PIPE, stderr=errors)
            reader = subprocess.Popen([*reader_cpus, "head", "-n", str(lines)],
                                      env=self.env, stdin=producer.stdout, stdout=trace)
            producer.stdout.close()
            _, status, reader_usage = os.wait4(reader.pid, 0)
            reader.returncode = os.waitstatus_to_exitcode(status)
            _, status, usage = os.wait4(producer.pid, 0)
            producer.returncode = os.waitstatus_to_exitcode(status)
            seconds = time.perf_counter() - start
            busy = cpu_busy()[0] - busy_before
            # The run's own processes: the producer (with perf's launcher, which waits for
            # it), the reader and this driver, which started them.
            own = (cpu_time(usage) + cpu_time(reader_usage)
                   + cpu_time(resource.getrusage(resource.RUSAGE_SELF)) - own_before)
            summary = self.check(self.trace)
            if summary_field(summary, r"^lines: (\d+)") != lines:
                errors.seek(0)
                sys.exit(f"bench.py: {program} stopped before {lines} lines:\n{errors.read()}"
                         f"{summary}")
        # /proc/stat counts in ticks (10 ms), so over a short run the estimate can stray
        # past either end of the range: it is a share, held to 0..1.
        other_load = min(1.0, max(0.0, busy - own) / (seconds * cpus))
        run = {"program": program, "placement": placement, "run": number, "lines": lines,
               "seconds": seconds, "rate": lines / seconds, "bound": None,
               "breaks": int(summary_field(summary, r"^breaks: (\d+)")),
               "drift": int(summary_field(summary, r"^drift: (-?\d+)")),
               "runs": int(summary_field(summary, r"^runs: (\d+)")),
               "mean_run": (None if program == "serialtally" else
                            summary_field(summary, r"^runs: \d+, mean length ([\d.]+)")),
               "voluntary_switches": usage.ru_nvcsw, "involuntary_switches": usage.ru_nivcsw,
               "system_seconds": usage.ru_stime, "futex_calls": None,
               "other_load": other_load, "disturbed": other_load > self.args.disturbed / 100}
        if self.perf:
            with open(counts, encoding="utf-8") as perf_output:
                futex = re.search(r"^(\d+),.*syscalls:sys_enter_futex", perf_output.read(), re.M)
            run["futex_calls"] = int(futex.group(1))
        return run

    def keep(self, runs):
        """Of each program's runs in one placement, keeps the trace of the one with the
        median number of runs (turns at the counter) among the quiet runs, or among all where
        none was quiet: a typical trace, not the last one. The candidates wait in scratch."""
        for program in {run["program"] for run in runs}:
            mine = [run for run in runs if run["program"] == program]
            chosen = sorted([run for run in mine if not run["disturbed"]] or mine,
                            key=lambda run: run["runs"])
            chosen = chosen[(len(chosen) - 1) // 2]
            path = os.path.join(self.traces,
                                f"{program}-{chosen['placement'].replace(' ', '-')}.trace")
            shutil.copyfile(self.candidate(chosen), path)
            self.kept[(program, chosen["placement"])] = path
            for run in mine:
                os.remove(self.candidate(run))

    def candidate(self, run):
        return os.path.join(self.scratch.name, f"{run['program']}-{run['run']}")

    def counters(self, experiments):
        """Every run of every program that the experiments need, placement by placement, the
        programs taking turns so that a change in the machine's load falls on each alike;
        then one table for each experiment."""
        placements = [name for name in PLACEMENTS
                      if name != "split" or len(os.sched_getaffinity(0)) >= 2]
        programs = [program for experiment in experiments for program in PROGRAMS[experiment]]
        if "serialtally" not in programs:
            programs.append("serialtally")  # the bound that each rate is a share of
        for placement in placements:
            runs = []
            for number in range(1, self.args.runs + 1):
                for program in programs:
                    runs.append(self.counter_run(program, placement, number,
                                                 self.args.lines))
                    if self.traces:
                        os.replace(self.trace, self.candidate(runs[-1]))
            if self.traces:
                self.keep(runs)
            serial = [run["rate"] for run in runs if run["program"] == "serialtally"]
            quiet = [run["rate"] for run in runs
                     if run["program"] == "serialtally" and not run["disturbed"]]
            bound = statistics.median(quiet or serial)
            for run in runs:
                run["bound"] = run["rate"] / bound
            self.records += runs
        for experiment in experiments:
            print(f"\n### {HEADINGS[experiment]}\n")
            self.counter_table(experiment, placements)
        threshold = f"{self.args.disturbed:g}%"
        print(f"\nEach cell: the median (and range) of the quiet runs. A run is disturbed when "
              f"other work used more than {threshold} of all CPUs while it ran (from /proc/stat, "
              "less the run's own processes). The kernel's work is per 1,000 lines, from the "
              "producer's resource usage"
              + (" and perf's count of futex calls." if self.perf else
                 "; perf cannot count futex calls here."))

    def counter_table(self, experiment, placements):
        columns = [column for column in COLUMNS[experiment]
                   if column[0] != "futex calls" or self.perf]
        headings = ["program", "placement", *(heading for heading, *_ in columns),
                    "disturbed runs"]
        print("| " + " | ".join(headings) + " |\n|" + "---|" * len(headings))
        for placement in placements:
            for program in PROGRAMS[experiment]:
                runs = [run for run in self.records
                        if (run["program"], run["placement"]) == (program, placement)]
                quiet = [run for run in runs if not run["disturbed"]]
                if quiet:
                    cells = [cell([figure(run) for run in quiet], digits)
                             for _, figure, digits in columns]
                    disturbed = f"{len(runs) - len(quiet)} of {len(runs)}"
                else:
                    cells = ["–"] * len(columns)
                    disturbed = f"all {len(runs)}: no median"
                print("| " + " | ".join([f"`{program}`", placement, *cells, disturbed]) + " |")

    def write_records(self, files):
        for records in files:
            if records.name.endswith(".csv"):
                table = csv.DictWriter(records, FIELDS)
                table.writeheader()
                table.writerows(self.records)
            else:
                records.writelines(json.dumps(run) + "\n" for run in self.records)
            records.close()

    def timed(self, command):
        """The wall-clock time of one command; a checker's status of 1, a trace that breaks,
        is a result, not a failure."""
        start = time.perf_counter()
        done = subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL, check=False)
        seconds = time.perf_counter() - start
        if done.returncode not in ((0, 1) if command[0] == "tallycheck" else (0,)):
            sys.exit(f"bench.py: {shlex.join(command)} failed with status {done.returncode}")
        return seconds

    def checker(self):
        """The checker's time against `wc -l`, which only counts newlines, and `cat`, the
        cost of reading the file alone, on three cached traces: long runs of one label
        (guarded, both workers on one core), short runs (guarded, free on every core) and
        breaks (unguarded). The three commands take turns on each trace."""
        traces = (("guarded, long runs", "guardtally", "one core"),
                  ("guarded, short runs", "guardtally", "all cores"),
                  ("unguarded", "loosetally", "all cores"))
        commands = (["tallycheck"], ["wc", "-l"], ["cat"])
        lines = self.args.checker_lines
        print("| trace | mean run | `tallycheck` M lines/s | `wc -l` M lines/s | "
              "`cat` M lines/s | `tallycheck` / `wc -l` | `cat` / `wc -l` |\n|"
              + "---|" * 7)
        for name, program, placement in traces:
            mean_run = self.counter_run(program, placement, 1, lines)["mean_run"]
            self.timed(["cat", self.trace])  # into the page cache
            times = [[self.timed([*command, self.trace]) for command in commands]
                     for _ in range(self.args.runs)]
            check, count_lines, read = zip(*times)
            cells = [cell([lines / seconds * 1e-6 for seconds in each], 1)
                     for each in (check, count_lines, read)]
            cells += [cell([ours / floor for ours, floor in zip(each, count_lines)], 2)
                      for each in (check, read)]
            print(f"| {name} ({program}, {placement}) | {mean_run:,.1f} | "
                  + " | ".join(cells) + " |")
        print("\nEach trace is made afresh and read from the page cache; each cell is the "
              "median (and range) of the runs, the machine's load not checked.")

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
        # hyperfine's progress and its warnings (outliers, a command that is too fast) go to
        # its standard error; they are shown only if it fails, so the table stays clean.
        done = subprocess.run(["hyperfine", "-N", "--style", "basic", "--warmup", "3",
                               "--runs", str(max(self.args.runs, 2) * 20),
                               "--export-markdown", table, *commands],
                              cwd=listed, env=self.env, check=False,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit(f"bench.py: hyperfine failed:\n{done.stderr}")
        with open(table, encoding="utf-8") as markdown:
            print(markdown.read().replace(self.args.bin + os.sep, "").rstrip())
        print("\n`spawnlist` is timed until its parent exits; the listing runs on after it.")


def find_matplotlib():
    """Debian's matplotlib loads only in Debian's own interpreter, which need not be the
    python3 first on PATH: where this one lacks it and that one has it, the bench starts
    again in that one."""
    try:
        import matplotlib  # noqa: F401  (whether it loads is the question)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-e", "--experiment", action="append", choices=EXPERIMENTS,
                        help="run only this experiment; may be repeated (default: all)")
    parser.add_argument("-n", "--lines", type=int, default=5_000_000,
                        help="lines of each counter run (default: %(default)s)")
    parser.add_argument("-r", "--runs", type=int, default=5,
                        help="runs of each measurement (default: %(default)s)")
    parser.add_argument("--checker-lines", type=int, default=20_000_000, metavar="LINES",
                        help="lines of each trace that the checker reads, long enough that "
                             "starting a command costs little beside it (default: %(default)s)")
    parser.add_argument("--disturbed", type=float, default=10, metavar="PERCENT",
                        help="mark a run as disturbed when other work used more than this "
                             "share of all CPUs while it ran (default: %(default)s)")
    parser.add_argument("--records", action="append", default=[], metavar="FILE",
                        help="write one record a counter run to FILE, as CSV if its name "
                             "ends in .csv, as JSON lines if it ends in .jsonl; may be repeated")
    parser.add_argument("--traces", metavar="DIR",
                        help="keep one trace of each program and placement in DIR: of the "
                             "quiet runs, the one with the median number of runs (turns)")
    parser.add_argument("--plot", metavar="DIR",
                        help="draw the figures of the guard and the race into DIR as SVG "
                             "(needs matplotlib)")
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
    experiments = args.experiment or EXPERIMENTS
    if args.plot:
        if not {"guard", "race"} <= set(experiments):
            parser.error("--plot draws from the guard and race experiments: run both")
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
    print(f"Each figure: the median of {count(args.runs, 'run')}"
          + (", with their range" if args.runs > 1 else "")
          + f"; {count(args.lines, 'line')} in each counter run"
          + (f", {count(args.checker_lines, 'line')} in each trace that the checker reads."
             if "checker" in experiments else "."))
    bench = Bench(args)
    counters = [experiment for experiment in experiments if experiment in PROGRAMS]
    if counters:
        bench.counters(counters)
        bench.write_records(files)
    if args.plot:
        import figures  # here, so that only --plot needs matplotlib
        caption = (f"{machine}; {count(args.runs, 'run')} of {count(args.lines, 'line')} per "
                   "program and placement. Placements: one core, the producer under taskset "
                   "-c 0; all cores, free; split, the producer under taskset -c 0 and its "
                   "reader under taskset -c 1. Disturbed: other work used more than "
                   f"{args.disturbed:g}% of all CPUs.")
        figures.Figures(args.plot, bench.records, bench.kept, bench.check, caption,
                        args.png).draw_all()
    if "checker" in experiments:
        print("\n### The checker against the cost of reading the bytes\n")
        bench.checker()
    if "startup" in experiments:
        print("\n### Start to exit, timed by hyperfine\n")
        bench.startup()


if __name__ == "__main__":
    main()
