"""The experiments: each counter program run under each core placement into a trace, timed,
with the kernel's work behind it and the machine's other load meanwhile, one record a run;
the checker timed against `wc -l` and `cat`; and the start-up of each program, timed by
hyperfine. Nothing here prints a table: that is tables.py's."""

import os
import re
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from detail import block_starts, break_rows, summary_field
from records import PROGRAMS

# Where the producer's two workers may run, and where its reader may. Pinning the producer
# to one core makes its workers share that core: a semaphore hand-off is then a switch on
# one core, and the race shows only when a worker is preempted between load and store. The
# reader is pinned there too: left free, it lands on either core from run to run, and when
# it shares the workers' core it changes how often they are switched out.
PLACEMENTS = {"one core": (["taskset", "-c", "0"], ["taskset", "-c", "0"]),
              "all cores": ([], []),
              "split": (["taskset", "-c", "0"], ["taskset", "-c", "1"])}
# The checker's traces (name, program, placement) and the commands it is timed against.
CHECKER_TRACES = (("guarded, long runs", "guardtally", "one core"),
                  ("guarded, short runs", "guardtally", "all cores"),
                  ("unguarded", "loosetally", "all cores"))
CHECKER_COMMANDS = (["tallycheck"], ["wc", "-l"], ["cat"])
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_busy(path="/proc/stat"):
    """The CPU time that the whole machine has spent busy since it started, in seconds, and
    its number of CPUs, from /proc/stat. Busy is user, nice, system, interrupt, soft
    interrupt and steal time; a guest's time is counted in user time already."""
    with open(path, encoding="ascii") as stat:
        lines = stat.read().splitlines()
    ticks = [int(field) for field in lines[0].split()[1:]]
    cpus = sum(1 for line in lines if re.match(r"cpu\d", line))
    return sum(ticks[index] for index in (0, 1, 2, 5, 6, 7)) / CLOCK_TICKS, cpus


def cpu_time(usage):
    return usage.ru_utime + usage.ru_stime


def other_load(busy, own, seconds, cpus):
    """The share of all CPUs that other work used over a span: the machine's busy CPU time
    less `own`, that of the processes being measured. /proc/stat counts in ticks (10 ms), so
    over a short span the estimate can stray past either end of the range: it is held to
    0..1."""
    return min(1.0, max(0.0, busy - own) / (seconds * cpus))


def sample_load(seconds):
    """The share of all CPUs that other work used while this process waited `seconds`."""
    busy_before, cpus = cpu_busy()
    own_before = cpu_time(resource.getrusage(resource.RUSAGE_SELF))
    start = time.perf_counter()
    time.sleep(seconds)
    elapsed = time.perf_counter() - start
    own = cpu_time(resource.getrusage(resource.RUSAGE_SELF)) - own_before
    return other_load(cpu_busy()[0] - busy_before, own, elapsed, cpus)


def where(cpus):
    """Where a process of a placement runs: the core that taskset pins it to, or any core."""
    return f"core {cpus[-1]}" if cpus else "any core"


def counter_record(program, placement, number, lines, *, seconds, usage, load, summary, rows,
                   starts, disturbed_percent):
    """The record of one counter run: from what was measured, its wall-clock seconds, the
    producer's resource usage and the share of the CPUs that other work used meanwhile; from
    the checker, its summary of the trace and the rows of its --breaks; and the lines at a
    block's start (block_starts). The serial bound and perf's count come later."""
    return {"program": program, "placement": placement, "reader": where(PLACEMENTS[placement][1]),
            "run": number, "lines": lines,
            "seconds": seconds, "rate": lines / seconds, "bound": None,
            "breaks": int(summary_field(summary, r"^breaks: (\d+)")),
            "block_breaks": sum(row[0] in starts for row in rows),
            "drift": int(summary_field(summary, r"^drift: (-?\d+)")),
            "runs": int(summary_field(summary, r"^runs: (\d+)")),
            "mean_run": (None if program == "serialtally" else
                         summary_field(summary, r"^runs: \d+, mean length ([\d.]+)")),
            "voluntary_switches": usage.ru_nvcsw, "involuntary_switches": usage.ru_nivcsw,
            "system_seconds": usage.ru_stime, "futex_calls": None,
            "other_load": load, "disturbed": load > disturbed_percent / 100}


def futex_count(perf_output):
    """The futex calls that `perf stat -x,` counted, from the file it wrote."""
    return int(re.search(r"^(\d+),.*syscalls:sys_enter_futex", perf_output, re.M).group(1))


def share_of_bound(runs):
    """Sets each run's rate as a share of the serial bound: the median rate of the quiet
    runs of serialtally among them, or of all its runs where none was quiet."""
    serial = [run for run in runs if run["program"] == "serialtally"]
    bound = statistics.median(run["rate"] for run in
                              [run for run in serial if not run["disturbed"]] or serial)
    for run in runs:
        run["bound"] = run["rate"] / bound


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
        run = counter_record(program, placement, number, lines, seconds=seconds, usage=usage,
                             load=other_load(busy, own, seconds, cpus), summary=summary,
                             rows=break_rows(self.check(self.trace, "--breaks")),
                             starts=block_starts(self.trace),
                             disturbed_percent=self.args.disturbed)
        if self.perf:
            with open(counts, encoding="utf-8") as perf_output:
                run["futex_calls"] = futex_count(perf_output.read())
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
            share_of_bound(runs)
            self.records += runs
        return placements

    def timed(self, command, statuses=(0,)):
        """The wall-clock time of one command, which ends with one of `statuses`."""
        start = time.perf_counter()
        done = subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL, check=False)
        seconds = time.perf_counter() - start
        if done.returncode not in statuses:
            sys.exit(f"bench.py: {shlex.join(command)} failed with status {done.returncode}")
        return seconds

    def checker(self):
        """The checker's time against `wc -l`, which only counts newlines, and `cat`, the
        cost of reading the file alone, on three cached traces: long runs of one label
        (guarded, both workers on one core), short runs (guarded, free on every core) and
        breaks (unguarded). The three commands take turns on each trace. Returns, for each
        trace, its name, program, placement and mean run, and the seconds of each run of
        each command, in the order of CHECKER_COMMANDS."""
        rows = []
        for name, program, placement in CHECKER_TRACES:
            mean_run = self.counter_run(program, placement, 1, self.args.checker_lines)["mean_run"]
            self.timed(["cat", self.trace])  # into the page cache
            # The checker's status of 1, a trace that breaks, is a result, not a failure.
            times = [[self.timed([*command, self.trace],
                                 (0, 1) if command[0] == "tallycheck" else (0,))
                      for command in CHECKER_COMMANDS]
                     for _ in range(self.args.runs)]
            rows.append((name, program, placement, mean_run, list(zip(*times))))
        return rows

    def startup(self):
        """hyperfine's Markdown table of the start-up times, or None where it is missing."""
        if not shutil.which("hyperfine"):
            return None
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
            return markdown.read().replace(self.args.bin + os.sep, "").rstrip()
